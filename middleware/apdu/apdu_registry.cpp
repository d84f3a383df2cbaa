#include "apdu/apdu_registry.h"

namespace {
// Definition order = construction order at load (reverse at unload).
device_mgr g_device_mgr;
apdu_manager g_apdu_manager;
apdu_dev_manager g_apdu_dev_manager;
apdu_rsa_manager g_apdu_rsa_manager;
apdu_ecc_manager g_apdu_ecc_manager;
apdu_key_manager g_apdu_key_manager;
apdu_cryption_manager g_apdu_cryption_manager;
apdu_digest_manager g_apdu_digest_manager;
apdu_mac_manager g_apdu_mac_manager;
apdu_factory_manager g_apdu_factory_manager;
apdu_finger_manager g_apdu_finger_manager;
}  // namespace

extern "C" {
device_mgr* get_dev_mgr() { return &g_device_mgr; }
apdu_manager* get_apdu_mgr() { return &g_apdu_manager; }
apdu_dev_manager* get_apdu_dev_mgr() { return &g_apdu_dev_manager; }
apdu_rsa_manager* get_rsa_mgr() { return &g_apdu_rsa_manager; }
apdu_ecc_manager* get_ecc_mgr() { return &g_apdu_ecc_manager; }
apdu_key_manager* get_key_mgr() { return &g_apdu_key_manager; }
apdu_cryption_manager* get_cryption_mgr() { return &g_apdu_cryption_manager; }
apdu_digest_manager* get_digest_mgr() { return &g_apdu_digest_manager; }
apdu_mac_manager* get_mac_mgr() { return &g_apdu_mac_manager; }
apdu_factory_manager* get_factory_mgr() { return &g_apdu_factory_manager; }
apdu_finger_manager* get_finger_mgr() { return &g_apdu_finger_manager; }
}

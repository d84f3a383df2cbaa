// The registry of command builders. Each accessor returns the
// process-wide instance, constructed at library load in the order device_mgr,
// apdu_manager, apdu_dev_manager, apdu_rsa_manager, apdu_ecc_manager,
// apdu_key_manager, apdu_cryption_manager, apdu_digest_manager,
// apdu_mac_manager, apdu_factory_manager, apdu_finger_manager.
// Exported with plain names (middleware/exports.map: get_*_mgr).
#pragma once

#include "apdu/apdu_cryption_manager.h"
#include "apdu/apdu_dev_manager.h"
#include "apdu/apdu_digest_manager.h"
#include "apdu/apdu_ecc_manager.h"
#include "apdu/apdu_factory_manager.h"
#include "apdu/apdu_finger_manager.h"
#include "apdu/apdu_key_manager.h"
#include "apdu/apdu_mac_manager.h"
#include "apdu/apdu_manager.h"
#include "apdu/apdu_rsa_manager.h"
#include "apdu/device_mgr.h"
#include "rx_export.h"

extern "C" {
RX_EXPORT device_mgr* get_dev_mgr();
RX_EXPORT apdu_manager* get_apdu_mgr();
RX_EXPORT apdu_dev_manager* get_apdu_dev_mgr();
RX_EXPORT apdu_rsa_manager* get_rsa_mgr();
RX_EXPORT apdu_ecc_manager* get_ecc_mgr();
RX_EXPORT apdu_key_manager* get_key_mgr();
RX_EXPORT apdu_cryption_manager* get_cryption_mgr();
RX_EXPORT apdu_digest_manager* get_digest_mgr();
RX_EXPORT apdu_mac_manager* get_mac_mgr();
RX_EXPORT apdu_factory_manager* get_factory_mgr();
RX_EXPORT apdu_finger_manager* get_finger_mgr();
}

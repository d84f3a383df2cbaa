// The virtual bus as the transports see it through the in-process backend:
// the device list, descriptors, claims across clients, kernel drivers,
// unplug and replug.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "sim_backend.h"
#include "virtual_bus.h"
#include "vtok_fixture.h"
#include "vtok_hid_host.h"

using namespace rx::plat;
using namespace vtok_test;

namespace {

struct listed {
  uint16_t vid, pid;
  uint8_t bus, address;
};

std::vector<listed> list_of(backend& b) {
  std::vector<usb_device_ref> refs;
  EXPECT_GE(b.usb_get_device_list(nullptr, &refs), 0);
  std::vector<listed> out;
  for (const auto& d : refs) {
    usb_device_descriptor desc;
    EXPECT_EQ(b.usb_get_device_descriptor(d.get(), &desc), 0);
    out.push_back({desc.idVendor, desc.idProduct, b.usb_get_bus_number(d.get()),
                   b.usb_get_device_address(d.get())});
  }
  return out;
}

usb_device_ref token_ref(backend& b, uint8_t address) {
  std::vector<usb_device_ref> refs;
  b.usb_get_device_list(nullptr, &refs);
  for (auto& d : refs)
    if (b.usb_get_device_address(d.get()) == address) {
      usb_device_descriptor desc;
      b.usb_get_device_descriptor(d.get(), &desc);
      if (desc.idVendor == 0x7e3b) return d;
    }
  return nullptr;
}

}  // namespace

TEST(vtoken_bus, DeviceListHoldsHubsTokensAndOtherDevices) {
  vtok_env env(false);
  env.bus.plug({});
  vtok::token_config second;
  second.pid = 0xf603;
  second.address = 9;
  env.bus.plug(second);
  env.bus.plug_other(0x046d, 0xc31c, USB_CLASS_HID);  // a keyboard

  const auto l = list_of(env.backend);
  ASSERT_EQ(l.size(), 5u);
  EXPECT_EQ(l[0].address, 1);  // root hubs on buses 1 and 2
  EXPECT_EQ(l[1].bus, 2);
  EXPECT_EQ(l[2].vid, 0x7e3b);
  EXPECT_EQ(l[2].pid, 0xe618);
  EXPECT_EQ(l[3].pid, 0xf603);
  EXPECT_EQ(l[3].address, 9);
  EXPECT_EQ(l[4].vid, 0x046d);
  EXPECT_NE(l[4].address, l[2].address);
  EXPECT_EQ(env.backend.usb_device_count(), 5);
}

TEST(vtoken_bus, HidTokenDescriptors) {
  struct c {
    vtok::transport_kind kind;
    size_t interfaces;
  };
  for (const c& k : {c{vtok::transport_kind::hid, 1}, c{vtok::transport_kind::hidctr, 2}}) {
    vtok_env env(false);
    vtok::token_config cfg;
    cfg.transport = k.kind;
    auto& t = env.bus.plug(cfg);
    auto ref = token_ref(env.backend, static_cast<uint8_t>(t.address()));
    ASSERT_TRUE(ref);
    usb_config_descriptor cd;
    ASSERT_EQ(env.backend.usb_get_active_config_descriptor(ref.get(), &cd), 0);
    ASSERT_EQ(cd.interfaces.size(), k.interfaces);
    const auto& s = cd.interfaces[0].altsettings.at(0);
    EXPECT_EQ(s.bInterfaceClass, USB_CLASS_HID);
    ASSERT_EQ(s.endpoints.size(), 2u);
    EXPECT_EQ(s.endpoints[0].bEndpointAddress, 0x81);
    EXPECT_EQ(s.endpoints[0].bmAttributes & 3, 3);
    EXPECT_EQ(s.endpoints[0].wMaxPacketSize, 64);
    EXPECT_EQ(s.endpoints[1].bEndpointAddress, 0x01);
    if (k.interfaces == 2) {
      EXPECT_EQ(cd.interfaces[1].altsettings.at(0).bInterfaceClass, USB_CLASS_MASS_STORAGE);
    }
    EXPECT_EQ(env.backend.usb_get_config_descriptor(ref.get(), 1, &cd), USB_ERROR_NOT_FOUND);
  }
}

TEST(vtoken_bus, ClaimIsExclusiveAcrossClientsAndHandles) {
  vtok_env env;
  vtok::sim_backend other(env.bus, env.clock, 7);
  auto ref = token_ref(env.backend, static_cast<uint8_t>(env.token->address()));
  auto ref_other = token_ref(other, static_cast<uint8_t>(env.token->address()));
  usb_device_handle* a = nullptr;
  usb_device_handle* a2 = nullptr;
  usb_device_handle* b = nullptr;
  ASSERT_EQ(env.backend.usb_open(ref.get(), &a), 0);
  ASSERT_EQ(env.backend.usb_open(ref.get(), &a2), 0);
  ASSERT_EQ(other.usb_open(ref_other.get(), &b), 0);

  // The kernel's HID driver holds the interface until someone detaches it.
  EXPECT_EQ(env.backend.usb_kernel_driver_active(a, 0), 1);
  EXPECT_EQ(env.backend.usb_claim_interface(a, 0), USB_ERROR_BUSY);
  EXPECT_EQ(env.backend.usb_detach_kernel_driver(a, 0), 0);
  EXPECT_EQ(other.usb_kernel_driver_active(b, 0), 0);
  EXPECT_EQ(other.usb_detach_kernel_driver(b, 0), USB_ERROR_NOT_FOUND);

  EXPECT_EQ(env.backend.usb_claim_interface(a, 0), 0);
  EXPECT_EQ(env.backend.usb_claim_interface(a, 0), 0);  // again through the same handle
  EXPECT_EQ(other.usb_claim_interface(b, 0), USB_ERROR_BUSY);
  EXPECT_EQ(env.backend.usb_claim_interface(a2, 0), USB_ERROR_BUSY);
  EXPECT_EQ(other.usb_release_interface(b, 0), USB_ERROR_NOT_FOUND);
  EXPECT_EQ(env.backend.usb_claim_interface(a, 3), USB_ERROR_NOT_FOUND);

  // Transfers through a handle that does not hold the claim are refused.
  report r{};
  int done = 0;
  EXPECT_EQ(other.usb_interrupt_transfer(b, 0x01, r.data(), 64, &done, 100), USB_ERROR_BUSY);

  // A handle of one client is not usable by another.
  EXPECT_EQ(other.usb_claim_interface(a, 0), USB_ERROR_INVALID_PARAM);

  EXPECT_EQ(env.backend.usb_release_interface(a, 0), 0);
  EXPECT_EQ(other.usb_claim_interface(b, 0), 0);
  // Closing a handle releases its claims; a client going away closes its handles.
  other.usb_close(b);
  EXPECT_EQ(env.backend.usb_claim_interface(a, 0), 0);
  env.bus.close_client(0);
  ASSERT_EQ(other.usb_open(ref_other.get(), &b), 0);
  EXPECT_EQ(other.usb_claim_interface(b, 0), 0);
  other.usb_close(b);
  env.backend.usb_close(a);  // already closed on the bus: only frees the objects
  env.backend.usb_close(a2);
}

TEST(vtoken_bus, ClaimBusyFaultCountsClaims) {
  vtok_env env;
  env.token->arm_fault({vtok::fault_kind::claim_busy, 2});
  hid_host h(env.backend);
  EXPECT_EQ(h.open_result(), USB_ERROR_BUSY);
  EXPECT_EQ(h.claim(), USB_ERROR_BUSY);
  EXPECT_EQ(h.claim(), 0);
}

TEST(vtoken_bus, UnplugFailsEveryOperationAndReplugKeepsPersistentState) {
  vtok_env env;
  auto& t = *env.token;
  const std::string serial = t.serial();
  const int address = t.address();
  env.bus.with_lock([&] { t.os().persistent().label = "kept across unplug"; });

  auto h = std::make_unique<hid_host>(env.backend);
  ASSERT_TRUE(h->ok());
  // A chain in progress: volatile, so it must not survive.
  ASSERT_EQ(sw_of(h->transmit(apdu3e(0x90, 0x50, 0, 0, {1}))), 0x9000);
  auto stale = token_ref(env.backend, static_cast<uint8_t>(address));

  env.bus.unplug(serial);
  EXPECT_FALSE(t.plugged());
  EXPECT_EQ(env.backend.usb_device_count(), 2);
  EXPECT_EQ(list_of(env.backend).size(), 2u);

  report r = frame_reports(request_frame(apdu2e(0x80, 0x50, 0, 0, 8)))[0];
  int done = 0;
  auto& b = env.backend;
  EXPECT_EQ(b.usb_interrupt_transfer(h->handle(), 0x01, r.data(), 64, &done, 100), USB_ERROR_NO_DEVICE);
  EXPECT_EQ(b.usb_interrupt_transfer(h->handle(), 0x81, r.data(), 64, &done, 100), USB_ERROR_NO_DEVICE);
  EXPECT_EQ(b.usb_control_transfer(h->handle(), 0xA1, 1, 0, 0, r.data(), 64, 100), USB_ERROR_NO_DEVICE);
  EXPECT_EQ(b.usb_claim_interface(h->handle(), 0), USB_ERROR_NO_DEVICE);
  EXPECT_EQ(b.usb_release_interface(h->handle(), 0), USB_ERROR_NO_DEVICE);
  EXPECT_EQ(b.usb_kernel_driver_active(h->handle(), 0), USB_ERROR_NO_DEVICE);
  EXPECT_EQ(b.usb_detach_kernel_driver(h->handle(), 0), USB_ERROR_NO_DEVICE);
  EXPECT_EQ(b.usb_reset_device(h->handle()), USB_ERROR_NO_DEVICE);
  usb_device_handle* again = nullptr;
  EXPECT_EQ(b.usb_open(stale.get(), &again), USB_ERROR_NO_DEVICE);
  usb_config_descriptor cd;
  EXPECT_EQ(b.usb_get_active_config_descriptor(stale.get(), &cd), USB_ERROR_NO_DEVICE);
  h.reset();  // closing a handle of a gone device is fine

  for (bool same : {true, false}) {
    SCOPED_TRACE(same);
    auto& back = env.bus.replug(serial, same);
    EXPECT_EQ(&back, &t);
    if (same) {
      EXPECT_EQ(back.address(), address);
    } else {
      EXPECT_NE(back.address(), address);
    }
    EXPECT_EQ(env.backend.usb_device_count(), 3);
    // The old reference stays stale even at the same address.
    EXPECT_EQ(b.usb_open(stale.get(), &again), USB_ERROR_NO_DEVICE);
    hid_host h2(env.backend);
    ASSERT_TRUE(h2.ok()) << h2.open_result();  // kernel driver bound again, detached by the host
    EXPECT_EQ(back.os().persistent().label, "kept across unplug");
    EXPECT_FALSE(back.os().volatiles().chain_active);
    EXPECT_EQ(sw_of(h2.transmit(apdu2e(0x80, 0x50, 0, 0, 8))), 0x9000);
    env.bus.unplug(serial);
  }
}

TEST(vtoken_bus, SavedStateRestoresIntoANewBus) {
  std::string saved;
  {
    vtok_env env;
    env.bus.with_lock([&] { env.token->os().persistent().label = "restored"; });
    saved = env.token->save_state().dump();
  }
  vtok_env env(false);
  vtok::token_config cfg;
  cfg.state = saved;
  auto& t = env.bus.plug(cfg);
  EXPECT_EQ(t.os().persistent().label, "restored");
  EXPECT_EQ(t.serial(), nlohmann::json::parse(saved).at("serial").get<std::string>());

  std::string err;
  vtok::token_config dup = cfg;  // same serial again
  EXPECT_EQ(env.bus.try_plug(dup, &err), nullptr);
  EXPECT_FALSE(err.empty());
  vtok::token_config junk;
  junk.state = "{not json";
  EXPECT_EQ(env.bus.try_plug(junk, &err), nullptr);
  vtok::token_config taken;
  taken.address = t.address();
  EXPECT_EQ(env.bus.try_plug(taken, &err), nullptr);
  EXPECT_THROW(env.bus.plug(taken), std::invalid_argument);
  EXPECT_EQ(env.backend.usb_device_count(), 3);
}

TEST(vtoken_bus, AddressesAreHandedOutRoundRobin) {
  vtok_env env(false);
  auto& a = env.bus.plug({});
  auto& b = env.bus.plug({});
  EXPECT_NE(a.address(), b.address());
  EXPECT_NE(a.serial(), b.serial());
  const int a_addr = a.address();
  env.bus.unplug(a.serial());
  auto& c = env.bus.plug({});
  EXPECT_NE(c.address(), a_addr);  // not reused at once, as the kernel does
}

TEST(vtoken_bus, SgCallsFindNoNodes) {
  vtok_env env;
  EXPECT_FALSE(env.backend.sg_node_exists(0));
  EXPECT_EQ(env.backend.sg_open("/dev/sg0", 0), -1);
  EXPECT_EQ(env.backend.sg_io(3, nullptr), -1);
}

TEST(vtoken_bus, ClockIsTheVirtualOne) {
  vtok_env env;
  const uint64_t t0 = get().monotonic_ms();
  get().sleep_ms(3000);
  EXPECT_EQ(get().monotonic_ms() - t0, 3000u);
  EXPECT_EQ(&get(), static_cast<backend*>(&env.backend));
}

// Handles and the object tree: the process-wide handle counter, searches at
// every level, lifetimes, and SKF_CloseHandle against the virtual token.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "card_os.h"
#include "rx7100_app.h"
#include "skf.h"
#include "token_api/gm_sc_mgr.h"
#include "token_api/vk_node_list.h"
#include "transport/device_discover.h"
#include "transport/os_mutex.h"
#include "transport/transport_reset.h"
#include "vtok_fixture.h"

namespace {

uintptr_t hv(HANDLE h) { return reinterpret_cast<uintptr_t>(h); }

AppInfoRsp app_info(uint16_t id) {
  AppInfoRsp r;
  r.app_id = id;
  return r;
}

gm_sc_dev_mgr& devs() { return *gm_sc_mgr::get_dev_ptr(); }

// A private lock directory and an empty object tree around each test.
class TreeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/rx-handles-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(tmpl));
    dir_ = tmpl;
    rx::os::set_lock_dir(dir_.c_str());
  }
  void TearDown() override {
    devs().clear();
    rx::os::set_lock_dir(nullptr);
    (void)!system(("rm -rf '" + dir_ + "'").c_str());
  }
  gm_sc_dev* add_dev(const char* name, void* transport = nullptr) {
    auto* d = new gm_sc_dev(name, transport);
    EXPECT_TRUE(devs().add_dev(d));
    return d;
  }

  std::string dir_;
};

// Must stay the first test of this program: nothing has taken a handle yet.
TEST_F(TreeTest, FirstHandleIs0x3000AndAllKindsShareOneCounterWithoutReuse) {
  ASSERT_EQ(0x3000u, gm_handle::peek_next_handle());
  gm_sc_dev* dev = add_dev("dev");
  gm_sc_app* app = dev->create_app(app_info(1), "app");
  gm_sc_cont* cont = app->create_container(7, "cont");
  gm_sc_key* key = cont->create_session_key(1, 0x401);
  gm_sc_mac* mac = cont->create_mac_key(2, 0x401);
  gm_sc_digest* dig = dev->create_digest(1);
  const std::vector<std::pair<gm_handle*, HANDLE_TYPE>> made = {
      {dev, HT_DEVICE}, {app, HT_APPLICATION}, {cont, HT_CONTAINER},
      {key, HT_SESSION_KEY}, {mac, HT_MAC}, {dig, HT_DIGEST}};
  std::set<uintptr_t> seen;
  for (size_t i = 0; i < made.size(); ++i) {
    EXPECT_EQ(0x3000u + i, hv(made[i].first->get_handle()));
    EXPECT_EQ(made[i].second, made[i].first->get_handle_type());
    seen.insert(hv(made[i].first->get_handle()));
  }
  // Destroy everything and create again: new values only.
  devs().clear();
  gm_sc_dev* dev2 = add_dev("dev");
  gm_sc_cont* cont2 = dev2->create_app(app_info(1), "app")->create_container(7, "cont");
  for (gm_handle* h : std::initializer_list<gm_handle*>{dev2, cont2, cont2->create_session_key(1, 1)}) {
    EXPECT_EQ(0u, seen.count(hv(h->get_handle())));
    seen.insert(hv(h->get_handle()));
  }
  EXPECT_EQ(0x300Au, gm_handle::peek_next_handle());  // dev2, its app, cont2, the key
  // The old handles are found nowhere.
  EXPECT_EQ(nullptr, devs().get_dev_by_handle(reinterpret_cast<HANDLE>(0x3000)));
  EXPECT_EQ(nullptr, devs().find_key(reinterpret_cast<HANDLE>(0x3003), nullptr, nullptr, nullptr));
}

TEST_F(TreeTest, SearchesFindEachLevelWithItsOwnersAndOnlyThatLevel) {
  gm_sc_dev* d1 = add_dev("d1");
  gm_sc_dev* d2 = add_dev("d2");
  d1->create_app(app_info(1), "a1")->create_container(1, "c1");
  gm_sc_app* a2 = d2->create_app(app_info(2), "a2");
  gm_sc_cont* c2 = a2->create_container(2, "c2");
  gm_sc_key* k = c2->create_session_key(5, 0x401);
  gm_sc_mac* m = c2->create_mac_key(6, 0x401);
  gm_sc_digest* g = d2->create_digest(2);

  gm_sc_dev* dev = nullptr;
  gm_sc_app* app = nullptr;
  gm_sc_cont* cont = nullptr;
  EXPECT_EQ(d2, devs().get_dev_by_handle(d2->get_handle()));
  EXPECT_EQ(a2, devs().find_app(a2->get_handle(), &dev));
  EXPECT_EQ(d2, dev);
  dev = nullptr;
  EXPECT_EQ(c2, devs().find_container(c2->get_handle(), &dev, &app));
  EXPECT_EQ(d2, dev);
  EXPECT_EQ(a2, app);
  dev = nullptr, app = nullptr;
  EXPECT_EQ(k, devs().find_key(k->get_handle(), &dev, &app, &cont));
  EXPECT_EQ(d2, dev);
  EXPECT_EQ(a2, app);
  EXPECT_EQ(c2, cont);
  EXPECT_EQ(m, devs().find_mac(m->get_handle(), &dev, &app, &cont));
  EXPECT_EQ(g, devs().find_digest(g->get_handle(), &dev));
  EXPECT_EQ(d2, dev);

  // A handle of another level is not found by a search of this one.
  const HANDLE all[] = {d2->get_handle(), a2->get_handle(), c2->get_handle(), k->get_handle(),
                        m->get_handle(), g->get_handle()};
  for (HANDLE h : all) {
    EXPECT_EQ(h == d2->get_handle(), devs().get_dev_by_handle(h) != nullptr);
    EXPECT_EQ(h == a2->get_handle(), devs().find_app(h, nullptr) != nullptr);
    EXPECT_EQ(h == c2->get_handle(), devs().find_container(h, nullptr, nullptr) != nullptr);
    EXPECT_EQ(h == k->get_handle(), devs().find_key(h, nullptr, nullptr, nullptr) != nullptr);
    EXPECT_EQ(h == m->get_handle(), devs().find_mac(h, nullptr, nullptr, nullptr) != nullptr);
    EXPECT_EQ(h == g->get_handle(), devs().find_digest(h, nullptr) != nullptr);
  }
  EXPECT_EQ(nullptr, devs().get_dev_by_handle(nullptr));

  gm_sc_app* fa = nullptr;
  gm_sc_cont* fc = nullptr;
  EXPECT_EQ(nullptr, d1->get_first_key(&fa, &fc));  // d1's container has no key
  EXPECT_EQ(k, d2->get_first_key(&fa, &fc));
  EXPECT_EQ(a2, fa);
  EXPECT_EQ(c2, fc);
}

TEST_F(TreeTest, ClosingAParentInvalidatesEveryHandleBelow) {
  gm_sc_dev* d = add_dev("d");
  gm_sc_app* a = d->create_app(app_info(1), "a");
  gm_sc_cont* c = a->create_container(1, "c");
  const HANDLE key = c->create_session_key(1, 1)->get_handle();
  const HANDLE mac = c->create_mac_key(2, 1)->get_handle();
  const HANDLE cont = c->get_handle();

  EXPECT_EQ(0, a->remove_container(c));
  EXPECT_EQ(nullptr, devs().find_container(cont, nullptr, nullptr));
  EXPECT_EQ(nullptr, devs().find_key(key, nullptr, nullptr, nullptr));
  EXPECT_EQ(SAR_INVALIDHANDLEERR, SKF_CloseHandle(key));
  EXPECT_EQ(SAR_INVALIDHANDLEERR, SKF_CloseHandle(mac));
  EXPECT_EQ(1, a->remove_container(c));  // not ours any more

  // And a whole device with everything below it.
  gm_sc_cont* c2 = d->create_app(app_info(2), "b")->create_container(2, "c");
  const HANDLE key2 = c2->create_session_key(3, 1)->get_handle();
  const HANDLE dig = d->create_digest(1)->get_handle();
  EXPECT_EQ(0, devs().remove_dev(d));
  EXPECT_EQ(nullptr, devs().find_key(key2, nullptr, nullptr, nullptr));
  EXPECT_EQ(nullptr, devs().find_digest(dig, nullptr));
}

TEST_F(TreeTest, RemovalByNameTakesEveryObjectOfThatExactName) {
  gm_sc_dev* d = add_dev("d");
  d->create_app(app_info(1), "App");
  d->create_app(app_info(2), "app");
  d->create_app(app_info(3), "App");  // opened twice: two objects
  EXPECT_EQ(3, d->apps().count());
  EXPECT_EQ(2, d->apps().remove_app_by_name("App"));
  EXPECT_EQ(nullptr, d->find_app_by_name("App"));
  ASSERT_NE(nullptr, d->find_app_by_name("app"));
  EXPECT_EQ(0, d->apps().remove_app_by_name("APP"));

  gm_sc_app* a = d->find_app_by_name("app");
  a->create_container(1, "cont");
  a->create_container(2, "cont");
  a->create_container(3, "cont2");
  EXPECT_EQ(2, a->containers().remove_cont("cont"));
  EXPECT_EQ(nullptr, a->find_container_by_name("cont"));
  EXPECT_NE(nullptr, a->find_container_by_name("cont2"));
}

TEST_F(TreeTest, SearchesDoNotDisturbAnIterationInProgress) {
  std::vector<gm_sc_dev*> made;
  for (const char* n : {"a", "b", "c"}) {
    made.push_back(add_dev(n));
    made.back()->create_app(app_info(1), "x")->create_container(1, "y")->create_session_key(1, 1);
  }
  const HANDLE last_key = made.back()->get_first_key(nullptr, nullptr)->get_handle();
  std::vector<gm_sc_dev*> visited;
  for (gm_sc_dev* d = devs().get_first_dev(); d; d = devs().get_next_dev()) {
    visited.push_back(d);
    EXPECT_NE(nullptr, devs().find_key(last_key, nullptr, nullptr, nullptr));
  }
  EXPECT_EQ(made, visited);

  // Removing the current element ends the iteration instead of leaving a
  // dangling cursor.
  gm_sc_dev* first = devs().get_first_dev();
  EXPECT_EQ(0, devs().remove_dev(first));
  EXPECT_EQ(nullptr, devs().get_next_dev());
}

TEST(NodeList, AddRemoveAndCountNeverTouchPayloads) {
  vk_node_list l;
  int a = 1, b = 2, c = 3;
  EXPECT_EQ(1, l.remove(&a));  // empty
  EXPECT_EQ(nullptr, l.get_head());
  EXPECT_EQ(nullptr, l.get_tail());
  EXPECT_EQ(1, l.add(&a));
  EXPECT_EQ(2, l.add(&b));
  EXPECT_EQ(3, l.add(&c));
  EXPECT_EQ(&a, l.get_head()->data);
  EXPECT_EQ(&c, l.get_tail()->data);
  EXPECT_EQ(1, l.remove(&l));  // not in the list
  EXPECT_EQ(0, l.remove(&b));
  EXPECT_EQ(2, l.get_count());
  EXPECT_EQ(&c, l.get_head()->next->data);
  EXPECT_EQ(0, l.remove(&c));
  EXPECT_EQ(&a, l.get_tail()->data);
  l.remove_all();
  EXPECT_EQ(0, l.get_count());
  EXPECT_EQ(1, a + b + c - 5);  // payloads untouched
}

// ---- SKF_CloseHandle over the virtual token ----

class CloseHandle : public TreeTest {
 protected:
  void SetUp() override {
    TreeTest::SetUp();
    env_ = std::make_unique<vtok_env>();
    rx::transport::reset_state();
    env_->token->os().register_handler(0x80, 0xC4, [this](vtok::card_os&, const vtok::command& c) {
      destroyed_.push_back(c.data);
      return vtok::response::status(answer_);
    });
    ASSERT_EQ(1, app_enum_device(kRxDefaultDeviceCriteria));
    void* h = nullptr;
    ASSERT_NE(nullptr, app_get_first_dev(&h, RX_DEV_STATE_INITIAL));
    ASSERT_EQ(0, app_connect_device(h));
    dev_ = add_dev("token", h);
    dev_->set_connected(1);
    app_ = dev_->create_app(app_info(0x0102), "app");
    cont_ = app_->create_container(0x0304, "cont");
  }
  void TearDown() override {
    devs().clear();
    rx::transport::reset_state();
    env_.reset();
    TreeTest::TearDown();
  }

  std::unique_ptr<vtok_env> env_;
  std::vector<std::vector<uint8_t>> destroyed_;
  uint16_t answer_ = 0x9000;
  gm_sc_dev* dev_ = nullptr;
  gm_sc_app* app_ = nullptr;
  gm_sc_cont* cont_ = nullptr;
};

TEST_F(CloseHandle, RefusesHandlesItDoesNotClose) {
  gm_sc_key* k = cont_->create_session_key(9, 1);
  const HANDLE closed = k->get_handle();
  ASSERT_EQ(SAR_OK, SKF_CloseHandle(closed));
  destroyed_.clear();
  const HANDLE refused[] = {nullptr, closed, dev_->get_handle(), app_->get_handle(),
                            cont_->get_handle(), reinterpret_cast<HANDLE>(0x7fffffff)};
  for (HANDLE h : refused) EXPECT_EQ(SAR_INVALIDHANDLEERR, SKF_CloseHandle(h)) << h;
  EXPECT_TRUE(destroyed_.empty());  // nothing sent
  // The refused objects are all still there.
  EXPECT_EQ(dev_, devs().get_dev_by_handle(dev_->get_handle()));
  EXPECT_EQ(cont_, devs().find_container(cont_->get_handle(), nullptr, nullptr));
}

TEST_F(CloseHandle, DigestContextGoesWithoutACommand) {
  const HANDLE h = dev_->create_digest(1)->get_handle();
  EXPECT_EQ(SAR_OK, SKF_CloseHandle(h));
  EXPECT_TRUE(destroyed_.empty());
  EXPECT_EQ(nullptr, devs().find_digest(h, nullptr));
  EXPECT_EQ(SAR_INVALIDHANDLEERR, SKF_CloseHandle(h));
}

TEST_F(CloseHandle, SessionKeyIsDestroyedOnTheTokenFirst) {
  const HANDLE h = cont_->create_session_key(0x0506, 0x401)->get_handle();
  EXPECT_EQ(SAR_OK, SKF_CloseHandle(h));
  ASSERT_EQ(1u, destroyed_.size());
  EXPECT_EQ((std::vector<uint8_t>{0x01, 0x02, 0x03, 0x04, 0x05, 0x06}), destroyed_[0]);
  EXPECT_EQ(nullptr, devs().find_key(h, nullptr, nullptr, nullptr));
}

TEST_F(CloseHandle, SessionKeyTheTokenRefusesStaysValid) {
  const HANDLE h = cont_->create_session_key(7, 0x401)->get_handle();
  struct row {
    uint16_t sw;
    ULONG rv;
  };
  for (const row& r : {row{0x6A8D, 0x6A8Du}, row{0x6A95, SAR_KEYNOTFOUNTERR}, row{0x6982, SAR_USER_NOT_LOGGED_IN}}) {
    answer_ = r.sw;
    EXPECT_EQ(r.rv, SKF_CloseHandle(h)) << std::hex << r.sw;
    EXPECT_NE(nullptr, devs().find_key(h, nullptr, nullptr, nullptr));
  }
  EXPECT_EQ(0x6982u, SKF_GetLastDevError(nullptr));
  answer_ = 0x9000;
  EXPECT_EQ(SAR_OK, SKF_CloseHandle(h));
}

TEST_F(CloseHandle, SessionKeyOfAnUnreachableTokenStaysValid) {
  const HANDLE h = cont_->create_session_key(7, 0x401)->get_handle();
  dev_->set_transport(reinterpret_cast<void*>(0x1));  // no such transport device
  const ULONG rv = SKF_CloseHandle(h);
  EXPECT_NE(SAR_OK, rv);
  EXPECT_EQ(static_cast<ULONG>(get_last_sw()), rv);  // the pseudo status word
  EXPECT_NE(nullptr, devs().find_key(h, nullptr, nullptr, nullptr));
}

TEST_F(CloseHandle, MacContextGoesWhateverTheTokenAnswers) {
  const HANDLE h = cont_->create_mac_key(0x0A0B, 0x401)->get_handle();
  answer_ = 0x6A8D;
  EXPECT_EQ(SAR_OK, SKF_CloseHandle(h));
  ASSERT_EQ(1u, destroyed_.size());
  EXPECT_EQ((std::vector<uint8_t>{0x01, 0x02, 0x03, 0x04, 0x0A, 0x0B}), destroyed_[0]);
  EXPECT_EQ(nullptr, devs().find_mac(h, nullptr, nullptr, nullptr));
}

}  // namespace

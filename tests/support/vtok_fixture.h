// The virtual token set up for a test: a virtual clock, a bus with one
// plugged HID token, and the in-process backend installed as the platform
// backend for the test's lifetime.
//
//   TEST_F(vtok_fixture, something) { ... rx::plat::get() is the virtual token ... }
//
// or, outside a gtest fixture:
//
//   vtok_env env;             // installs
//   env.bus.plug({...});      // more tokens
//                             // uninstalls when it goes out of scope
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "clock.h"
#include "sim_backend.h"
#include "virtual_bus.h"

struct vtok_env {
  explicit vtok_env(bool plug_token = true, const vtok::token_config& cfg = {});
  ~vtok_env();
  vtok_env(const vtok_env&) = delete;
  vtok_env& operator=(const vtok_env&) = delete;

  vtok::virtual_clock clock;
  vtok::virtual_bus bus{clock};
  vtok::sim_backend backend{bus, clock, 0};
  vtok::token* token = nullptr;  // the token plugged at construction, if any
};

class vtok_fixture : public ::testing::Test {
 protected:
  void SetUp() override { env_ = std::make_unique<vtok_env>(); }
  void TearDown() override { env_.reset(); }

  vtok_env& env() { return *env_; }
  vtok::virtual_clock& clock() { return env_->clock; }
  vtok::virtual_bus& bus() { return env_->bus; }
  vtok::sim_backend& backend() { return env_->backend; }
  vtok::token& token() { return *env_->token; }

 private:
  std::unique_ptr<vtok_env> env_;
};

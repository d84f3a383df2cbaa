// Entry argument checks of the token API functions.
#include <gtest/gtest.h>

#include <string>

#include "token_api/skf_args.h"

namespace {

using namespace rx::skf;

TEST(ArgumentChecks, NamesPointersAndLengths) {
  struct row {
    const char* name;
    size_t max;
    bool ok;
  };
  const std::string max32(32, 'n'), over32(33, 'n');
  for (const row& r : {row{nullptr, 32, false}, row{"", 32, false}, row{"a", 32, true},
                       row{max32.c_str(), 32, true}, row{over32.c_str(), 32, false},
                       row{"ab", 1, false}, row{"a", 0, false}}) {
    EXPECT_EQ(r.ok, name_ok(r.name, r.max)) << (r.name ? r.name : "(null)") << " max " << r.max;
  }
  int x = 0;
  EXPECT_TRUE(ptr_ok(&x));
  EXPECT_FALSE(ptr_ok(nullptr));
  EXPECT_TRUE(len_ok(1024, 1024));
  EXPECT_FALSE(len_ok(1025, 1024));
  EXPECT_FALSE(len_ok(0xFFFFFFFFull, 1024));
  EXPECT_TRUE(len_in(16, 16, 32));
  EXPECT_FALSE(len_in(15, 16, 32));
  EXPECT_TRUE(buf_ok(nullptr, 0));
  EXPECT_FALSE(buf_ok(nullptr, 1));
  EXPECT_TRUE(buf_ok(&x, 100));
}

TEST(ArgumentChecks, RequireFoldsToInvalidParam) {
  EXPECT_EQ(SAR_OK, require());
  EXPECT_EQ(SAR_OK, require(true, true));
  int x = 0;
  EXPECT_EQ(SAR_INVALIDPARAMERR, require(ptr_ok(&x), name_ok("app", 32), len_ok(2000, 1024)));
  EXPECT_EQ(SAR_INVALIDPARAMERR, require(false));
  EXPECT_EQ(SAR_OK, require(ptr_ok(&x), name_ok("app", 32), len_ok(10, 1024)));
}

}  // namespace

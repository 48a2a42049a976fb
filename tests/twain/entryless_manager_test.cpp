// A library of the manager's name that lacks the entry.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include "platform/errors.h"
#include "support/manager_loader.h"
#include "twain/TwainUtils.h"

namespace {

TEST(EntrylessManager, ConstructionFailsWithTheAssertionAndCountsForNothing) {
  // Held loaded by the test.
  void* library = LoadTestManager(TWAIN_MANAGER_PATH);
  ASSERT_NE(library, nullptr);
  for (int attempt = 0; attempt < 2; ++attempt) {
    try {
      GlobalTwain();
      ADD_FAILURE() << "constructed without an entry";
    } catch (const EAssertionFailed& error) {
      EXPECT_STREQ(error.what(), "Assertion failure (TwainUtils.cpp, 184 行)");
    }
    EXPECT_EQ(TwainRefCount(), 0);
    EXPECT_FALSE(TwainLoaded());
  }
  ::dlclose(library);
}

}  // namespace

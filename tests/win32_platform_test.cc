// The Windows platform's own parts, against the real system.
#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "platform/win32/find_listing.h"
#include "test_support.h"

namespace quarvane {
namespace {

namespace fs = std::filesystem;

BOOL WINAPI FailWithAccessDenied(HANDLE, WIN32_FIND_DATAW*) {
  SetLastError(ERROR_ACCESS_DENIED);
  return FALSE;
}

TEST(FindListingTest, AFailureOtherThanTheEndBreaksTheListingOff) {
  TempDir temp;
  WIN32_FIND_DATAW first = {};
  HANDLE handle = FindFirstFileW((FolderText(temp.path()) + L"*.*").c_str(), &first);
  ASSERT_NE(handle, INVALID_HANDLE_VALUE);
  FindListing listing(handle, first, FailWithAccessDenied);

  FindData entry;
  EXPECT_EQ(listing.FindNext(&entry), FindStep::kEntry);
  EXPECT_EQ(entry.name, first.cFileName);
  EXPECT_EQ(listing.FindNext(&entry), FindStep::kFailed);
}

}  // namespace
}  // namespace quarvane

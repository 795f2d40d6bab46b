#include "platform/win32/find_listing.h"

namespace quarvane {

FindListing::FindListing(HANDLE handle, const WIN32_FIND_DATAW& first, FindNextFunction find_next)
    : handle_(handle), data_(first), find_next_(find_next) {}

FindListing::~FindListing() { FindClose(handle_); }

FindStep FindListing::FindNext(FindData* entry) {
  if (!holds_unread_entry_) {
    if (!find_next_(handle_, &data_)) {
      return GetLastError() == ERROR_NO_MORE_FILES ? FindStep::kFinished : FindStep::kFailed;
    }
  }
  holds_unread_entry_ = false;
  entry->attributes = data_.dwFileAttributes;
  entry->name = data_.cFileName;
  return FindStep::kEntry;
}

std::unique_ptr<Listing> OpenFindListing(const std::wstring& pattern) {
  WIN32_FIND_DATAW first = {};
  HANDLE handle = FindFirstFileW(pattern.c_str(), &first);
  if (handle == INVALID_HANDLE_VALUE) return nullptr;
  return std::make_unique<FindListing>(handle, first);
}

}  // namespace quarvane

// Directory listings through FindFirstFileW, FindNextFileW and FindClose.
#ifndef QUARVANE_PLATFORM_WIN32_FIND_LISTING_H_
#define QUARVANE_PLATFORM_WIN32_FIND_LISTING_H_

#include <windows.h>

#include <memory>
#include <string>

#include "platform/platform.h"

namespace quarvane {

// The call that reads a listing's next entry: FindNextFileW, but for tests.
using FindNextFunction = BOOL(WINAPI*)(HANDLE, WIN32_FIND_DATAW*);

class FindListing : public Listing {
 public:
  // Takes over `handle` from FindFirstFileW, with the first entry it found.
  FindListing(HANDLE handle, const WIN32_FIND_DATAW& first,
              FindNextFunction find_next = FindNextFileW);
  ~FindListing() override;
  FindListing(const FindListing&) = delete;
  FindListing& operator=(const FindListing&) = delete;

  // The first entry, then one more each call. Only ERROR_NO_MORE_FILES ends
  // the listing as complete; any other failure breaks it off.
  FindStep FindNext(FindData* entry) override;

 private:
  HANDLE handle_;
  WIN32_FIND_DATAW data_;
  FindNextFunction find_next_;
  bool holds_unread_entry_ = true;
};

// Starts listing what `pattern` names; null when nothing can be listed.
std::unique_ptr<Listing> OpenFindListing(const std::wstring& pattern);

}  // namespace quarvane

#endif  // QUARVANE_PLATFORM_WIN32_FIND_LISTING_H_

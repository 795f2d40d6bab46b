// The Windows services the repair uses: the system's own calls.
#include <windows.h>

#include <cstdio>
#include <cwchar>

#include "platform/platform.h"

namespace quarvane {
namespace {

class Win32Listing : public Listing {
 public:
  // Takes over a handle from FindFirstFileW with the first entry it found.
  Win32Listing(HANDLE handle, const WIN32_FIND_DATAW& first) : handle_(handle), data_(first) {}
  ~Win32Listing() override { FindClose(handle_); }
  Win32Listing(const Win32Listing&) = delete;
  Win32Listing& operator=(const Win32Listing&) = delete;

  FindStep FindNext(FindData* entry) override {
    if (!holds_unread_entry_) {
      if (!FindNextFileW(handle_, &data_)) {
        return GetLastError() == ERROR_NO_MORE_FILES ? FindStep::kFinished : FindStep::kFailed;
      }
    }
    holds_unread_entry_ = false;
    entry->attributes = data_.dwFileAttributes;
    entry->name = data_.cFileName;
    return FindStep::kEntry;
  }

 private:
  HANDLE handle_;
  WIN32_FIND_DATAW data_;
  bool holds_unread_entry_ = true;
};

class Win32Platform : public Platform {
 public:
  unsigned SystemDirectory(wchar_t* buffer, unsigned size) override {
    return GetSystemDirectoryW(buffer, size);
  }

  std::unique_ptr<Listing> OpenListing(const std::wstring& pattern) override {
    WIN32_FIND_DATAW first = {};
    HANDLE handle = FindFirstFileW(pattern.c_str(), &first);
    if (handle == INVALID_HANDLE_VALUE) return nullptr;
    return std::make_unique<Win32Listing>(handle, first);
  }

  int RunCommand(const std::wstring& command_line) override {
    return _wsystem(command_line.c_str());
  }

  void Print(const std::wstring& text) override {
    wprintf(L"%ls", text.c_str());
    fflush(stdout);
  }
};

}  // namespace

Platform& NativePlatform() {
  static Win32Platform platform;
  return platform;
}

bool EqualIgnoringCase(const std::wstring& a, const std::wstring& b) {
  return a.size() == b.size() && _wcsicmp(a.c_str(), b.c_str()) == 0;
}

}  // namespace quarvane

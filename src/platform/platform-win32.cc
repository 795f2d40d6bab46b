// The Windows services the repair uses: the system's own calls.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

#include "platform/platform.h"
#include "platform/win32/find_listing.h"
#include "platform/win32/system_commands.h"

namespace quarvane {
namespace {

class Win32Platform : public Platform {
 public:
  unsigned SystemDirectory(wchar_t* buffer, unsigned size) override {
    return GetSystemDirectoryW(buffer, size);
  }

  std::unique_ptr<Listing> OpenListing(const std::wstring& pattern) override {
    return OpenFindListing(pattern);
  }

  int RunCommand(const std::wstring& command_line) override { return commands_.Run(command_line); }

  void Print(const std::wstring& text) override {
    wprintf(L"%ls", text.c_str());
    fflush(stdout);
  }

 private:
  // Reads the system directory itself, so that which tools run does not
  // depend on what the run passes it.
  SystemCommands commands_{SystemDirectoryPath()};
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

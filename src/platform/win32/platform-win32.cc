// The Windows services the repair uses: the system's own calls.
#include <windows.h>

#include <climits>
#include <cstdio>
#include <cwchar>
#include <string>

#include "platform/platform.h"
#include "platform/win32/find_listing.h"
#include "platform/win32/system_commands.h"

namespace quarvane {
namespace {

// `text` as the C runtime writes it in its current locale, with "?" for each
// character that the locale cannot carry. wprintf would stop at the first
// such character and drop the rest of the line, its line feed included.
std::string OutputBytes(const std::wstring& text) {
  std::string bytes;
  char converted[MB_LEN_MAX];
  std::mbstate_t state = {};
  for (wchar_t character : text) {
    const std::size_t length = std::wcrtomb(converted, character, &state);
    if (length == static_cast<std::size_t>(-1)) {
      bytes += '?';
      state = {};
    } else {
      bytes.append(converted, length);
    }
  }
  return bytes;
}

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
    const std::string bytes = OutputBytes(text);
    std::fwrite(bytes.data(), 1, bytes.size(), stdout);
    std::fflush(stdout);
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

// The Windows services the repair uses: the system's own calls.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>

#include "platform/platform.h"
#include "platform/win32/find_listing.h"

namespace quarvane {
namespace {

// What _wsystem gives when the interpreter cannot be started.
constexpr int kCommandNotRun = -1;

// Windows' own list of the extensions cmd tries for a command word.
constexpr wchar_t kDefaultPathExt[] = L".COM;.EXE;.BAT;.CMD;.VBS;.VBE;.JS;.JSE;.WSF;.WSH;.MSC";

std::wstring SystemDirectoryPath() {
  const UINT size = GetSystemDirectoryW(nullptr, 0);
  if (size == 0) return {};
  std::wstring path(size, L'\0');
  const UINT length = GetSystemDirectoryW(path.data(), size);
  if (length == 0 || length >= size) return {};
  path.resize(length);
  return path;
}

// Makes the commands run the system's own tools, whoever started the program
// and from wherever. _wsystem starts the interpreter COMSPEC names, and cmd
// looks for "net" in the current directory first, then on PATH with the
// extensions in PATHEXT. So the current directory becomes the system
// directory, COMSPEC its cmd.exe and PATHEXT Windows' own list. COMSPEC and
// PATHEXT are set in the C runtime's environment, which _wsystem reads and
// hands on. False when any of them could not be set.
bool ConfineCommandsToSystemTools() {
  const std::wstring system = SystemDirectoryPath();
  if (system.empty() || !SetCurrentDirectoryW(system.c_str())) return false;
  const std::wstring comspec = L"COMSPEC=" + system + L"\\cmd.exe";
  const std::wstring pathext = std::wstring(L"PATHEXT=") + kDefaultPathExt;
  return _wputenv(comspec.c_str()) == 0 && _wputenv(pathext.c_str()) == 0;
}

class Win32Platform : public Platform {
 public:
  unsigned SystemDirectory(wchar_t* buffer, unsigned size) override {
    return GetSystemDirectoryW(buffer, size);
  }

  std::unique_ptr<Listing> OpenListing(const std::wstring& pattern) override {
    return OpenFindListing(pattern);
  }

  // No command runs until the commands are confined to the system's tools;
  // until then each one fails as if the interpreter could not start.
  int RunCommand(const std::wstring& command_line) override {
    if (!confined_) confined_ = ConfineCommandsToSystemTools();
    if (!confined_) return kCommandNotRun;
    return _wsystem(command_line.c_str());
  }

  void Print(const std::wstring& text) override {
    wprintf(L"%ls", text.c_str());
    fflush(stdout);
  }

 private:
  bool confined_ = false;
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

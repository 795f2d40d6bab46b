// Whatever names the catalog folder holds, the only commands the run hands to
// the interpreter are the two service commands and, for each name the rules
// let through, "ren <root><name> <name>.old", in which nothing but the root
// can hold a character outside hex digits, braces, hyphens, dots and blanks.
#include <cstdint>
#include <string>
#include <vector>

#include "fake_platform.h"
#include "fuzz_support.h"
#include "repair/catalog_ids.h"
#include "repair/repair_run.h"

namespace quarvane {
namespace {

std::vector<std::wstring> SplitLines(const std::wstring& text) {
  std::vector<std::wstring> lines(1);
  for (wchar_t c : text) {
    if (c == L'\n') {
      lines.emplace_back();
    } else {
      lines.back().push_back(c);
    }
  }
  return lines;
}

bool HoldsOnlyNameCharacters(const std::wstring& text) {
  for (wchar_t c : text) {
    const bool hex =
        (c >= L'0' && c <= L'9') || (c >= L'A' && c <= L'F') || (c >= L'a' && c <= L'f');
    if (!hex && std::wstring(L"{}-. \\").find(c) == std::wstring::npos) return false;
  }
  return true;
}

}  // namespace
}  // namespace quarvane

// Input: the system directory on the first line, one folder name per line after it.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace quarvane;
  const std::vector<std::wstring> lines = SplitLines(WideFromFuzzInput(data, size));
  FakePlatform platform;
  platform.system_directory = lines[0];
  const std::wstring root = lines[0] + L"\\catroot\\";
  std::vector<std::wstring> strays;
  for (std::size_t i = 1; i < lines.size(); ++i) {
    platform.AddFolder(root, lines[i]);
    if (IsGuidShapedName(lines[i]) && !IsReservedCatalogId(lines[i])) strays.push_back(lines[i]);
  }

  RunCatalogRepair(platform);

  std::vector<std::wstring> commands = platform.Logged(L"run: ");
  const bool ran = lines[0].size() > 0 && lines[0].size() < kSystemDirectoryBufferSize;
  if (!ran) {
    FuzzCheck(commands.empty(), "no command without a usable system directory");
    return 0;
  }
  FuzzCheck(commands.size() == strays.size() + 2,
            "one command per stray folder, plus stop and start");
  FuzzCheck(commands.front() == L"net stop cryptsvc", "stop first");
  FuzzCheck(commands.back() == L"net start cryptsvc", "start last");
  for (std::size_t i = 0; i < strays.size(); ++i) {
    const std::wstring& command = commands[i + 1];
    FuzzCheck(command == L"ren " + root + strays[i] + L" " + strays[i] + L".old",
              "the rename command's exact form");
    FuzzCheck(HoldsOnlyNameCharacters(strays[i]),
              "nothing outside the root can smuggle in another command");
  }
  return 0;
}

// A program planted where Quarvane.exe must not look: when it runs, it writes
// its command line to a marker file beside itself, named after it with ".ran"
// appended, says so, and exits 0 as if all went well.
#include <windows.h>

#include <cstdio>
#include <string>

int wmain() {
  wchar_t path[MAX_PATH];
  const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  const std::wstring marker = std::wstring(path, length) + L".ran";
  if (FILE* file = _wfopen(marker.c_str(), L"a")) {
    std::fwprintf(file, L"%ls\n", GetCommandLineW());
    std::fclose(file);
  }
  std::wprintf(L"planted program ran\n");
  return 0;
}

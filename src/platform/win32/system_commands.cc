#include "platform/win32/system_commands.h"

#include <process.h>
#include <windows.h>

#include <cstdlib>
#include <utility>

namespace quarvane {
namespace {

// What the C runtime's spawn gives when the interpreter cannot be started.
constexpr int kCommandNotRun = -1;

// Windows' own list of the extensions cmd tries for a command word.
constexpr wchar_t kDefaultPathExt[] = L".COM;.EXE;.BAT;.CMD;.VBS;.VBE;.JS;.JSE;.WSF;.WSH;.MSC";

// Sets the variable `name` to `value`, or removes it where `value` is empty,
// both in the C runtime's environment and in the process's (through
// `set_variable`): the interpreter is handed one of them, and they are
// separate copies on some Windows versions. Windows fails the removal of a
// variable that is not set with ERROR_ENVVAR_NOT_FOUND: it is gone all the
// same.
bool SetVariable(SetVariableFunction set_variable, const std::wstring& name,
                 const std::wstring& value) {
  const bool in_runtime = _wputenv((name + L"=" + value).c_str()) == 0;
  const bool in_process = set_variable(name.c_str(), value.empty() ? nullptr : value.c_str()) ||
                          (value.empty() && GetLastError() == ERROR_ENVVAR_NOT_FOUND);
  return in_runtime && in_process;
}

}  // namespace

std::wstring SystemDirectoryPath() {
  const UINT size = GetSystemDirectoryW(nullptr, 0);
  if (size == 0) return {};
  std::wstring path(size, L'\0');
  const UINT length = GetSystemDirectoryW(path.data(), size);
  if (length == 0 || length >= size) return {};
  path.resize(length);
  return path;
}

SystemCommands::SystemCommands(std::wstring system_folder, SetVariableFunction set_variable)
    : system_folder_(std::move(system_folder)),
      interpreter_(system_folder_ + L"\\cmd.exe"),
      set_variable_(set_variable) {}

int SystemCommands::Run(const std::wstring& command_line) {
  if (!confined_) confined_ = Confine();
  if (!confined_) return kCommandNotRun;
  // /D: cmd runs no AutoRun command of the registry's before the line.
  return static_cast<int>(_wspawnl(_P_WAIT, interpreter_.c_str(), interpreter_.c_str(), L"/D",
                                   L"/c", command_line.c_str(), nullptr));
}

// cmd looks for a command word such as "net" in its current directory, then
// on PATH, trying the extensions in PATHEXT; NoDefaultCurrentDirectoryInExePath,
// whatever its value, makes it skip the current directory. So the current
// directory becomes the system folder, PATHEXT Windows' own list, that
// variable goes, and COMSPEC names the system's cmd.exe for whatever the
// commands start in turn. PATH is left alone: the system folder comes first.
bool SystemCommands::Confine() {
  return !system_folder_.empty() && SetCurrentDirectoryW(system_folder_.c_str()) &&
         SetVariable(set_variable_, L"COMSPEC", interpreter_) &&
         SetVariable(set_variable_, L"PATHEXT", kDefaultPathExt) &&
         SetVariable(set_variable_, L"NoDefaultCurrentDirectoryInExePath", L"");
}

}  // namespace quarvane

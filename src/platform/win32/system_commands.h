// Command lines run by the system's own command interpreter, confined to the
// system's own tools.
#ifndef QUARVANE_PLATFORM_WIN32_SYSTEM_COMMANDS_H_
#define QUARVANE_PLATFORM_WIN32_SYSTEM_COMMANDS_H_

#include <windows.h>

#include <string>

namespace quarvane {

// The call that sets or removes an environment variable of the process:
// SetEnvironmentVariableW, but for tests.
using SetVariableFunction = BOOL(WINAPI*)(LPCWSTR name, LPCWSTR value);

// The Windows system directory's path; empty when it cannot be read.
std::wstring SystemDirectoryPath();

// Runs command lines through `system_folder`'s cmd.exe so that only the
// system's own tools run, whatever the folder the program was started from,
// the environment it inherited or the user's settings hold.
class SystemCommands {
 public:
  explicit SystemCommands(std::wstring system_folder,
                          SetVariableFunction set_variable = SetEnvironmentVariableW);

  // Runs `command_line` as "<system folder>\cmd.exe /D /c <command line>" and
  // waits for it. Returns the interpreter's exit status, or -1 when it could
  // not start. Before the first command, the current directory becomes the
  // system folder and the environment that cmd is handed is pinned; where
  // that fails, no command runs and each gives -1.
  int Run(const std::wstring& command_line);

 private:
  bool Confine();

  const std::wstring system_folder_;
  const std::wstring interpreter_;
  const SetVariableFunction set_variable_;
  bool confined_ = false;
};

}  // namespace quarvane

#endif  // QUARVANE_PLATFORM_WIN32_SYSTEM_COMMANDS_H_

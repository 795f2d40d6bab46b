// The Windows platform's own parts, against the real system.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "platform/win32/find_listing.h"
#include "platform/win32/system_commands.h"
#include "test_support.h"

namespace quarvane {
namespace {

namespace fs = std::filesystem;

// Sets a variable as an inherited environment holds it: in the C runtime's
// copy and in the process's.
void Inherit(const std::wstring& name, const std::wstring& value) {
  _wputenv((name + L"=" + value).c_str());
  SetEnvironmentVariableW(name.c_str(), value.c_str());
}

// Checked by the interpreter itself: what it is handed is what counts.
TEST(SystemCommandsTest, TheInterpreterSeesTheSystemsSettingsWhateverWasInherited) {
  const std::wstring system = SystemDirectoryPath();
  Inherit(L"NoDefaultCurrentDirectoryInExePath", L"1");
  Inherit(L"COMSPEC", L"C:\\planted\\cmd.exe");
  SystemCommands commands(system);

  EXPECT_EQ(commands.Run(L"if defined NoDefaultCurrentDirectoryInExePath exit 1"), 0);
  EXPECT_EQ(commands.Run(L"if not \"%COMSPEC%\"==\"" + system + L"\\cmd.exe\" exit 2"), 0);
}

// A system folder that cannot be entered, here because it is held open
// without sharing, cannot confine the commands: none runs, though its
// cmd.exe would start.
TEST(SystemCommandsTest, NothingRunsWhereTheCommandsCannotBeConfined) {
  TempDir temp;
  const fs::path system = temp.path() / "system";
  const fs::path marker = temp.path() / "ran";
  fs::create_directory(system);
  ASSERT_TRUE(CopyFileW((SystemDirectoryPath() + L"\\cmd.exe").c_str(),
                        (system / "cmd.exe").c_str(), TRUE));
  HANDLE held = CreateFileW(system.c_str(), FILE_LIST_DIRECTORY, 0, nullptr, OPEN_EXISTING,
                            FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);

  EXPECT_EQ(SystemCommands(system.wstring()).Run(L"mkdir " + marker.wstring()), -1);
  EXPECT_EQ(SystemCommands((temp.path() / "missing").wstring()).Run(L"rem"), -1);

  CloseHandle(held);
  EXPECT_FALSE(fs::exists(marker));
}

// What removing a variable that is not set fails with. Windows answers
// ERROR_ENVVAR_NOT_FOUND, where Wine's kernel32 succeeds.
DWORD unset_removal_error = ERROR_ENVVAR_NOT_FOUND;

BOOL WINAPI SetVariableOrFailUnsetRemoval(LPCWSTR name, LPCWSTR value) {
  if (value == nullptr && GetEnvironmentVariableW(name, nullptr, 0) == 0) {
    SetLastError(unset_removal_error);
    return FALSE;
  }
  return SetEnvironmentVariableW(name, value);
}

// As on nearly every Windows machine, NoDefaultCurrentDirectoryInExePath is
// not set: removing it fails with "not found", which confines all the same.
// Any other failure of the removal leaves the commands unconfined: none runs.
TEST(SystemCommandsTest, OnlyAVariableAlreadyGoneCountsAsRemoved) {
  TempDir temp;
  const std::wstring marker = (temp.path() / "ran").wstring();
  _wputenv(L"NoDefaultCurrentDirectoryInExePath=");
  SetEnvironmentVariableW(L"NoDefaultCurrentDirectoryInExePath", nullptr);
  const std::wstring system = SystemDirectoryPath();

  EXPECT_EQ(SystemCommands(system, SetVariableOrFailUnsetRemoval).Run(L"rem"), 0);
  unset_removal_error = ERROR_NOT_ENOUGH_MEMORY;
  EXPECT_EQ(SystemCommands(system, SetVariableOrFailUnsetRemoval).Run(L"mkdir " + marker), -1);
  unset_removal_error = ERROR_ENVVAR_NOT_FOUND;
  EXPECT_FALSE(fs::exists(marker));
}

BOOL WINAPI FailWithAccessDenied(HANDLE, WIN32_FIND_DATAW*) {
  SetLastError(ERROR_ACCESS_DENIED);
  return FALSE;
}

TEST(FindListingTest, AFailureOtherThanTheEndBreaksTheListingOff) {
  TempDir temp;
  WIN32_FIND_DATAW first = {};
  HANDLE handle = FindFirstFileW((FolderText(temp.path()) + L"*.*").c_str(), &first);
  ASSERT_NE(handle, INVALID_HANDLE_VALUE);
  FindListing listing(handle, first, FailWithAccessDenied);

  FindData entry;
  EXPECT_EQ(listing.FindNext(&entry), FindStep::kEntry);
  EXPECT_EQ(entry.name, first.cFileName);
  EXPECT_EQ(listing.FindNext(&entry), FindStep::kFailed);
}

}  // namespace
}  // namespace quarvane

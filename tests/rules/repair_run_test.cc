#include "repair/repair_run.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "fake_platform.h"

namespace quarvane {
namespace {

using Lines = std::vector<std::wstring>;

const std::wstring kSystem = L"C:\\Windows\\system32";
const std::wstring kRoot = kSystem + L"\\catroot\\";
const std::wstring kStrayA = L"{11111111-2222-3333-4444-555555555555}";
const std::wstring kStrayB = L"{aaaaaaaa-bbbb-cccc-dddd-eeeeeeeeeeee}";
const std::wstring kStrayC = L"{0F0F0F0F-0000-0000-0000-000000000000}";
const std::wstring kReserved = L"{F750E6C3-38EE-11D1-85E5-00C04FC295EE}";
const std::wstring kReservedLower = L"{127d0a1d-4ef2-11d1-8608-00c04fc295ee}";

const wchar_t kBanner[] = L"Quarvane.exe will fix an installation error of Vantesquill.\n";
const wchar_t kRelated[] = L"Related issue : BUG-76393 and BUG-76439.\n";

std::wstring Ren(const std::wstring& name) {
  return L"ren " + kRoot + name + L" " + name + L".old";
}

class RepairRunTest : public ::testing::Test {
 protected:
  RepairRunTest() {
    platform_.system_directory = kSystem;
    platform_.directories[kRoot];
  }

  int Run() { return RunCatalogRepair(platform_); }

  FakePlatform platform_;
};

// The catalog folder is listed, and the listing closed, before any folder is
// judged or renamed.
TEST_F(RepairRunTest, RenamesEveryStrayFolderInListingOrderBetweenStopAndStart) {
  platform_.AddFolder(kRoot, kStrayB);
  platform_.AddFolder(kRoot, L"Catalogs");
  platform_.AddFolder(kRoot, kStrayA);

  EXPECT_EQ(Run(), 0);

  EXPECT_EQ(platform_.log, (Lines{
                               L"print: " + std::wstring(kBanner),
                               L"print: " + std::wstring(kRelated),
                               L"run: net stop cryptsvc",
                               L"list: " + kRoot + L"*.*",
                               L"close: " + kRoot + L"*.*",
                               L"list: " + kRoot + kStrayB + L"\\*.*",
                               L"close: " + kRoot + kStrayB + L"\\*.*",
                               L"run: " + Ren(kStrayB),
                               L"list: " + kRoot + kStrayA + L"\\*.*",
                               L"close: " + kRoot + kStrayA + L"\\*.*",
                               L"run: " + Ren(kStrayA),
                               L"run: net start cryptsvc",
                               L"print: Quarvane successfully!\n",
                           }));
}

TEST_F(RepairRunTest, LeavesAloneWhatIsNotStrayAndListsOnlyCandidates) {
  const std::wstring full = L"{22222222-2222-2222-2222-222222222222}";
  const std::wstring nested = L"{33333333-3333-3333-3333-333333333333}";
  platform_.AddFolder(kRoot, kReserved);
  platform_.AddFolder(kRoot, kReservedLower);
  platform_.AddFolder(kRoot, full);
  platform_.AddFile(kRoot + full + L"\\", L"catalog.cat");
  platform_.AddFolder(kRoot, nested);
  platform_.AddFolder(kRoot + nested + L"\\", L"empty");
  platform_.AddFile(kRoot, kStrayA);  // a file, not a folder
  platform_.AddFolder(kRoot, kStrayB + L".old");
  platform_.AddFolder(kRoot, L"Catalogs");
  platform_.AddFolder(kRoot, L"...");

  Run();

  EXPECT_EQ(platform_.Logged(L"run: "), (Lines{L"net stop cryptsvc", L"net start cryptsvc"}));
  EXPECT_EQ(platform_.Logged(L"list: "),
            (Lines{kRoot + L"*.*", kRoot + full + L"\\*.*", kRoot + nested + L"\\*.*"}));
}

TEST_F(RepairRunTest, DoesNotRenameAFolderThatCannotBeListedCompletely) {
  platform_.AddFolder(kRoot, kStrayA);
  platform_.directories.erase(kRoot + kStrayA + L"\\");  // listing refused
  platform_.AddFolder(kRoot, kStrayB);
  platform_.broken_directories.push_back(kRoot + kStrayB + L"\\");
  platform_.AddFolder(kRoot, kStrayC);

  Run();

  EXPECT_EQ(platform_.Logged(L"run: "),
            (Lines{L"net stop cryptsvc", Ren(kStrayC), L"net start cryptsvc"}));
}

TEST_F(RepairRunTest, ReportsAFailedRenameAndGoesOn) {
  platform_.AddFolder(kRoot, kStrayA);
  platform_.AddFolder(kRoot, kStrayB);
  platform_.AddFolder(kRoot, kStrayC);
  platform_.command_results[Ren(kStrayB)] = 1;

  EXPECT_EQ(Run(), 0);

  EXPECT_EQ(platform_.Logged(L"run: "), (Lines{L"net stop cryptsvc", Ren(kStrayA), Ren(kStrayB),
                                               Ren(kStrayC), L"net start cryptsvc"}));
  EXPECT_EQ(platform_.Logged(L"print: "),
            (Lines{kBanner, kRelated, L"Command: " + Ren(kStrayB) + L" failed!\n",
                   L"Quarvane successfully!\n"}));
}

TEST_F(RepairRunTest, FailedStopEndsTheRunBeforeAnyFolderIsLookedAt) {
  platform_.AddFolder(kRoot, kStrayA);
  platform_.command_results[L"net stop cryptsvc"] = 2;

  EXPECT_EQ(Run(), 0);

  EXPECT_EQ(platform_.log,
            (Lines{L"print: " + std::wstring(kBanner), L"print: " + std::wstring(kRelated),
                   L"run: net stop cryptsvc", L"print: Quarvane failed!\n"}));
}

TEST_F(RepairRunTest, ReportsAFailedStartAndStillCompletes) {
  platform_.command_results[L"net start cryptsvc"] = 2;

  EXPECT_EQ(Run(), 0);

  EXPECT_EQ(platform_.Logged(L"print: "),
            (Lines{kBanner, kRelated, L"Command: net start cryptsvc failed!\n",
                   L"Quarvane successfully!\n"}));
}

// -1 is what _wsystem gives when the command interpreter cannot run at all.
TEST_F(RepairRunTest, ANegativeResultIsAFailedCommand) {
  platform_.AddFolder(kRoot, kStrayA);
  platform_.command_results[Ren(kStrayA)] = -1;
  platform_.command_results[L"net start cryptsvc"] = -1;
  FakePlatform not_stopped;
  not_stopped.system_directory = kSystem;
  not_stopped.command_results[L"net stop cryptsvc"] = -1;

  Run();
  RunCatalogRepair(not_stopped);

  EXPECT_EQ(platform_.Logged(L"print: "),
            (Lines{kBanner, kRelated, L"Command: " + Ren(kStrayA) + L" failed!\n",
                   L"Command: net start cryptsvc failed!\n", L"Quarvane successfully!\n"}));
  EXPECT_EQ(not_stopped.Logged(L"print: "), (Lines{kBanner, kRelated, L"Quarvane failed!\n"}));
}

// Windows' own folders are often hidden or system folders (0x16).
TEST_F(RepairRunTest, AnEntryWithTheDirectoryBitIsAFolderWhateverElseIsSet) {
  Lines expected = {L"net stop cryptsvc"};
  int i = 0;
  for (const std::uint32_t attributes : {0x10, 0x16, 0x11, 0x30, 0x410, 0x0, 0x6, 0x20, 0x80}) {
    const std::wstring name = L"{0000000" + std::to_wstring(i++) + L"-0000-0000-0000-000000000000}";
    platform_.directories[kRoot].push_back({attributes, name});
    platform_.directories[kRoot + name + L"\\"];
    if (attributes & 0x10) expected.push_back(Ren(name));
  }
  expected.push_back(L"net start cryptsvc");

  Run();

  EXPECT_EQ(platform_.Logged(L"run: "), expected);
}

TEST_F(RepairRunTest, UnlistableCatalogRootIsAnEmptyPass) {
  platform_.directories.clear();

  EXPECT_EQ(Run(), 0);

  EXPECT_EQ(platform_.Logged(L"run: "), (Lines{L"net stop cryptsvc", L"net start cryptsvc"}));
  EXPECT_EQ(platform_.Logged(L"print: "), (Lines{kBanner, kRelated, L"Quarvane successfully!\n"}));
}

TEST_F(RepairRunTest, FailsWithoutACommandWhenTheSystemDirectoryIsUnknownOrTooLong) {
  for (const std::wstring& system : {std::wstring(), std::wstring(260, L'x'),
                                     std::wstring(261, L'x'), std::wstring(1000, L'x')}) {
    FakePlatform platform;
    platform.system_directory = system;

    EXPECT_EQ(RunCatalogRepair(platform), 0);

    EXPECT_EQ(platform.log,
              (Lines{L"print: " + std::wstring(kBanner), L"print: " + std::wstring(kRelated),
                     L"print: Quarvane failed!\n"}))
        << system.size();
  }
}

TEST_F(RepairRunTest, UsesASystemDirectoryOfTheLongestLengthThatFits) {
  platform_.system_directory = std::wstring(259, L'x');

  Run();

  EXPECT_EQ(platform_.Logged(L"list: ").at(0), platform_.system_directory + L"\\catroot\\*.*");
}

TEST(RenameCommandTest, JoinsThePathAsBuiltWithoutQuotes) {
  EXPECT_EQ(RenameCommand(L"C:\\Program Files\\x\\catroot\\", kStrayA),
            L"ren C:\\Program Files\\x\\catroot\\" + kStrayA + L" " + kStrayA + L".old");
}

}  // namespace
}  // namespace quarvane

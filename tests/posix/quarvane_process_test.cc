// The built program as a user runs it: a real catalog folder, a stand-in
// "net" on PATH, and its exact output.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "program_sandbox.h"

namespace quarvane {
namespace {

namespace fs = std::filesystem;

const std::string kStrayUpper = "{11111111-AAAA-BBBB-CCCC-DDDDDDDDDDDD}";
const std::string kStrayLower = "{22222222-aaaa-bbbb-cccc-dddddddddddd}";
const std::string kStrayMixed = "{33333333-aAaA-bBbB-cCcC-dDdDdDdDdDdD}";
const std::string kReservedNames[] = {
    "{F750E6C3-38EE-11D1-85E5-00C04FC295EE}", "{573E31F8-AABA-11D0-8CCB-00C04FC295EE}",
    "{5555C2CD-17FB-11D1-85C4-00C04FC295EE}", "{189A3842-3041-11D1-85E1-00C04FC295EE}",
    "{fc451c16-ac75-11d1-b4b8-00c04fb66ea0}", "{00AAC56B-CD44-11D0-8CC2-00C04FC295EE}",
    "{573E31F8-DDBA-11D0-8CCB-00C04FC295EE}", "{127D0A1D-4EF2-11D1-8608-00C04FC295EE}",
};

class QuarvaneProcessTest : public ::testing::Test {
 protected:
  Outcome Run() {
    Outcome outcome = sandbox_.Run();
    EXPECT_EQ(outcome.exit_status, 0) << outcome.err;
    return outcome;
  }

  ProgramSandbox sandbox_;
};

TEST_F(QuarvaneProcessTest, RenamesStrayFoldersAndNothingElse) {
  for (const std::string& name : kReservedNames) sandbox_.Folder(name);
  for (const std::string& name : {kStrayUpper, kStrayLower, kStrayMixed}) sandbox_.Folder(name);
  const std::string hidden = "{44444444-4444-4444-4444-444444444444}";
  const std::string nested = "{55555555-5555-5555-5555-555555555555}";
  sandbox_.Folder(hidden);
  sandbox_.File(hidden + "/.hidden", "h");
  sandbox_.Folder(nested + "/empty");
  sandbox_.File("{66666666-6666-6666-6666-666666666666}", "a file");
  sandbox_.Folder("{77777777-7777-7777-7777-777777777777}.old");
  sandbox_.Folder("Catalogs");
  sandbox_.Folder("{not-a-guid}");
  Snapshot expected = TakeSnapshot(sandbox_.root);
  for (const std::string& stray : {kStrayUpper, kStrayLower, kStrayMixed}) {
    expected.erase(stray);
    expected[stray + ".old"] = "dir";
  }

  const Outcome outcome = Run();

  EXPECT_EQ(outcome.out, kCleanPass);
  EXPECT_EQ(outcome.net_log, "net stop cryptsvc\nnet start cryptsvc\n");
  EXPECT_EQ(TakeSnapshot(sandbox_.root), expected);
}

TEST_F(QuarvaneProcessTest, SecondRunFindsNothingMore) {
  sandbox_.Folder(kStrayUpper);
  Run();

  EXPECT_EQ(Run().out, kCleanPass);
  EXPECT_EQ(TakeSnapshot(sandbox_.root), (Snapshot{{kStrayUpper + ".old", "dir"}}));
}

TEST_F(QuarvaneProcessTest, FailedStopTouchesNothingAndDoesNotStartTheService) {
  sandbox_.Folder(kStrayUpper);
  sandbox_.environment["NET_STOP_EXIT"] = "2";

  const Outcome outcome = Run();

  EXPECT_EQ(outcome.out, std::string(kBanner) + "Quarvane failed!\n");
  EXPECT_EQ(outcome.net_log, "net stop cryptsvc\n");
  EXPECT_EQ(TakeSnapshot(sandbox_.root), (Snapshot{{kStrayUpper, "dir"}}));
}

TEST_F(QuarvaneProcessTest, FailedStartIsReportedBeforeTheClosingLine) {
  sandbox_.Folder(kStrayUpper);
  sandbox_.environment["NET_START_EXIT"] = "2";

  const Outcome outcome = Run();

  EXPECT_EQ(outcome.out,
            std::string(kBanner) + kStopped + "Command: net start cryptsvc failed!\n" + kSucceeded);
  EXPECT_EQ(TakeSnapshot(sandbox_.root), (Snapshot{{kStrayUpper + ".old", "dir"}}));
}

// As on Windows, output that cannot be written is lost, and nothing else.
TEST_F(QuarvaneProcessTest, OutputThatCannotBeWrittenDoesNotCutTheRunShort) {
  for (StandardOutput output : {StandardOutput::kPipeClosedAfterLine1, StandardOutput::kFullDisk,
                                StandardOutput::kClosed}) {
    sandbox_.Folder(kStrayUpper);

    const Outcome outcome = sandbox_.Run({}, output);

    EXPECT_EQ(outcome.exit_status, 0) << static_cast<int>(output);
    EXPECT_EQ(outcome.net_log, "net stop cryptsvc\nnet start cryptsvc\n");
    EXPECT_EQ(TakeSnapshot(sandbox_.root), (Snapshot{{kStrayUpper + ".old", "dir"}}));
    fs::remove(sandbox_.root / (kStrayUpper + ".old"));
  }
}

// Overlong system directories are among the fault tests.
TEST_F(QuarvaneProcessTest, UnknownSystemDirectoryFailsWithoutACommand) {
  sandbox_.Folder(kStrayUpper);
  for (bool set_but_empty : {true, false}) {
    if (set_but_empty) {
      sandbox_.environment["QUARVANE_SYSTEM_DIR"] = "";
    } else {
      sandbox_.environment.erase("QUARVANE_SYSTEM_DIR");
    }

    const Outcome outcome = Run();

    EXPECT_EQ(outcome.out, std::string(kBanner) + "Quarvane failed!\n");
    EXPECT_EQ(outcome.net_log, "");
  }
  EXPECT_EQ(TakeSnapshot(sandbox_.root), (Snapshot{{kStrayUpper, "dir"}}));
}

TEST_F(QuarvaneProcessTest, MissingCatalogRootIsAnEmptyPass) {
  fs::remove(sandbox_.root);

  const Outcome outcome = Run();

  EXPECT_EQ(outcome.out, kCleanPass);
  EXPECT_EQ(outcome.net_log, "net stop cryptsvc\nnet start cryptsvc\n");
  EXPECT_FALSE(fs::exists(sandbox_.root));
}

TEST_F(QuarvaneProcessTest, PrintsNonAsciiPathsAsUtf8InAnyLocale) {
  sandbox_.SetSystemDirectory(sandbox_.temp.path() / "zo\xc3\xab" / "System32");
  sandbox_.Folder(kStrayUpper);
  sandbox_.Folder(kStrayUpper + ".old");

  const Outcome outcome = Run();

  EXPECT_EQ(outcome.out, std::string(kBanner) + kStopped +
                             "Command: " + sandbox_.RenameLine(kStrayUpper) + " failed!\n" +
                             kStarted + kSucceeded);
  EXPECT_NE(outcome.out.find("/zo\xc3\xab/System32\\catroot\\"), std::string::npos);
}

}  // namespace
}  // namespace quarvane

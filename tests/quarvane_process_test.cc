// The built program as a user runs it: a real catalog folder, a stand-in
// "net" on PATH, and its exact output.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "test_support.h"

namespace quarvane {
namespace {

namespace fs = std::filesystem;

const std::string kBanner =
    "Quarvane.exe will fix an installation error of Vantesquill.\n"
    "Related issue : BUG-76393 and BUG-76439.\n";
const std::string kStopped = "The cryptsvc service was stopped successfully.\n";
const std::string kStarted = "The cryptsvc service was started successfully.\n";
const std::string kSucceeded = "Quarvane successfully!\n";

const std::string kStrayUpper = "{11111111-AAAA-BBBB-CCCC-DDDDDDDDDDDD}";
const std::string kStrayLower = "{22222222-aaaa-bbbb-cccc-dddddddddddd}";
const std::string kStrayMixed = "{33333333-aAaA-bBbB-cCcC-dDdDdDdDdDdD}";
const std::string kReservedNames[] = {
    "{F750E6C3-38EE-11D1-85E5-00C04FC295EE}", "{573E31F8-AABA-11D0-8CCB-00C04FC295EE}",
    "{5555C2CD-17FB-11D1-85C4-00C04FC295EE}", "{189A3842-3041-11D1-85E1-00C04FC295EE}",
    "{fc451c16-ac75-11d1-b4b8-00c04fb66ea0}", "{00AAC56B-CD44-11D0-8CC2-00C04FC295EE}",
    "{573E31F8-DDBA-11D0-8CCB-00C04FC295EE}", "{127D0A1D-4EF2-11D1-8608-00C04FC295EE}",
};

std::string ReadFile(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

struct Outcome {
  int exit_status = -1;
  std::string out;
  std::string net_log;
};

class QuarvaneProcessTest : public ::testing::Test {
 protected:
  QuarvaneProcessTest() {
    fs::create_directories(root_);
    fs::create_directories(bin_);
    fs::copy_file(QUARVANE_NET_STAND_IN, bin_ / "net");
    environment_ = {
        {"PATH", bin_.string() + ":/usr/bin:/bin"},
        {"QUARVANE_SYSTEM_DIR", system_.string()},
        {"NET_LOG", (temp_.path() / "net.log").string()},
        {"LC_ALL", "C"},
    };
  }

  void Folder(const std::string& name) { fs::create_directories(root_ / name); }
  void File(const std::string& name) { MakeFile(root_ / name); }

  // Runs the program with `environment_`, its output sent to files.
  Outcome Run() {
    std::vector<std::string> settings;
    for (const auto& [name, value] : environment_) settings.push_back(name + "=" + value);
    std::vector<char*> envp;
    for (std::string& setting : settings) envp.push_back(setting.data());
    envp.push_back(nullptr);
    const fs::path out = temp_.path() / "stdout";
    const fs::path err = temp_.path() / "stderr";

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    char program[] = QUARVANE_PROGRAM;
    char* argv[] = {program, nullptr};
    pid_t child;
    Outcome outcome;
    if (posix_spawn(&child, program, &actions, nullptr, argv, envp.data()) == 0) {
      int status;
      waitpid(child, &status, 0);
      if (WIFEXITED(status)) outcome.exit_status = WEXITSTATUS(status);
    }
    posix_spawn_file_actions_destroy(&actions);
    outcome.out = ReadFile(out);
    outcome.net_log = ReadFile(temp_.path() / "net.log");
    return outcome;
  }

  // Every path under the catalog root, folders marked with a trailing slash.
  std::set<std::string> Tree() const {
    std::set<std::string> tree;
    for (const auto& entry : fs::recursive_directory_iterator(root_)) {
      tree.insert(fs::relative(entry.path(), root_).string() + (entry.is_directory() ? "/" : ""));
    }
    return tree;
  }

  std::string RenameLine(const std::string& name) const {
    return "ren " + system_.string() + "\\catroot\\" + name + " " + name + ".old";
  }

  TempDir temp_;
  fs::path system_ = temp_.path() / "Windows" / "System32";
  fs::path root_ = system_ / "catroot";
  fs::path bin_ = temp_.path() / "bin";
  std::map<std::string, std::string> environment_;
};

TEST_F(QuarvaneProcessTest, RenamesStrayFoldersAndNothingElse) {
  for (const std::string& name : kReservedNames) Folder(name);
  Folder(kStrayUpper);
  Folder(kStrayLower);
  Folder(kStrayMixed);
  const std::string hidden = "{44444444-4444-4444-4444-444444444444}";
  const std::string nested = "{55555555-5555-5555-5555-555555555555}";
  const std::string as_file = "{66666666-6666-6666-6666-666666666666}";
  const std::string renamed = "{77777777-7777-7777-7777-777777777777}.old";
  Folder(hidden);
  File(hidden + "/.hidden");
  Folder(nested + "/empty");
  File(as_file);
  Folder(renamed);
  Folder("Catalogs");
  Folder("{not-a-guid}");
  std::set<std::string> expected = Tree();

  const Outcome outcome = Run();

  EXPECT_EQ(outcome.exit_status, 0);
  EXPECT_EQ(outcome.out, kBanner + kStopped + kStarted + kSucceeded);
  EXPECT_EQ(outcome.net_log, "net stop cryptsvc\nnet start cryptsvc\n");
  for (const std::string& stray : {kStrayUpper, kStrayLower, kStrayMixed}) {
    expected.erase(stray + "/");
    expected.insert(stray + ".old/");
  }
  EXPECT_EQ(Tree(), expected);
}

TEST_F(QuarvaneProcessTest, SecondRunFindsNothingMore) {
  Folder(kStrayUpper);
  ASSERT_EQ(Run().exit_status, 0);
  const std::set<std::string> after_first = Tree();

  const Outcome second = Run();

  EXPECT_EQ(second.out, kBanner + kStopped + kStarted + kSucceeded);
  EXPECT_EQ(Tree(), after_first);
  EXPECT_EQ(after_first, (std::set<std::string>{kStrayUpper + ".old/"}));
}

TEST_F(QuarvaneProcessTest, FailedRenameIsReportedAndLosesNothing) {
  Folder(kStrayUpper);
  Folder(kStrayLower);
  File(kStrayLower + ".old");  // already taken, by a file with content
  std::ofstream(root_ / (kStrayLower + ".old")) << "earlier";
  Folder(kStrayMixed);
  Folder(kStrayMixed + ".old/kept");

  const Outcome outcome = Run();

  EXPECT_EQ(outcome.exit_status, 0);
  const std::string failure_lower = "Command: " + RenameLine(kStrayLower) + " failed!\n";
  const std::string failure_mixed = "Command: " + RenameLine(kStrayMixed) + " failed!\n";
  const std::string tail =
      outcome.out.substr(std::min(outcome.out.size(), kBanner.size() + kStopped.size()));
  EXPECT_TRUE(tail == failure_lower + failure_mixed + kStarted + kSucceeded ||
              tail == failure_mixed + failure_lower + kStarted + kSucceeded)
      << outcome.out;
  EXPECT_EQ(outcome.out.substr(0, kBanner.size() + kStopped.size()), kBanner + kStopped);
  EXPECT_EQ(Tree(), (std::set<std::string>{kStrayUpper + ".old/", kStrayLower + "/",
                                           kStrayLower + ".old", kStrayMixed + "/",
                                           kStrayMixed + ".old/", kStrayMixed + ".old/kept/"}));
  EXPECT_EQ(ReadFile(root_ / (kStrayLower + ".old")), "earlier");
}

TEST_F(QuarvaneProcessTest, FailedStopTouchesNothingAndDoesNotStartTheService) {
  Folder(kStrayUpper);
  environment_["NET_STOP_EXIT"] = "2";

  const Outcome outcome = Run();

  EXPECT_EQ(outcome.exit_status, 0);
  EXPECT_EQ(outcome.out, kBanner + "Quarvane failed!\n");
  EXPECT_EQ(outcome.net_log, "net stop cryptsvc\n");
  EXPECT_EQ(Tree(), std::set<std::string>{kStrayUpper + "/"});
}

TEST_F(QuarvaneProcessTest, FailedStartIsReportedBeforeTheClosingLine) {
  Folder(kStrayUpper);
  environment_["NET_START_EXIT"] = "2";

  const Outcome outcome = Run();

  EXPECT_EQ(outcome.exit_status, 0);
  EXPECT_EQ(outcome.out, kBanner + kStopped + "Command: net start cryptsvc failed!\n" + kSucceeded);
  EXPECT_EQ(Tree(), std::set<std::string>{kStrayUpper + ".old/"});
}

TEST_F(QuarvaneProcessTest, UnknownOrTooLongSystemDirectoryFailsWithoutACommand) {
  Folder(kStrayUpper);
  const std::string too_long = "/" + std::string(259, 'x');  // 260 characters
  for (const std::string* system : {static_cast<const std::string*>(nullptr), &too_long}) {
    if (system) {
      environment_["QUARVANE_SYSTEM_DIR"] = *system;
    } else {
      environment_.erase("QUARVANE_SYSTEM_DIR");
    }

    const Outcome outcome = Run();

    EXPECT_EQ(outcome.exit_status, 0);
    EXPECT_EQ(outcome.out, kBanner + "Quarvane failed!\n");
    EXPECT_EQ(outcome.net_log, "");
  }
  EXPECT_EQ(Tree(), std::set<std::string>{kStrayUpper + "/"});
}

TEST_F(QuarvaneProcessTest, MissingCatalogRootIsAnEmptyPass) {
  fs::remove(root_);

  const Outcome outcome = Run();

  EXPECT_EQ(outcome.out, kBanner + kStopped + kStarted + kSucceeded);
  EXPECT_EQ(outcome.net_log, "net stop cryptsvc\nnet start cryptsvc\n");
  EXPECT_FALSE(fs::exists(root_));
}

TEST_F(QuarvaneProcessTest, PrintsNonAsciiPathsAsUtf8InAnyLocale) {
  system_ = temp_.path() / "zo\xc3\xab" / "System32";
  root_ = system_ / "catroot";
  environment_["QUARVANE_SYSTEM_DIR"] = system_.string();
  Folder(kStrayUpper);
  Folder(kStrayUpper + ".old");

  const Outcome outcome = Run();

  EXPECT_EQ(outcome.out, kBanner + kStopped + "Command: " + RenameLine(kStrayUpper) + " failed!\n" +
                             kStarted + kSucceeded);
  EXPECT_NE(outcome.out.find("/zo\xc3\xab/System32\\catroot\\"), std::string::npos);
}

}  // namespace
}  // namespace quarvane

// Faults and hostile input: after each run the whole tree must differ from
// the tree before by the intended renames and nothing else.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "program_sandbox.h"

namespace quarvane {
namespace {

namespace fs = std::filesystem;

const std::string kStrayA = "{AAAAAAAA-0000-0000-0000-00000000000A}";
const std::string kStrayB = "{BBBBBBBB-0000-0000-0000-00000000000B}";
const std::string kStrayC = "{CCCCCCCC-0000-0000-0000-00000000000C}";
const std::string kStrayD = "{DDDDDDDD-0000-0000-0000-00000000000D}";
const std::string kStrayE = "{EEEEEEEE-0000-0000-0000-00000000000E}";
const char kSetpriv[] = "/usr/bin/setpriv";

// `snapshot` with each of `names` (and everything below it) renamed to "<name>.old".
Snapshot WithRenamed(Snapshot snapshot, const std::vector<std::string>& names) {
  for (const std::string& name : names) {
    Snapshot moved;
    for (auto it = snapshot.begin(); it != snapshot.end();) {
      const bool below = it->first == name || it->first.rfind(name + "/", 0) == 0;
      if (!below) {
        ++it;
        continue;
      }
      moved[name + ".old" + it->first.substr(name.size())] = it->second;
      it = snapshot.erase(it);
    }
    snapshot.merge(moved);
  }
  return snapshot;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::string::size_type start = 0, end;
  while ((end = text.find('\n', start)) != std::string::npos) {
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

class FaultTest : public ::testing::Test {
 protected:
  // Runs the program and checks that the catalog folder then differs from
  // what it was by the renames of `renamed` alone.
  Outcome RunExpectingRenames(const std::vector<std::string>& renamed,
                              const std::vector<std::string>& launcher = {}) {
    const Snapshot before = TakeSnapshot(sandbox_.root);
    Outcome outcome = sandbox_.Run(launcher);
    EXPECT_EQ(outcome.exit_status, 0) << outcome.err;
    EXPECT_EQ(TakeSnapshot(sandbox_.root), WithRenamed(before, renamed));
    return outcome;
  }

  // Lets the program run as nobody; returns why it cannot, or "".
  std::string OpenToNobody() {
    if (geteuid() != 0 || access(kSetpriv, X_OK) != 0) {
      return "needs root and setpriv to drop privileges";
    }
    return sandbox_.OpenToAnyone();
  }
  static std::vector<std::string> AsNobody() {
    return {kSetpriv, "--reuid=65534", "--regid=65534", "--clear-groups"};
  }

  ProgramSandbox sandbox_;
};

TEST_F(FaultTest, TakenOldNameIsNeverReplacedNorMerged) {
  sandbox_.Folder(kStrayA);
  sandbox_.Folder(kStrayA + ".old");  // empty: a plain rename would replace it
  sandbox_.Folder(kStrayB);
  sandbox_.Folder(kStrayB + ".old");
  sandbox_.File(kStrayB + ".old/inside", "theirs");
  sandbox_.Folder(kStrayC);
  sandbox_.File(kStrayC + ".old", "a file");
  sandbox_.Folder(kStrayD);
  fs::create_directory(sandbox_.temp.path() / "empty");  // a link can be replaced, unlike a folder
  fs::create_directory_symlink(sandbox_.temp.path() / "empty", sandbox_.root / kStrayE);
  fs::create_symlink("nowhere", sandbox_.root / (kStrayE + ".old"));

  const Outcome outcome = RunExpectingRenames({kStrayD});

  std::vector<std::string> lines = Lines(outcome.out);
  std::sort(lines.begin() + 3, lines.end() - 2);  // the failures come in listing order
  EXPECT_EQ(lines,
            (std::vector<std::string>{Lines(kBanner)[0], Lines(kBanner)[1], Lines(kStopped)[0],
                                      "Command: " + sandbox_.RenameLine(kStrayA) + " failed!",
                                      "Command: " + sandbox_.RenameLine(kStrayB) + " failed!",
                                      "Command: " + sandbox_.RenameLine(kStrayC) + " failed!",
                                      "Command: " + sandbox_.RenameLine(kStrayE) + " failed!",
                                      Lines(kStarted)[0], Lines(kSucceeded)[0]}));
}

TEST_F(FaultTest, CandidateThatCannotBeListedIsLeftAlone) {
  if (const std::string why = OpenToNobody(); !why.empty()) GTEST_SKIP() << why;
  sandbox_.Folder(kStrayA);
  sandbox_.Folder(kStrayB);
  fs::permissions(sandbox_.root, fs::perms::all);
  fs::permissions(sandbox_.root / kStrayA, fs::perms::all);
  fs::permissions(sandbox_.root / kStrayB, fs::perms::owner_all);  // nobody may list it

  const Outcome outcome = RunExpectingRenames({kStrayA}, AsNobody());

  EXPECT_EQ(outcome.out, kCleanPass);
}

TEST_F(FaultTest, CatalogRootThatCannotBeListedIsAnEmptyPass) {
  if (const std::string why = OpenToNobody(); !why.empty()) GTEST_SKIP() << why;
  sandbox_.Folder(kStrayA);
  fs::permissions(sandbox_.root / kStrayA, fs::perms::all);
  fs::permissions(sandbox_.root,
                  fs::perms::owner_all | fs::perms::others_write | fs::perms::others_exec);

  const Outcome outcome = RunExpectingRenames({}, AsNobody());

  EXPECT_EQ(outcome.out, kCleanPass);
  EXPECT_EQ(outcome.net_log, "net stop cryptsvc\nnet start cryptsvc\n");
}

TEST_F(FaultTest, GuidNamedLinksAreJudgedByWhatTheyPointToAndOnlyTheLinkIsRenamed) {
  const fs::path targets = sandbox_.temp.path() / "targets";
  fs::create_directories(targets / "empty");
  fs::create_directories(targets / "full");
  MakeFile(targets / "full" / "catalog.cat");
  fs::create_directory_symlink(targets / "empty", sandbox_.root / kStrayA);
  fs::create_directory_symlink(targets / "full", sandbox_.root / kStrayB);
  fs::create_symlink(targets / "nowhere", sandbox_.root / kStrayC);
  fs::create_symlink(kStrayD, sandbox_.root / kStrayD);  // a loop
  const Snapshot targets_before = TakeSnapshot(targets);

  RunExpectingRenames({kStrayA});

  EXPECT_EQ(TakeSnapshot(targets), targets_before);
}

TEST_F(FaultTest, NamesThatAreNotUtf8NotAsciiOrLongAreKeptAndKeepTheirFolders) {
  sandbox_.SetSystemDirectory(sandbox_.temp.path() / "Win\xed\xb2\x80" / "System32");
  const std::string long_name(255, 'n');
  for (const std::string& odd : {std::string("\xff\xfe"), std::string("zo\xc3\xab"), long_name}) {
    sandbox_.Folder(odd);
    sandbox_.File(odd + "/inside", odd);
  }
  sandbox_.Folder(kStrayA);
  sandbox_.File(kStrayA + "/\x80", "x");
  sandbox_.Folder(kStrayB);
  sandbox_.File(kStrayB + "/\xc3\xab", "x");
  sandbox_.Folder(kStrayC);
  sandbox_.Folder(kStrayC + "/" + long_name);
  sandbox_.Folder(kStrayD);
  sandbox_.Folder(kStrayE);
  sandbox_.File(kStrayE + "/\xc0\xae", "x");  // an overlong ".", which must not read as one

  RunExpectingRenames({kStrayD});
}

TEST_F(FaultTest, NetKilledByASignalIsAFailedStop) {
  sandbox_.Folder(kStrayA);
  std::ofstream(sandbox_.bin / "net") << "#!/bin/sh\nkill -KILL $$\n";

  const Outcome outcome = RunExpectingRenames({});

  EXPECT_EQ(outcome.out, std::string(kBanner) + "Quarvane failed!\n");
}

TEST_F(FaultTest, CatalogRootThatIsAFileIsAnEmptyPass) {
  fs::remove(sandbox_.root);
  std::ofstream(sandbox_.root) << "not a folder";

  const Outcome outcome = sandbox_.Run();

  EXPECT_EQ(outcome.out, kCleanPass);
  EXPECT_EQ(TakeSnapshot(sandbox_.system), (Snapshot{{"catroot", "file:not a folder"}}));
}

TEST_F(FaultTest, CatalogRootThatIsAFifoIsAnEmptyPassAtOnce) {
  fs::remove(sandbox_.root);
  ASSERT_EQ(mkfifo(sandbox_.root.c_str(), 0600), 0);

  const Outcome outcome = sandbox_.Run({"/usr/bin/timeout", "10"});

  EXPECT_EQ(outcome.out, kCleanPass);
}

TEST_F(FaultTest, CatalogRootThatIsALinkIsFollowed) {
  const fs::path real = sandbox_.temp.path() / "real-catroot";
  fs::remove(sandbox_.root);
  fs::create_directories(real / kStrayA);
  fs::create_directories(real / "Catalogs");
  fs::create_directory_symlink(real, sandbox_.root);

  RunExpectingRenames({kStrayA});

  EXPECT_TRUE(fs::is_symlink(sandbox_.root));
}

TEST_F(FaultTest, CatalogRootOfAHundredThousandEntries) {
  for (int i = 0; i < 99'000; ++i) sandbox_.File("file-" + std::to_string(i));
  for (int i = 0; i < 995; ++i) {
    char name[40];
    std::snprintf(name, sizeof name, "{%08X-0000-0000-0000-000000000000}", i);
    sandbox_.File(std::string(name) + "/catalog.cat");
  }
  for (const std::string& stray : {kStrayA, kStrayB, kStrayC, kStrayD}) sandbox_.Folder(stray);
  sandbox_.Folder("{F750E6C3-38EE-11D1-85E5-00C04FC295EE}");

  const Outcome outcome = RunExpectingRenames({kStrayA, kStrayB, kStrayC, kStrayD});

  EXPECT_EQ(outcome.out, kCleanPass);
}

// Every stray is met once, and every listing is closed: the run opens one
// listing for each of 6,000 candidates with at most 256 descriptors open.
TEST_F(FaultTest, ThousandsOfStraysAreEachRenamedOnce) {
  std::vector<std::string> strays;
  for (int i = 0; i < 3000; ++i) {
    char name[40];
    std::snprintf(name, sizeof name, "{%08X-1111-1111-1111-111111111111}", i);
    strays.push_back(name);
    sandbox_.Folder(name);
    std::snprintf(name, sizeof name, "{%08X-2222-2222-2222-222222222222}", i);
    sandbox_.File(std::string(name) + "/catalog.cat");
  }

  const Outcome outcome = RunExpectingRenames(strays, {"/usr/bin/prlimit", "--nofile=256", "--"});

  EXPECT_EQ(outcome.out, kCleanPass);
}

TEST_F(FaultTest, SystemDirectoryOf259CharactersFitsAndLongerOnesFail) {
  const std::string base = sandbox_.temp.path().string() + "/";
  for (std::size_t length : {259u, 260u, 261u}) {
    std::string padding(length - base.size(), 'p');
    for (std::size_t slash = 100; slash < padding.size() - 1; slash += 100) padding[slash] = '/';
    const fs::path system = base + padding;
    ASSERT_EQ(system.string().size(), length);
    sandbox_.SetSystemDirectory(system);
    sandbox_.Folder(kStrayA);

    const Outcome outcome =
        RunExpectingRenames(length == 259 ? std::vector{kStrayA} : std::vector<std::string>{});

    EXPECT_EQ(outcome.out, length == 259 ? kCleanPass : std::string(kBanner) + "Quarvane failed!\n")
        << length;
  }
}

}  // namespace
}  // namespace quarvane

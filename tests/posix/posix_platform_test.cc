// The POSIX stand-in: what it delivers for real names, links and commands.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include "fs/directory_listing.h"
#include "platform/platform.h"
#include "platform/posix/entry_type.h"
#include "platform/posix/name_codec.h"
#include "test_support.h"

namespace quarvane {
namespace {

namespace fs = std::filesystem;

std::string ReadFile(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

// Runs `command_line` through the stand-in interpreter with its standard
// error sent to a file, which `*errors` receives.
int RunCapturingErrors(const std::wstring& command_line, std::string* errors) {
  TempDir temp;
  const fs::path log = temp.path() / "stderr";
  const int saved = dup(STDERR_FILENO);
  const int file = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  dup2(file, STDERR_FILENO);
  close(file);
  const int result = NativePlatform().RunCommand(command_line);
  dup2(saved, STDERR_FILENO);
  close(saved);
  *errors = ReadFile(log);
  return result;
}

class PosixListingTest : public ::testing::Test {
 protected:
  void List() {
    ASSERT_TRUE(ListDirectory(NativePlatform(), FolderText(temp_.path()), files_, folders_));
    files_.sort();
    folders_.sort();
  }

  TempDir temp_;
  NameList files_;
  NameList folders_;
};

TEST_F(PosixListingTest, DeliversEveryNameWhateverItsBytes) {
  fs::create_directory(temp_.path() / "bad\xff\xfe");
  fs::create_directory(temp_.path() / "\xed\xa0\x80surrogate");
  fs::create_directory(temp_.path() / "...");
  MakeFile(temp_.path() / "z.");
  MakeFile(temp_.path() / "zo\xc3\xab");
  MakeFile(temp_.path() / std::string(255, 'n'));

  List();

  EXPECT_EQ(folders_, (NameList{L"...", L"bad\xDCFF\xDCFE", L"\xDCED\xDCA0\xDC80surrogate"}));
  EXPECT_EQ(files_, (NameList{std::wstring(255, L'n'), L"z.", L"zo\u00EB"}));
}

TEST_F(PosixListingTest, ANameThatIsNotUtf8MakesItsFolderNonEmpty) {
  fs::create_directory(temp_.path() / "holder");
  MakeFile(temp_.path() / "holder" / "\x80");

  EXPECT_FALSE(IsDirectoryEmpty(NativePlatform(), FolderText(temp_.path() / "holder")));
}

TEST_F(PosixListingTest, LinksCountAsWhatTheyPointTo) {
  fs::create_directory(temp_.path() / "folder");
  MakeFile(temp_.path() / "file");
  fs::create_directory_symlink("folder", temp_.path() / "to-folder");
  fs::create_symlink("file", temp_.path() / "to-file");
  fs::create_symlink("nowhere", temp_.path() / "dangling");
  fs::create_symlink("loop", temp_.path() / "loop");

  List();

  EXPECT_EQ(folders_, (NameList{L"folder", L"to-folder"}));
  EXPECT_EQ(files_, (NameList{L"dangling", L"file", L"loop", L"to-file"}));
}

// Some file systems give DT_UNKNOWN for every entry: each is then looked up.
TEST_F(PosixListingTest, EntriesOfUnknownTypeAreLookedUp) {
  fs::create_directory(temp_.path() / "folder");
  MakeFile(temp_.path() / "file");
  fs::create_directory_symlink("folder", temp_.path() / "to-folder");
  fs::create_symlink("nowhere", temp_.path() / "dangling");
  const int fd = open(temp_.path().c_str(), O_RDONLY | O_DIRECTORY);
  const struct {
    unsigned char type;
    const char* name;
    bool folder;
  } entries[] = {{DT_UNKNOWN, "folder", true},
                 {DT_UNKNOWN, "file", false},
                 {DT_UNKNOWN, "to-folder", true},
                 {DT_UNKNOWN, "dangling", false}};
  for (const auto& entry : entries) {
    EXPECT_EQ(IsDirectoryEntry(fd, entry.name, entry.type), entry.folder)
        << entry.name << " of type " << int{entry.type};
  }
  close(fd);
}

// The kernel refuses to read on in a folder removed while it was read.
TEST_F(PosixListingTest, AReadErrorPartwayIsAFailedListingNotItsEnd) {
  const fs::path folder = temp_.path() / "going";
  fs::create_directory(folder);
  for (int i = 0; i < 1000; ++i) MakeFile(folder / (std::string(200, 'n') + std::to_string(i)));
  const std::unique_ptr<Listing> listing =
      NativePlatform().OpenListing(FolderText(folder) + L"*.*");
  ASSERT_NE(listing, nullptr);
  FindData entry;
  ASSERT_EQ(listing->FindNext(&entry), FindStep::kEntry);
  fs::remove_all(folder);

  FindStep step;
  while ((step = listing->FindNext(&entry)) == FindStep::kEntry) {
  }
  EXPECT_EQ(step, FindStep::kFailed);
}

// Only the shortest encoding of a Unicode scalar value decodes; every other
// byte is kept as an escaped byte, and every name encodes back to its bytes.
TEST(PosixNameCodecTest, DecodesOnlyShortestScalarEncodingsAndRoundTripsAll) {
  const struct {
    const char* bytes;
    std::wstring text;
  } names[] = {
      {"\x7F", L"\x7F"},
      {"\xC2\x80", L"\u0080"},
      {"\xDF\xBF", L"\u07FF"},
      {"\xE0\xA0\x80", L"\u0800"},
      {"\xED\x9F\xBF", L"\uD7FF"},
      {"\xEE\x80\x80", L"\uE000"},
      {"\xF4\x8F\xBF\xBF", L"\U0010FFFF"},
      {"\xC0\xAE", L"\xDCC0\xDCAE"},                      // an overlong '.'
      {"\xE0\x80\xAE", L"\xDCE0\xDC80\xDCAE"},            // the same in three bytes
      {"\xED\xA0\x80", L"\xDCED\xDCA0\xDC80"},            // a high surrogate
      {"\xED\xB2\x80", L"\xDCED\xDCB2\xDC80"},            // a low one
      {"\xED\xBF\xBF", L"\xDCED\xDCBF\xDCBF"},            // U+DFFF
      {"\xF4\x90\x80\x80", L"\xDCF4\xDC90\xDC80\xDC80"},  // beyond U+10FFFF
      {"\xF8\x90\x80\x80", L"\xDCF8\xDC90\xDC80\xDC80"},  // lead bytes F8 to FF
      {"\xFC\x80\x80\x80", L"\xDCFC\xDC80\xDC80\xDC80"},
      {"\xFF", L"\xDCFF"},
  };
  for (const auto& name : names) {
    std::wstring text;
    std::string bytes;
    DecodeBytes(name.bytes, &text);
    EXPECT_EQ(text, name.text) << name.bytes;
    EXPECT_TRUE(ToCString(text, &bytes));
    EXPECT_EQ(bytes, name.bytes);
  }
}

TEST(PosixSystemDirectoryTest, ComesFromTheEnvironmentAndMustFit) {
  wchar_t buffer[8] = {L'?', L'?', L'?', L'?', L'?', L'?', L'?', L'?'};
  unsetenv("QUARVANE_SYSTEM_DIR");
  EXPECT_EQ(NativePlatform().SystemDirectory(buffer, 8), 0u);
  setenv("QUARVANE_SYSTEM_DIR", "", 1);
  EXPECT_EQ(NativePlatform().SystemDirectory(buffer, 8), 0u);

  setenv("QUARVANE_SYSTEM_DIR", "/abcdefg", 1);  // 8 characters: needs 9
  EXPECT_EQ(NativePlatform().SystemDirectory(buffer, 8), 9u);
  EXPECT_EQ(buffer[0], L'?');

  setenv("QUARVANE_SYSTEM_DIR", "/zo\xc3\xab", 1);
  EXPECT_EQ(NativePlatform().SystemDirectory(buffer, 8), 4u);
  EXPECT_EQ(std::wstring(buffer), L"/zo\u00EB");
  unsetenv("QUARVANE_SYSTEM_DIR");
}

class PosixRenameTest : public ::testing::Test {
 protected:
  // The path as the program builds it: folders joined by backslashes.
  std::wstring Source(const std::string& name) { return FolderText(temp_.path()) + Wide(name); }
  static std::wstring Wide(const std::string& ascii) { return {ascii.begin(), ascii.end()}; }

  TempDir temp_;
  std::string errors_;
};

TEST_F(PosixRenameTest, RenamesWithinTheSameFolderWhateverTheCommandCase) {
  fs::create_directory(temp_.path() / "a");
  fs::create_directory(temp_.path() / "b");
  MakeFile(temp_.path() / "b" / "kept");

  EXPECT_EQ(RunCapturingErrors(L"ren " + Source("a") + L" a.old", &errors_), 0);
  EXPECT_EQ(RunCapturingErrors(L"REN  " + Source("b") + L"\tb.old", &errors_), 0);

  EXPECT_TRUE(fs::is_directory(temp_.path() / "a.old"));
  EXPECT_TRUE(fs::exists(temp_.path() / "b.old" / "kept"));
  EXPECT_FALSE(fs::exists(temp_.path() / "a"));
  EXPECT_EQ(errors_, "");
}

TEST_F(PosixRenameTest, RoundTripsNamesThatAreNotUtf8) {
  const std::string name = "x\xff";
  fs::create_directory(temp_.path() / name);
  NameList files, folders;
  ListDirectory(NativePlatform(), FolderText(temp_.path()), files, folders);
  ASSERT_EQ(folders.size(), 1u);

  EXPECT_EQ(NativePlatform().RunCommand(L"ren " + Source("") + folders.front() + L" " +
                                        folders.front() + L".old"),
            0);

  EXPECT_TRUE(fs::is_directory(temp_.path() / (name + ".old")));
}

TEST_F(PosixRenameTest, NeverReplacesAnExistingEntry) {
  for (const char* existing : {"full.old", "empty.old", "file.old"}) {
    const std::string source(existing, std::string(existing).find('.'));
    fs::create_directory(temp_.path() / source);
    MakeFile(temp_.path() / source / "mine");
    if (source == "file") {
      std::ofstream(temp_.path() / existing) << "keep me";
    } else {
      fs::create_directory(temp_.path() / existing);
      if (source == "full") MakeFile(temp_.path() / existing / "theirs");
    }

    EXPECT_EQ(RunCapturingErrors(L"ren " + Source(source) + L" " + Wide(existing), &errors_), 1);

    EXPECT_EQ(errors_, "A duplicate file name exists, or the file cannot be found.\n");
    EXPECT_TRUE(fs::exists(temp_.path() / source / "mine")) << existing;
  }
  EXPECT_TRUE(fs::exists(temp_.path() / "full.old" / "theirs"));
  EXPECT_TRUE(fs::is_empty(temp_.path() / "empty.old"));
  EXPECT_EQ(ReadFile(temp_.path() / "file.old"), "keep me");
}

TEST_F(PosixRenameTest, RefusesMalformedOrImpossibleRenames) {
  fs::create_directory(temp_.path() / "a");
  const std::wstring a = Source("a");
  struct Case {
    std::wstring line;
    std::string message;
  };
  for (const Case& c : {
           Case{L"ren " + Source("missing") + L" missing.old",
                "The system cannot find the file specified.\n"},
           Case{L"ren " + a + L" sub\\a.old", "The syntax of the command is incorrect.\n"},
           Case{L"ren " + a + L" sub/a.old", "The syntax of the command is incorrect.\n"},
           Case{L"ren " + a + L" ..", "The syntax of the command is incorrect.\n"},
           Case{L"ren " + a, "The syntax of the command is incorrect.\n"},
           Case{L"ren " + a + L" b c", "The syntax of the command is incorrect.\n"},
           Case{L"ren " + a + L" b\xD800", "The syntax of the command is incorrect.\n"},
       }) {
    EXPECT_EQ(RunCapturingErrors(c.line, &errors_), 1) << c.line;
    EXPECT_EQ(errors_, c.message);
  }
  EXPECT_EQ(std::distance(fs::directory_iterator(temp_.path()), fs::directory_iterator()), 1);
  EXPECT_TRUE(fs::is_directory(temp_.path() / "a"));
}

TEST(PosixCommandTest, RunsOtherCommandsFromPathWithTheirWordsAndExitStatus) {
  TempDir temp;
  const fs::path script = temp.path() / "tool";
  std::ofstream(script) << "#!/bin/sh\necho \"$#:$*\" > \"$(dirname \"$0\")/args\"\nexit 7\n";
  fs::permissions(script, fs::perms::owner_all);
  const std::string saved_path = std::getenv("PATH");
  setenv("PATH", (temp.path().string() + ":" + saved_path).c_str(), 1);

  const int result = NativePlatform().RunCommand(L"tool  stop\tcryptsvc ");

  setenv("PATH", saved_path.c_str(), 1);
  EXPECT_EQ(result, 7);
  EXPECT_EQ(ReadFile(temp.path() / "args"), "2:stop cryptsvc\n");
  EXPECT_EQ(NativePlatform().RunCommand(L"true"), 0);
  EXPECT_EQ(NativePlatform().RunCommand(L""), 0);
}

TEST(PosixCommandTest, UnknownCommandGives9009AndTheInterpretersMessage) {
  std::string errors;
  EXPECT_EQ(RunCapturingErrors(L"no-such-command-here stop", &errors), 9009);
  EXPECT_EQ(errors,
            "'no-such-command-here' is not recognized as an internal or external command,\n"
            "operable program or batch file.\n");
}

}  // namespace
}  // namespace quarvane

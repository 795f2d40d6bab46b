// POSIX stand-in for the Windows services the repair uses.
//
// - The system directory is the path in QUARVANE_SYSTEM_DIR.
// - A backslash in a path is a folder separator; "*.*" means every entry.
// - File names are bytes, carried as wide text by posix/name_codec.h so that
//   any name can be listed and handed back to the file system unchanged.
// - The command interpreter knows "ren" and runs anything else from PATH.
// - Console output is UTF-8 whatever the locale.
// - As on Windows, writing to a pipe whose reader has gone fails instead of
//   ending the process, for the program and for the commands it starts.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <cwctype>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"
#include "platform/posix/entry_type.h"
#include "platform/posix/name_codec.h"

extern char** environ;

namespace quarvane {
namespace {

// ---- Paths ---------------------------------------------------------------

// The path the file system knows for a path the program built: backslashes
// become slashes. False when the text cannot name a file.
bool ToNativePath(std::wstring_view path, std::string* native) {
  if (!ToCString(path, native)) return false;
  for (char& c : *native) {
    if (c == '\\') c = '/';
  }
  return true;
}

// ---- Directory listing ---------------------------------------------------

// A buffer that one read of a directory fills with entries.
struct Batch {
  alignas(dirent64) char bytes[32 * 1024];
};

// The buffer of the listing closed last, kept for the next one: the run lists
// one candidate folder after another, and a buffer this size is dear to
// allocate and free each time.
std::unique_ptr<Batch> spare_batch;

// Reads the directory's entries in batches straight from the kernel: one
// open, the reads, one close, and nothing more for an entry whose type the
// directory gives.
class PosixListing : public Listing {
 public:
  explicit PosixListing(int fd)
      : fd_(fd), batch_(spare_batch ? std::move(spare_batch) : std::make_unique<Batch>()) {}
  ~PosixListing() override {
    close(fd_);
    if (!spare_batch) spare_batch = std::move(batch_);
  }
  PosixListing(const PosixListing&) = delete;
  PosixListing& operator=(const PosixListing&) = delete;

  FindStep FindNext(FindData* entry) override {
    if (next_ == end_) {
      const ssize_t read = ReadBatch();
      if (read <= 0) return read == 0 ? FindStep::kFinished : FindStep::kFailed;
      next_ = 0;
      end_ = static_cast<std::size_t>(read);
    }
    const auto* d = reinterpret_cast<const dirent64*>(batch_->bytes + next_);
    next_ += d->d_reclen;
    DecodeBytes(d->d_name, &entry->name);
    entry->attributes = IsDirectoryEntry(fd_, d->d_name, d->d_type) ? kFileAttributeDirectory : 0;
    return FindStep::kEntry;
  }

 private:
  ssize_t ReadBatch() {
    ssize_t read;
    do {
      read = getdents64(fd_, batch_->bytes, sizeof batch_->bytes);
    } while (read < 0 && errno == EINTR);
    return read;
  }

  int fd_;
  std::unique_ptr<Batch> batch_;
  std::size_t next_ = 0;
  std::size_t end_ = 0;
};

constexpr wchar_t kEveryEntry[] = L"*.*";

// ---- Command interpreter -------------------------------------------------

constexpr int kCommandNotFound = 9009;

std::vector<std::wstring> SplitOnBlanks(const std::wstring& line) {
  std::vector<std::wstring> words;
  std::wstring word;
  for (wchar_t c : line) {
    if (c == L' ' || c == L'\t') {
      if (!word.empty()) words.push_back(word);
      word.clear();
    } else {
      word.push_back(c);
    }
  }
  if (!word.empty()) words.push_back(word);
  return words;
}

int Fail(const char* message) {
  std::fprintf(stderr, "%s\n", message);
  return 1;
}

bool HoldsSeparator(const std::wstring& name) {
  return name.find_first_of(L"\\/") != std::wstring::npos;
}

// "ren SOURCE NEWNAME": renames SOURCE to NEWNAME in the same folder, never
// replacing an entry that already has that name.
int RenameBuiltin(const std::vector<std::wstring>& words) {
  constexpr char kSyntaxError[] = "The syntax of the command is incorrect.";
  if (words.size() != 3) return Fail(kSyntaxError);
  const std::wstring& new_name = words[2];
  if (HoldsSeparator(new_name) || new_name == L"." || new_name == L"..") return Fail(kSyntaxError);

  std::string source;
  std::string name;
  if (!ToNativePath(words[1], &source) || !ToNativePath(new_name, &name)) {
    return Fail(kSyntaxError);
  }
  if (source.empty() || source.back() == '/') return Fail(kSyntaxError);
  const std::string target = source.substr(0, source.rfind('/') + 1) + name;

  if (renameat2(AT_FDCWD, source.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0) {
    return 0;
  }
  switch (errno) {
    case ENOENT:
      return Fail("The system cannot find the file specified.");
    case EEXIST:
      return Fail("A duplicate file name exists, or the file cannot be found.");
    default:
      return Fail(std::strerror(errno));
  }
}

int NotRecognized(const std::string& command) {
  std::fprintf(stderr,
               "'%s' is not recognized as an internal or external command,\n"
               "operable program or batch file.\n",
               command.c_str());
  return kCommandNotFound;
}

// Runs the program named by the first word, found on PATH, with the other
// words as its arguments, and returns its exit status.
int RunExternal(const std::vector<std::wstring>& words) {
  std::vector<std::string> arguments(words.size());
  for (std::size_t i = 0; i < words.size(); ++i) {
    if (!ToCString(words[i], &arguments[i])) {
      return NotRecognized(arguments[0]);
    }
  }
  std::vector<char*> argv;
  for (std::string& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);

  pid_t child;
  if (posix_spawnp(&child, argv[0], nullptr, nullptr, argv.data(), environ) != 0) {
    return NotRecognized(arguments[0]);
  }
  int status;
  while (waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) return Fail(std::strerror(errno));
  }
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  return 128 + WTERMSIG(status);
}

wchar_t AsciiLower(wchar_t c) { return c >= L'A' && c <= L'Z' ? c + (L'a' - L'A') : c; }

// ---- The platform --------------------------------------------------------

constexpr char kReplacementCharacter[] = "\xEF\xBF\xBD";

class PosixPlatform : public Platform {
 public:
  // An ignored SIGPIPE stays ignored in the commands started later, so they
  // too see a failed write rather than being killed.
  PosixPlatform() { signal(SIGPIPE, SIG_IGN); }

  unsigned SystemDirectory(wchar_t* buffer, unsigned size) override {
    const char* value = std::getenv("QUARVANE_SYSTEM_DIR");
    if (value == nullptr || *value == '\0') return 0;
    std::wstring path;
    DecodeBytes(value, &path);
    const std::size_t needed = path.size() + 1;
    if (needed > size) return static_cast<unsigned>(needed);
    path.copy(buffer, path.size());
    buffer[path.size()] = L'\0';
    return static_cast<unsigned>(path.size());
  }

  std::unique_ptr<Listing> OpenListing(const std::wstring& pattern) override {
    const std::size_t suffix = std::wcslen(kEveryEntry);
    if (pattern.size() < suffix || pattern.compare(pattern.size() - suffix, suffix, kEveryEntry))
      return nullptr;
    std::string directory;
    const std::wstring_view folder(pattern.data(), pattern.size() - suffix);
    if (!ToNativePath(folder, &directory)) return nullptr;
    if (directory.empty()) directory = ".";
    const int fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return nullptr;
    return std::make_unique<PosixListing>(fd);
  }

  int RunCommand(const std::wstring& command_line) override {
    const std::vector<std::wstring> words = SplitOnBlanks(command_line);
    if (words.empty()) return 0;
    if (EqualIgnoringCase(words[0], L"ren")) return RenameBuiltin(words);
    return RunExternal(words);
  }

  void Print(const std::wstring& text) override {
    std::string bytes;
    for (wchar_t c : text) {
      if (!AppendEncoded(c, &bytes)) bytes += kReplacementCharacter;
    }
    std::fwrite(bytes.data(), 1, bytes.size(), stdout);
    std::fflush(stdout);
  }
};

}  // namespace

Platform& NativePlatform() {
  static PosixPlatform platform;
  return platform;
}

// Folds each character as wcscasecmp does, over the whole text. The program
// never sets a locale, so it runs in the C locale, where towlower changes
// only A to Z among ASCII characters; ASCII is folded here without a call.
bool EqualIgnoringCase(const std::wstring& a, const std::wstring& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const wchar_t x = a[i];
    const wchar_t y = b[i];
    if (x == y) continue;
    const bool ascii = static_cast<char32_t>(x) < 0x80 && static_cast<char32_t>(y) < 0x80;
    if (ascii ? AsciiLower(x) != AsciiLower(y) : std::towlower(x) != std::towlower(y)) {
      return false;
    }
  }
  return true;
}

}  // namespace quarvane

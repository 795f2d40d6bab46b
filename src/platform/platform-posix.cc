// POSIX stand-in for the Windows services the repair uses.
//
// - The system directory is the path in QUARVANE_SYSTEM_DIR.
// - A backslash in a path is a folder separator; "*.*" means every entry.
// - File names are bytes. They become wide text as UTF-8, and every byte that
//   is not part of valid UTF-8 becomes U+DC80 + byte, so that any name can be
//   listed and handed back to the file system unchanged.
// - The command interpreter knows "ren" and runs anything else from PATH.
// - Console output is UTF-8 whatever the locale.
// - As on Windows, writing to a pipe whose reader has gone fails instead of
//   ending the process, for the program and for the commands it starts.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
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

extern char** environ;

namespace quarvane {
namespace {

// ---- Text: wide text <-> bytes -------------------------------------------

constexpr char32_t kEscapedByteBase = 0xDC00;  // U+DC80..U+DCFF hold bytes 0x80..0xFF
constexpr char kReplacementCharacter[] = "\xEF\xBF\xBD";

bool IsContinuationByte(unsigned char b) { return (b & 0xC0) == 0x80; }

// Decodes one UTF-8 sequence at `bytes[*pos]`, advancing `*pos`. Returns false
// for anything that is not the shortest encoding of a Unicode scalar value.
bool DecodeUtf8Sequence(std::string_view bytes, std::size_t* pos, char32_t* code_point) {
  const unsigned char lead = bytes[*pos];
  std::size_t length;
  char32_t value;
  char32_t minimum;
  if (lead < 0x80) {
    length = 1, value = lead, minimum = 0;
  } else if ((lead & 0xE0) == 0xC0) {
    length = 2, value = lead & 0x1F, minimum = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3, value = lead & 0x0F, minimum = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4, value = lead & 0x07, minimum = 0x10000;
  } else {
    return false;
  }
  if (bytes.size() - *pos < length) return false;
  for (std::size_t i = 1; i < length; ++i) {
    const unsigned char b = bytes[*pos + i];
    if (!IsContinuationByte(b)) return false;
    value = (value << 6) | (b & 0x3F);
  }
  const bool is_surrogate = value >= 0xD800 && value <= 0xDFFF;
  if (value < minimum || value > 0x10FFFF || is_surrogate) return false;
  *pos += length;
  *code_point = value;
  return true;
}

// Replaces `*text` with the wide text of `bytes`, reusing its storage. ASCII,
// which is what catalog names are, takes the short path.
void DecodeBytes(std::string_view bytes, std::wstring* text) {
  text->resize(bytes.size());  // never more characters than bytes
  wchar_t* out = text->data();
  std::size_t pos = 0;
  while (pos < bytes.size()) {
    const unsigned char b = bytes[pos];
    char32_t code_point;
    if (b < 0x80) {
      *out++ = b;
      ++pos;
    } else if (DecodeUtf8Sequence(bytes, &pos, &code_point)) {
      *out++ = static_cast<wchar_t>(code_point);
    } else {
      *out++ = static_cast<wchar_t>(kEscapedByteBase + b);
      ++pos;
    }
  }
  text->resize(static_cast<std::size_t>(out - text->data()));
}

void AppendUtf8(char32_t c, std::string* bytes) {
  if (c < 0x80) {
    bytes->push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    bytes->push_back(static_cast<char>(0xC0 | (c >> 6)));
    bytes->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    bytes->push_back(static_cast<char>(0xE0 | (c >> 12)));
    bytes->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    bytes->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    bytes->push_back(static_cast<char>(0xF0 | (c >> 18)));
    bytes->push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    bytes->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    bytes->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

// Appends the bytes that `c` stands for; false when it stands for none (a
// surrogate that holds no byte, or a value beyond Unicode).
bool AppendEncoded(wchar_t c, std::string* bytes) {
  const auto value = static_cast<char32_t>(c);
  if (value >= kEscapedByteBase + 0x80 && value <= kEscapedByteBase + 0xFF) {
    bytes->push_back(static_cast<char>(value - kEscapedByteBase));
    return true;
  }
  if ((value >= 0xD800 && value <= 0xDFFF) || value > 0x10FFFF) return false;
  AppendUtf8(value, bytes);
  return true;
}

// The bytes of `text` as a C string for a system call; false when some
// character has no bytes, or is a zero that would cut the string short. The
// ASCII part, usually all of it, is copied byte for byte.
bool ToCString(std::wstring_view text, std::string* bytes) {
  bytes->resize(text.size());
  std::size_t ascii = 0;
  for (; ascii < text.size(); ++ascii) {
    const auto value = static_cast<char32_t>(text[ascii]);
    if (value == 0 || value >= 0x80) break;
    (*bytes)[ascii] = static_cast<char>(value);
  }
  bytes->resize(ascii);
  for (wchar_t c : text.substr(ascii)) {
    if (c == L'\0' || !AppendEncoded(c, bytes)) return false;
  }
  return true;
}

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
    entry->attributes = IsDirectory(*d) ? kFileAttributeDirectory : 0;
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

  // The entry's own type where the directory gives it; a link counts as what
  // it points to, and one that points nowhere as a file.
  bool IsDirectory(const dirent64& d) const {
    if (d.d_type != DT_LNK && d.d_type != DT_UNKNOWN) return d.d_type == DT_DIR;
    struct stat target;
    return fstatat(fd_, d.d_name, &target, 0) == 0 && S_ISDIR(target.st_mode);
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

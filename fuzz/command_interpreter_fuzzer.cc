// The POSIX stand-in's command interpreter on any line: it gives a result,
// never crashes, and "ren" never replaces an existing entry.
//
// The lines run in a scratch folder that is laid anew for every input, with
// an empty PATH folder so that no program can be found. Lines that could
// reach beyond the scratch folder (a command word with a path, an absolute
// path, a ".." step) are not run.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>

#include "fuzz_support.h"
#include "platform/platform.h"

namespace quarvane {
namespace {

namespace fs = std::filesystem;

struct Scratch {
  fs::path top = fs::temp_directory_path() / ("quarvane-fuzz-" + std::to_string(getpid()));
  fs::path work = top / "work";
  fs::path empty_path = top / "path";
  int null_fd = open("/dev/null", O_WRONLY);

  Scratch() {
    fs::create_directories(empty_path);
    setenv("PATH", empty_path.c_str(), 1);
  }
  ~Scratch() { fs::remove_all(top); }

  // Folders and files whose files each hold their own original path.
  void Lay() {
    fs::remove_all(work);
    for (const char* folder : {"a", "b", "c.old", "e.old", "sub"})
      fs::create_directories(work / folder);
    for (const char* file : {"b/f", "d", "d.old", "e.old/x", "sub/a"})
      std::ofstream(work / file) << file;
  }
};

// Each file's content by count, and the number of entries, under `folder`.
std::pair<std::map<std::string, int>, int> Census(const fs::path& folder) {
  std::map<std::string, int> contents;
  int entries = 0;
  for (const auto& entry : fs::recursive_directory_iterator(folder)) {
    ++entries;
    if (entry.is_regular_file()) {
      std::ifstream file(entry.path());
      std::string content((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
      ++contents[content];
    }
  }
  return {contents, entries};
}

bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

// True when no word reaches outside the working folder and the command word
// names no path.
bool StaysInside(const std::wstring& line) {
  std::size_t word_index = 0;
  std::wstring component;
  bool word_start = true;
  for (std::size_t i = 0; i <= line.size(); ++i) {
    const wchar_t c = i < line.size() ? line[i] : L' ';
    const bool blank = c == L' ' || c == L'\t';
    if (blank || IsSeparator(c)) {
      if (component == L"..") return false;
      component.clear();
    }
    if (blank) {
      if (!word_start) ++word_index;
      word_start = true;
      continue;
    }
    if (IsSeparator(c) && (word_start || word_index == 0)) return false;
    if (!IsSeparator(c)) component.push_back(c);
    word_start = false;
  }
  return true;
}

}  // namespace
}  // namespace quarvane

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace quarvane;
  static Scratch scratch;
  const std::wstring line = WideFromFuzzInput(data, size);
  if (!StaysInside(line)) return 0;

  scratch.Lay();
  const auto before = Census(scratch.work);
  const fs::path caller_folder = fs::current_path();
  fs::current_path(scratch.work);
  const int saved_stderr = dup(STDERR_FILENO);
  dup2(scratch.null_fd, STDERR_FILENO);

  const int result = NativePlatform().RunCommand(line);

  dup2(saved_stderr, STDERR_FILENO);
  close(saved_stderr);
  fs::current_path(caller_folder);
  FuzzCheck(result == 0 || result == 1 || result == 9009,
            "a result: 0, 1, or 9009 for no such program");
  FuzzCheck(Census(scratch.work) == before, "renames lose and replace nothing");
  return 0;
}

// An in-memory platform for tests of the repair's decisions: directories are
// tables of entries, commands give the results a test sets, and everything
// the program does is written to one log in order.
#ifndef QUARVANE_TESTS_FAKE_PLATFORM_H_
#define QUARVANE_TESTS_FAKE_PLATFORM_H_

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace quarvane {

class FakePlatform : public Platform {
 public:
  // What SystemDirectory reports; unset, the query fails.
  std::wstring system_directory;
  // Entries per directory path (ending with a backslash); a directory not in
  // the table cannot be listed.
  std::map<std::wstring, std::vector<FindData>> directories;
  // Directories whose listing breaks off after their entries.
  std::vector<std::wstring> broken_directories;
  // Results of commands; any other command gives 0.
  std::map<std::wstring, int> command_results;
  // "print: <text>", "run: <command>", "list: <pattern>" when a listing
  // opens and "close: <pattern>" when it closes, in order.
  std::vector<std::wstring> log;

  void AddFolder(const std::wstring& parent, const std::wstring& name) {
    directories[parent].push_back({kFileAttributeDirectory, name});
    directories.try_emplace(parent + name + L"\\");
  }
  void AddFile(const std::wstring& parent, const std::wstring& name) {
    directories[parent].push_back({0, name});
  }

  unsigned SystemDirectory(wchar_t* buffer, unsigned size) override {
    if (system_directory.empty()) return 0;
    if (system_directory.size() >= size) return static_cast<unsigned>(system_directory.size() + 1);
    system_directory.copy(buffer, system_directory.size());
    buffer[system_directory.size()] = L'\0';
    return static_cast<unsigned>(system_directory.size());
  }

  std::unique_ptr<Listing> OpenListing(const std::wstring& pattern) override;

  int RunCommand(const std::wstring& command_line) override {
    log.push_back(L"run: " + command_line);
    auto result = command_results.find(command_line);
    return result == command_results.end() ? 0 : result->second;
  }

  void Print(const std::wstring& text) override { log.push_back(L"print: " + text); }

  // The entries of log that begin with `kind` ("print: ", "run: ", "list: "),
  // without that prefix.
  std::vector<std::wstring> Logged(const std::wstring& kind) const {
    std::vector<std::wstring> found;
    for (const std::wstring& line : log) {
      if (line.compare(0, kind.size(), kind) == 0) found.push_back(line.substr(kind.size()));
    }
    return found;
  }
};

// Logs its closing, so that tests see what ran while a listing was open.
class FakeListing : public Listing {
 public:
  FakeListing(std::vector<FindData> entries, bool breaks_off, std::wstring pattern,
              std::vector<std::wstring>* log)
      : entries_(std::move(entries)),
        breaks_off_(breaks_off),
        pattern_(std::move(pattern)),
        log_(log) {}
  ~FakeListing() override { log_->push_back(L"close: " + pattern_); }
  FakeListing(const FakeListing&) = delete;
  FakeListing& operator=(const FakeListing&) = delete;

  FindStep FindNext(FindData* entry) override {
    if (next_ == entries_.size()) return breaks_off_ ? FindStep::kFailed : FindStep::kFinished;
    *entry = entries_[next_++];
    return FindStep::kEntry;
  }

 private:
  std::vector<FindData> entries_;
  bool breaks_off_;
  std::wstring pattern_;
  std::vector<std::wstring>* log_;
  std::size_t next_ = 0;
};

inline std::unique_ptr<Listing> FakePlatform::OpenListing(const std::wstring& pattern) {
  log.push_back(L"list: " + pattern);
  const std::wstring directory = pattern.substr(0, pattern.size() - 3);  // drop "*.*"
  auto found = directories.find(directory);
  if (found == directories.end()) return nullptr;
  std::vector<FindData> entries = {{kFileAttributeDirectory, L"."},
                                   {kFileAttributeDirectory, L".."}};
  entries.insert(entries.end(), found->second.begin(), found->second.end());
  bool breaks_off = false;
  for (const std::wstring& broken : broken_directories) breaks_off |= broken == directory;
  return std::make_unique<FakeListing>(std::move(entries), breaks_off, pattern, &log);
}

}  // namespace quarvane

#endif  // QUARVANE_TESTS_FAKE_PLATFORM_H_

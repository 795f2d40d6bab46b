// The built program run as a user runs it: a system folder with a catalog
// folder in a temporary folder, a stand-in "net" on PATH, and the program's
// output caught in files.
#ifndef QUARVANE_TESTS_PROGRAM_SANDBOX_H_
#define QUARVANE_TESTS_PROGRAM_SANDBOX_H_

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "test_support.h"

namespace quarvane {

// The program's first two lines.
constexpr char kBanner[] =
    "Quarvane.exe will fix an installation error of Vantesquill.\n"
    "Related issue : BUG-76393 and BUG-76439.\n";
// What the stand-in net says for a stop and for a start.
constexpr char kStopped[] = "The cryptsvc service was stopped successfully.\n";
constexpr char kStarted[] = "The cryptsvc service was started successfully.\n";
// The program's closing line.
constexpr char kSucceeded[] = "Quarvane successfully!\n";
// The whole output of a pass that renamed everything it tried to.
inline const std::string kCleanPass = std::string(kBanner) + kStopped + kStarted + kSucceeded;

struct Outcome {
  int exit_status = -1;  // -1 when the program did not exit normally
  std::string out;       // standard output (for a pipe, what was read of it)
  std::string err;       // standard error
  std::string net_log;   // one line per "net" command: "net stop cryptsvc"
};

// Every path below a folder, with its type and content: "dir", "file:<bytes>",
// "link:<target>" or "other". Links are not followed.
using Snapshot = std::map<std::string, std::string>;
Snapshot TakeSnapshot(const std::filesystem::path& folder);

// Where the program's standard output goes.
enum class StandardOutput {
  kFile,                  // a file, read into Outcome::out
  kPipeClosedAfterLine1,  // a pipe whose reader closes after the first line
  kFullDisk,              // /dev/full: every write fails
  kClosed,                // no descriptor at all
};

class ProgramSandbox {
 public:
  ProgramSandbox();

  // Runs the program, after `launcher` when one is given (such as a command
  // that changes the user), with `environment` as its whole environment.
  Outcome Run(const std::vector<std::string>& launcher = {},
              StandardOutput output = StandardOutput::kFile);

  // Lets any user run the program and "net" and reach the catalog folder's
  // parent. Returns why that cannot be, or "" when it can: a folder above the
  // sandbox that other users may not search.
  std::string OpenToAnyone() const;

  // Points the program at another system folder, which it makes.
  void SetSystemDirectory(const std::filesystem::path& system);

  void Folder(const std::string& name) const;
  void File(const std::string& name, const std::string& content = "") const;

  // The rename command the program builds for `name`.
  std::string RenameLine(const std::string& name) const;

  TempDir temp;
  std::filesystem::path bin = temp.path() / "bin";  // the program and "net"
  std::filesystem::path system;
  std::filesystem::path root;  // the catalog folder
  std::map<std::string, std::string> environment;
};

}  // namespace quarvane

#endif  // QUARVANE_TESTS_PROGRAM_SANDBOX_H_

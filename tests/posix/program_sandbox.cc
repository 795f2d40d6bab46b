#include "program_sandbox.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

namespace quarvane {

namespace fs = std::filesystem;

namespace {

std::string ReadFile(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

std::vector<char*> NullTerminated(std::vector<std::string>& texts) {
  std::vector<char*> pointers;
  for (std::string& text : texts) pointers.push_back(text.data());
  pointers.push_back(nullptr);
  return pointers;
}

// Reads `fd` up to and including the first line feed, then closes it.
std::string ReadFirstLineAndClose(int fd) {
  std::string line;
  char c;
  while (line.find('\n') == std::string::npos && read(fd, &c, 1) == 1) line.push_back(c);
  close(fd);
  return line;
}

// Runs argv with envp as its environment, its standard output as `output`
// says and its standard error in `err`; returns its exit status, or -1.
int SpawnAndWait(std::vector<std::string> argv, std::vector<std::string> envp,
                 StandardOutput output, const fs::path& out, const fs::path& err,
                 std::string* read_from_pipe) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  int pipe_ends[2] = {-1, -1};
  switch (output) {
    case StandardOutput::kFile:
      posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                       0644);
      break;
    case StandardOutput::kPipeClosedAfterLine1:
      if (pipe2(pipe_ends, O_CLOEXEC) != 0) return -1;
      posix_spawn_file_actions_adddup2(&actions, pipe_ends[1], 1);
      break;
    case StandardOutput::kFullDisk:
      posix_spawn_file_actions_addopen(&actions, 1, "/dev/full", O_WRONLY, 0);
      break;
    case StandardOutput::kClosed:
      posix_spawn_file_actions_addclose(&actions, 1);
      break;
  }
  posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  std::vector<char*> arguments = NullTerminated(argv);
  std::vector<char*> environment = NullTerminated(envp);
  pid_t child;
  int status = 0;
  const bool spawned = posix_spawn(&child, arguments[0], &actions, nullptr, arguments.data(),
                                   environment.data()) == 0;
  posix_spawn_file_actions_destroy(&actions);
  if (pipe_ends[0] >= 0) {
    close(pipe_ends[1]);
    *read_from_pipe = ReadFirstLineAndClose(pipe_ends[0]);
  }
  if (!spawned || waitpid(child, &status, 0) < 0 || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

std::string Describe(const fs::directory_entry& entry) {
  const fs::file_status status = entry.symlink_status();
  if (fs::is_symlink(status)) return "link:" + fs::read_symlink(entry.path()).string();
  if (fs::is_directory(status)) return "dir";
  if (fs::is_regular_file(status)) return "file:" + ReadFile(entry.path());
  return "other";
}

}  // namespace

namespace {

void AddToSnapshot(const fs::path& top, const fs::path& folder, Snapshot* snapshot) {
  for (const auto& entry : fs::directory_iterator(folder)) {
    const std::string description = Describe(entry);
    (*snapshot)[entry.path().lexically_relative(top).string()] = description;
    if (description == "dir") AddToSnapshot(top, entry.path(), snapshot);
  }
}

}  // namespace

Snapshot TakeSnapshot(const fs::path& folder) {
  Snapshot snapshot;
  AddToSnapshot(folder, folder, &snapshot);
  return snapshot;
}

ProgramSandbox::ProgramSandbox() {
  fs::create_directories(bin);
  // A copy anybody may run, so that the program can also run as another user.
  fs::copy_file(QUARVANE_PROGRAM, bin / "quarvane");
  fs::copy_file(QUARVANE_NET_STAND_IN, bin / "net");
  const fs::path net_log = temp.path() / "net.log";
  MakeFile(net_log);
  using fs::perms;
  fs::permissions(net_log, perms::owner_read | perms::owner_write | perms::group_read |
                               perms::group_write | perms::others_read | perms::others_write);
  environment = {
      {"PATH", bin.string() + ":/usr/bin:/bin"},
      {"NET_LOG", net_log.string()},
      {"LC_ALL", "C"},
  };
  SetSystemDirectory(temp.path() / "Windows" / "System32");
}

std::string ProgramSandbox::OpenToAnyone() const {
  using fs::perms;
  const perms searchable = perms::others_exec | perms::group_exec;
  for (fs::path folder = temp.path().parent_path();; folder = folder.parent_path()) {
    if ((fs::status(folder).permissions() & perms::others_exec) == perms::none) {
      return folder.string() + " may not be searched by other users";
    }
    if (folder == folder.root_path()) break;
  }
  for (fs::path folder = system; folder != temp.path().parent_path();
       folder = folder.parent_path()) {
    fs::permissions(folder, searchable | perms::others_read, fs::perm_options::add);
  }
  fs::permissions(bin, searchable | perms::others_read, fs::perm_options::add);
  for (const char* program : {"quarvane", "net"}) {
    fs::permissions(bin / program, searchable | perms::others_read, fs::perm_options::add);
  }
  return "";
}

void ProgramSandbox::SetSystemDirectory(const fs::path& system_directory) {
  system = system_directory;
  root = system / "catroot";
  fs::create_directories(root);
  environment["QUARVANE_SYSTEM_DIR"] = system.string();
}

Outcome ProgramSandbox::Run(const std::vector<std::string>& launcher, StandardOutput output) {
  std::vector<std::string> argv = launcher;
  argv.push_back((bin / "quarvane").string());
  std::vector<std::string> envp;
  for (const auto& [name, value] : environment) envp.push_back(name + "=" + value);

  const fs::path out = temp.path() / "stdout";
  const fs::path err = temp.path() / "stderr";
  const fs::path net_log = temp.path() / "net.log";
  std::ofstream(net_log, std::ios::trunc).close();
  Outcome outcome;
  std::string read_from_pipe;
  outcome.exit_status = SpawnAndWait(argv, envp, output, out, err, &read_from_pipe);
  outcome.out = output == StandardOutput::kFile ? ReadFile(out) : read_from_pipe;
  outcome.err = ReadFile(err);
  outcome.net_log = ReadFile(net_log);
  return outcome;
}

void ProgramSandbox::Folder(const std::string& name) const { fs::create_directories(root / name); }

void ProgramSandbox::File(const std::string& name, const std::string& content) const {
  std::ofstream(root / name, std::ios::binary) << content;
}

std::string ProgramSandbox::RenameLine(const std::string& name) const {
  return "ren " + system.string() + "\\catroot\\" + name + " " + name + ".old";
}

}  // namespace quarvane

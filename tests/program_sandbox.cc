#include "program_sandbox.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

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

int SpawnAndWait(std::vector<std::string> argv, std::vector<std::string> envp, const fs::path& out,
                 const fs::path& err) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  std::vector<char*> arguments = NullTerminated(argv);
  std::vector<char*> environment = NullTerminated(envp);
  pid_t child;
  int status = 0;
  const bool spawned = posix_spawn(&child, arguments[0], &actions, nullptr, arguments.data(),
                                   environment.data()) == 0;
  posix_spawn_file_actions_destroy(&actions);
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

void ProgramSandbox::SetSystemDirectory(const fs::path& system_directory) {
  system = system_directory;
  root = system / "catroot";
  fs::create_directories(root);
  environment["QUARVANE_SYSTEM_DIR"] = system.string();
}

Outcome ProgramSandbox::Run(const std::vector<std::string>& launcher) {
  std::vector<std::string> argv = launcher;
  argv.push_back((bin / "quarvane").string());
  std::vector<std::string> envp;
  for (const auto& [name, value] : environment) envp.push_back(name + "=" + value);

  const fs::path out = temp.path() / "stdout";
  const fs::path err = temp.path() / "stderr";
  const fs::path net_log = temp.path() / "net.log";
  std::ofstream(net_log, std::ios::trunc).close();
  Outcome outcome;
  outcome.exit_status = SpawnAndWait(argv, envp, out, err);
  outcome.out = ReadFile(out);
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

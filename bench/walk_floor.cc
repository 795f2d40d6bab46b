// The floor under the catalog walk: only the system calls the walk needs, with
// the arguments the walk gives them, and next to no work in between.
//
// It starts "net stop cryptsvc", reads the catalog folder (found as the
// program finds it, through QUARVANE_SYSTEM_DIR) in one pass, opens each
// GUID-shaped, non-reserved folder by its full path, reads it until it shows
// an entry or ends, closes it, and starts "net start cryptsvc". It renames
// nothing: the benchmark's catalog folders hold no stray folder.
#include <dirent.h>
#include <fcntl.h>
#include <spawn.h>
#include <strings.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

extern char** environ;

namespace {

const char* const kReserved[] = {
    "{F750E6C3-38EE-11D1-85E5-00C04FC295EE}", "{573E31F8-AABA-11D0-8CCB-00C04FC295EE}",
    "{5555C2CD-17FB-11D1-85C4-00C04FC295EE}", "{189A3842-3041-11D1-85E1-00C04FC295EE}",
    "{FC451C16-AC75-11D1-B4B8-00C04FB66EA0}", "{00AAC56B-CD44-11D0-8CC2-00C04FC295EE}",
    "{573E31F8-DDBA-11D0-8CCB-00C04FC295EE}", "{127D0A1D-4EF2-11D1-8608-00C04FC295EE}",
};

void Net(const char* verb) {
  char net[] = "net", service[] = "cryptsvc";
  char* argv[] = {net, const_cast<char*>(verb), service, nullptr};
  pid_t child;
  int status;
  if (posix_spawnp(&child, net, nullptr, nullptr, argv, environ) == 0) waitpid(child, &status, 0);
}

bool IsCandidate(const char* name) {
  if (std::strlen(name) != 38) return false;
  for (int i = 0; i < 38; ++i) {
    const char c = name[i];
    const bool punctuation = i == 0 || i == 9 || i == 14 || i == 19 || i == 24 || i == 37;
    const char expected = i == 0 ? '{' : i == 37 ? '}' : '-';
    const bool hex = (c >= '0' && c <= '9') || ((c | 0x20) >= 'a' && (c | 0x20) <= 'f');
    if (punctuation ? c != expected : !hex) return false;
  }
  for (const char* reserved : kReserved) {
    if (strcasecmp(name, reserved) == 0) return false;
  }
  return true;
}

bool IsDot(const char* name) {
  return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

// Reads the folder until it shows an entry other than "." and "..", or ends.
void ReadUntilFirstEntry(const std::string& folder) {
  alignas(dirent64) char batch[32 * 1024];
  const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  for (ssize_t read; (read = getdents64(fd, batch, sizeof batch)) > 0;) {
    for (ssize_t at = 0; at < read;) {
      const auto* d = reinterpret_cast<const dirent64*>(batch + at);
      if (!IsDot(d->d_name)) return static_cast<void>(close(fd));
      at += d->d_reclen;
    }
  }
  close(fd);
}

}  // namespace

int main() {
  const char* system = std::getenv("QUARVANE_SYSTEM_DIR");
  if (system == nullptr) return 1;
  const std::string root = std::string(system) + "/catroot/";
  Net("stop");

  std::vector<std::string> candidates;
  const int fd = open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  alignas(dirent64) char batch[32 * 1024];
  for (ssize_t read; fd >= 0 && (read = getdents64(fd, batch, sizeof batch)) > 0;) {
    for (ssize_t at = 0; at < read;) {
      const auto* d = reinterpret_cast<const dirent64*>(batch + at);
      if (d->d_type == DT_DIR && IsCandidate(d->d_name)) candidates.push_back(d->d_name);
      at += d->d_reclen;
    }
  }
  if (fd >= 0) close(fd);

  for (const std::string& name : candidates) ReadUntilFirstEntry(root + name + "/");
  Net("start");
  return 0;
}

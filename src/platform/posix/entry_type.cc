#include "platform/posix/entry_type.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

namespace quarvane {

bool IsDirectoryEntry(int directory_fd, const char* name, unsigned char type) {
  if (type != DT_LNK && type != DT_UNKNOWN) return type == DT_DIR;
  struct stat target;
  return fstatat(directory_fd, name, &target, 0) == 0 && S_ISDIR(target.st_mode);
}

}  // namespace quarvane

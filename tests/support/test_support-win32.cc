#include <windows.h>

#include <stdexcept>

#include "test_support.h"

namespace quarvane {

void MakeHiddenFile(const std::filesystem::path& path) {
  MakeFile(path);
  if (!SetFileAttributesW(path.wstring().c_str(), FILE_ATTRIBUTE_HIDDEN)) {
    throw std::runtime_error("cannot hide " + path.string());
  }
}

}  // namespace quarvane

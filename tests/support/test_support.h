// Temporary folders for tests that touch the real file system.
#ifndef QUARVANE_TESTS_TEST_SUPPORT_H_
#define QUARVANE_TESTS_TEST_SUPPORT_H_

#include <filesystem>
#include <string>

namespace quarvane {

// A fresh folder in the system's temporary folder, removed with everything in
// it when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// `path` as the program writes a folder: wide text ending with a backslash.
std::wstring FolderText(const std::filesystem::path& path);

// Makes an empty file at `path`.
void MakeFile(const std::filesystem::path& path);

// Makes an empty file at `path` that the platform treats as hidden.
void MakeHiddenFile(const std::filesystem::path& path);

}  // namespace quarvane

#endif  // QUARVANE_TESTS_TEST_SUPPORT_H_

#include "test_support.h"

#include <chrono>
#include <fstream>
#include <random>
#include <stdexcept>

namespace quarvane {

TempDir::TempDir() {
  std::random_device random;
  const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
  for (int attempt = 0; attempt < 100; ++attempt) {
    path_ = std::filesystem::temp_directory_path() /
            ("quarvane-test-" + std::to_string(stamp) + "-" + std::to_string(random()));
    if (std::filesystem::create_directory(path_)) return;
  }
  throw std::runtime_error("cannot make a temporary folder");
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::wstring FolderText(const std::filesystem::path& path) {
  return std::filesystem::path(path).make_preferred().wstring() + L"\\";
}

void MakeFile(const std::filesystem::path& path) {
  std::ofstream file(path);
  if (!file) throw std::runtime_error("cannot make " + path.string());
}

}  // namespace quarvane

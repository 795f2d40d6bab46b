#include "test_support.h"

namespace quarvane {

// A leading dot is what hides a file here; the caller names it so.
void MakeHiddenFile(const std::filesystem::path& path) { MakeFile(path); }

}  // namespace quarvane

#include "platform/platform.h"
#include "repair/repair_run.h"

// The wide-character console entry. Arguments and environment are ignored:
// the program has no options.
int wmain(int, wchar_t**, wchar_t**) {
  return quarvane::RunCatalogRepair(quarvane::NativePlatform());
}

#include "platform/platform.h"
#include "repair/repair_run.h"

// Arguments are ignored: the program has no options.
int main() { return quarvane::RunCatalogRepair(quarvane::NativePlatform()); }

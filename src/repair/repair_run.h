// The whole repair, start to finish: stop the cryptographic service, rename
// every stray catalog folder by appending ".old", start the service again.
#ifndef QUARVANE_REPAIR_REPAIR_RUN_H_
#define QUARVANE_REPAIR_REPAIR_RUN_H_

#include <string>

namespace quarvane {

class Platform;

// Size of the buffer the system directory is read into, in characters.
constexpr unsigned kSystemDirectoryBufferSize = 260;

// True when the folder `name` in `catalog_root` (which ends with a backslash)
// is stray: GUID-shaped, not reserved and empty. The tests run in that order
// and the folder is listed only when its name passes the first two.
bool IsStrayCatalogFolder(Platform& platform, const std::wstring& catalog_root,
                          const std::wstring& name);

// The command that renames the folder `name` in `catalog_root` to "<name>.old".
std::wstring RenameCommand(const std::wstring& catalog_root, const std::wstring& name);

// Runs the repair once and returns the process's exit status, which is always
// 0: failures are reported on the console only.
int RunCatalogRepair(Platform& platform);

}  // namespace quarvane

#endif  // QUARVANE_REPAIR_REPAIR_RUN_H_

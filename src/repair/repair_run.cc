#include "repair/repair_run.h"

#include "fs/directory_listing.h"
#include "platform/platform.h"
#include "repair/catalog_ids.h"

namespace quarvane {
namespace {

constexpr wchar_t kBannerLine[] = L"Quarvane.exe will fix an installation error of Vantesquill.\n";
constexpr wchar_t kRelatedIssuesLine[] = L"Related issue : BUG-76393 and BUG-76439.\n";
constexpr wchar_t kFailedLine[] = L"Quarvane failed!\n";
constexpr wchar_t kSucceededLine[] = L"Quarvane successfully!\n";

constexpr wchar_t kStopCommand[] = L"net stop cryptsvc";
constexpr wchar_t kStartCommand[] = L"net start cryptsvc";
constexpr wchar_t kCatalogFolder[] = L"\\catroot\\";
constexpr wchar_t kRenamedSuffix[] = L".old";

// Reads the system directory and appends the catalog folder to it. Fails when
// the query fails or the path does not fit the buffer.
bool FindCatalogRoot(Platform& platform, std::wstring* catalog_root) {
  wchar_t buffer[kSystemDirectoryBufferSize] = {};
  const unsigned length = platform.SystemDirectory(buffer, kSystemDirectoryBufferSize);
  if (length == 0 || length >= kSystemDirectoryBufferSize) return false;
  *catalog_root = std::wstring(buffer, length) + kCatalogFolder;
  return true;
}

// Runs `command_line` and prints its failure line when it gives a non-zero result.
void RunReportingFailure(Platform& platform, const std::wstring& command_line) {
  if (platform.RunCommand(command_line) != 0) {
    platform.Print(L"Command: " + command_line + L" failed!\n");
  }
}

// Lists the catalog root once, then judges, and renames, each subdirectory
// in the order the listing gave it. The listing is closed before the first
// rename, so renames cannot change which names are visited. A root that
// cannot be listed gives an empty walk; one whose listing broke off gives
// the names read before it did.
void RenameStrayFolders(Platform& platform, const std::wstring& catalog_root) {
  NameList files;
  NameList subdirectories;
  ListDirectory(platform, catalog_root, files, subdirectories);
  for (const std::wstring& name : subdirectories) {
    if (IsStrayCatalogFolder(platform, catalog_root, name)) {
      RunReportingFailure(platform, RenameCommand(catalog_root, name));
    }
  }
}

}  // namespace

bool IsStrayCatalogFolder(Platform& platform, const std::wstring& catalog_root,
                          const std::wstring& name) {
  if (!IsGuidShapedName(name) || IsReservedCatalogId(name)) return false;
  std::wstring folder;
  folder.reserve(catalog_root.size() + name.size() + 1);
  folder.append(catalog_root).append(name).append(L"\\");
  return IsDirectoryEmpty(platform, folder);
}

std::wstring RenameCommand(const std::wstring& catalog_root, const std::wstring& name) {
  return L"ren " + catalog_root + name + L" " + name + kRenamedSuffix;
}

int RunCatalogRepair(Platform& platform) {
  platform.Print(kBannerLine);
  platform.Print(kRelatedIssuesLine);

  std::wstring catalog_root;
  if (!FindCatalogRoot(platform, &catalog_root) || platform.RunCommand(kStopCommand) != 0) {
    platform.Print(kFailedLine);
    return 0;
  }

  RenameStrayFolders(platform, catalog_root);
  RunReportingFailure(platform, kStartCommand);
  platform.Print(kSucceededLine);
  return 0;
}

}  // namespace quarvane

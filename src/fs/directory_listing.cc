#include "fs/directory_listing.h"

#include <memory>

#include "platform/platform.h"

namespace quarvane {
namespace {

bool IsDotEntry(const std::wstring& name) { return name == L"." || name == L".."; }

}  // namespace

bool VisitDirectory(Platform& platform, const std::wstring& directory,
                    const std::function<bool(const FindData&)>& visit) {
  std::unique_ptr<Listing> listing = platform.OpenListing(directory + L"*.*");
  if (!listing) return false;

  FindData entry;
  FindStep step;
  while ((step = listing->FindNext(&entry)) == FindStep::kEntry) {
    if (!IsDotEntry(entry.name) && !visit(entry)) return true;
  }
  return step == FindStep::kFinished;
}

bool ListDirectory(Platform& platform, const std::wstring& directory, NameList& files,
                   NameList& subdirectories) {
  files.clear();
  subdirectories.clear();
  return VisitDirectory(platform, directory, [&](const FindData& entry) {
    NameList& list = (entry.attributes & kFileAttributeDirectory) ? subdirectories : files;
    list.push_back(entry.name);
    return true;
  });
}

bool IsDirectoryEmpty(Platform& platform, const std::wstring& directory) {
  bool empty = true;
  const bool listed = VisitDirectory(platform, directory, [&empty](const FindData&) {
    empty = false;
    return false;
  });
  return listed && empty;
}

}  // namespace quarvane

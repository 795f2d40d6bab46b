#include "fs/directory_listing.h"

#include <memory>

#include "platform/platform.h"

namespace quarvane {
namespace {

bool IsDotEntry(const std::wstring& name) {
  return name[0] == L'.' && (name.size() == 1 || (name.size() == 2 && name[1] == L'.'));
}

// Hands every entry of `directory` but "." and ".." to `visit`, in the order
// the platform delivers them, until `visit` returns false; the listing is
// closed on return. Returns false when the directory could not be listed, or
// the listing broke off before `visit` asked to stop.
template <typename Visit>
bool VisitDirectory(Platform& platform, const std::wstring& directory, Visit visit) {
  std::unique_ptr<Listing> listing = platform.OpenListing(directory + L"*.*");
  if (!listing) return false;

  FindData entry;
  FindStep step;
  while ((step = listing->FindNext(&entry)) == FindStep::kEntry) {
    if (!IsDotEntry(entry.name) && !visit(entry)) return true;
  }
  return step == FindStep::kFinished;
}

}  // namespace

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

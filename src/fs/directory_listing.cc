#include "fs/directory_listing.h"

#include <memory>

#include "platform/platform.h"

namespace quarvane {
namespace {

bool IsDotEntry(const std::wstring& name) { return name == L"." || name == L".."; }

void AddEntry(const FindData& entry, NameList& files, NameList& subdirectories) {
  if (IsDotEntry(entry.name)) return;
  NameList& list = (entry.attributes & kFileAttributeDirectory) ? subdirectories : files;
  list.push_back(entry.name);
}

}  // namespace

bool ListDirectory(Platform& platform, const std::wstring& directory, NameList& files,
                   NameList& subdirectories) {
  files.clear();
  subdirectories.clear();

  std::unique_ptr<Listing> listing = platform.OpenListing(directory + L"*.*");
  if (!listing) return false;

  FindData entry;
  FindStep step;
  while ((step = listing->FindNext(&entry)) == FindStep::kEntry) {
    AddEntry(entry, files, subdirectories);
  }
  return step == FindStep::kFinished;
}

bool IsDirectoryEmpty(Platform& platform, const std::wstring& directory) {
  NameList files;
  NameList subdirectories;
  const bool listed = ListDirectory(platform, directory, files, subdirectories);
  return listed && files.empty() && subdirectories.empty();
}

}  // namespace quarvane

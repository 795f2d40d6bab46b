// Listing one directory into its files and subdirectories, and telling
// whether a directory is empty.
#ifndef QUARVANE_FS_DIRECTORY_LISTING_H_
#define QUARVANE_FS_DIRECTORY_LISTING_H_

#include <functional>
#include <list>
#include <string>

namespace quarvane {

class Platform;
struct FindData;

// Names in the order in which they were added.
using NameList = std::list<std::wstring>;

// Hands every entry of `directory` but "." and ".." to `visit`, in the order
// the platform delivers them, until `visit` returns false. `directory` must
// end with a backslash. Returns false when the directory could not be
// listed, or the listing broke off before `visit` asked to stop.
bool VisitDirectory(Platform& platform, const std::wstring& directory,
                    const std::function<bool(const FindData&)>& visit);

// Replaces the contents of `files` and `subdirectories` with the names of the
// entries of `directory`, in the order the platform delivers them, leaving
// out "." and "..". `directory` must end with a backslash. Returns false when
// the directory could not be listed, or not completely.
bool ListDirectory(Platform& platform, const std::wstring& directory, NameList& files,
                   NameList& subdirectories);

// True only when `directory` (ending with a backslash) could be listed and
// holds nothing but "." and "..". A directory that cannot be listed is not
// known to be empty. Reading stops at the first other entry.
bool IsDirectoryEmpty(Platform& platform, const std::wstring& directory);

}  // namespace quarvane

#endif  // QUARVANE_FS_DIRECTORY_LISTING_H_

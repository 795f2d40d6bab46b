// Listing one directory into its files and subdirectories, and telling
// whether a directory is empty.
#ifndef QUARVANE_FS_DIRECTORY_LISTING_H_
#define QUARVANE_FS_DIRECTORY_LISTING_H_

#include <list>
#include <string>

namespace quarvane {

class Platform;

// Names in the order in which they were added.
using NameList = std::list<std::wstring>;

// Replaces the contents of `files` and `subdirectories` with the names of the
// entries of `directory`, in the order the platform delivers them, leaving
// out "." and "..". `directory` must end with a backslash. The listing is
// closed before this returns. Returns false when the directory could not be
// listed, or not completely; the lists then hold what was read.
bool ListDirectory(Platform& platform, const std::wstring& directory, NameList& files,
                   NameList& subdirectories);

// True only when `directory` (ending with a backslash) could be listed and
// holds nothing but "." and "..". A directory that cannot be listed is not
// known to be empty. Reading stops at the first other entry.
bool IsDirectoryEmpty(Platform& platform, const std::wstring& directory);

}  // namespace quarvane

#endif  // QUARVANE_FS_DIRECTORY_LISTING_H_

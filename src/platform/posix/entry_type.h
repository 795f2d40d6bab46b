// How the POSIX stand-in tells a folder from a file in a directory listing.
#ifndef QUARVANE_PLATFORM_POSIX_ENTRY_TYPE_H_
#define QUARVANE_PLATFORM_POSIX_ENTRY_TYPE_H_

namespace quarvane {

// Whether the entry `name` of the open directory `directory_fd`, of the type
// `type` the directory gave for it (a DT_ value), is a folder. The type is
// taken as given, except that a link counts as what it points to (one that
// points nowhere as a file) and an entry of unknown type, which some file
// systems give for every entry, is looked up.
bool IsDirectoryEntry(int directory_fd, const char* name, unsigned char type);

}  // namespace quarvane

#endif  // QUARVANE_PLATFORM_POSIX_ENTRY_TYPE_H_

// The few operating-system services the repair needs, behind one interface.
//
// The rules (src/repair, src/fs) reach the system only through `Platform`. The
// build picks one implementation: win32/platform-win32.cc calls the Windows API and
// the C runtime directly; posix/platform-posix.cc is a small stand-in that behaves
// the same way on Linux so that every rule runs and is tested natively. Tests
// may substitute their own `Platform`.
#ifndef QUARVANE_PLATFORM_PLATFORM_H_
#define QUARVANE_PLATFORM_PLATFORM_H_

#include <cstdint>
#include <memory>
#include <string>

namespace quarvane {

// Attribute bit that marks a directory in a listing entry.
constexpr std::uint32_t kFileAttributeDirectory = 0x10;

// One entry of a directory listing: its attribute bits and its (long) name.
struct FindData {
  std::uint32_t attributes = 0;
  std::wstring name;
};

// What one step of a listing produced.
enum class FindStep {
  kEntry,     // an entry was placed in the record
  kFinished,  // the listing is complete
  kFailed,    // the listing broke off before it was complete
};

// A directory listing in progress, which delivers every entry, "." and ".."
// included, one at a time; the listing is closed when this is destroyed.
class Listing {
 public:
  virtual ~Listing() = default;
  // Places the next entry in `entry`.
  virtual FindStep FindNext(FindData* entry) = 0;
};

class Platform {
 public:
  virtual ~Platform() = default;

  // Writes the system directory's path and a terminating zero into `buffer`
  // of `size` characters, returning its length. Returns 0 on failure, and the
  // size needed (terminator included, so at least `size`) when it does not
  // fit, in which case nothing is written.
  virtual unsigned SystemDirectory(wchar_t* buffer, unsigned size) = 0;

  // Starts listing every entry of the directory that `pattern` names: the
  // directory's path, ending with a backslash, followed by "*.*". Returns null
  // when the directory cannot be listed.
  virtual std::unique_ptr<Listing> OpenListing(const std::wstring& pattern) = 0;

  // Hands one command line to the command interpreter and waits for it to
  // finish. Returns its exit status; anything but 0 is a failure.
  virtual int RunCommand(const std::wstring& command_line) = 0;

  // Writes `text` to standard output and flushes it, so that it comes before
  // anything a command started afterwards writes.
  virtual void Print(const std::wstring& text) = 0;
};

// The platform the program runs on.
Platform& NativePlatform();

// True when two texts are equal but for case, as the platform's runtime
// compares them; texts of different lengths are never equal, so a text
// holding a zero character does not compare equal to its beginning.
bool EqualIgnoringCase(const std::wstring& a, const std::wstring& b);

}  // namespace quarvane

#endif  // QUARVANE_PLATFORM_PLATFORM_H_

// How the POSIX stand-in turns file names, which are bytes, into wide text
// and back. Names are read as UTF-8; every byte that is not part of the
// shortest UTF-8 encoding of a Unicode scalar value becomes U+DC80 + byte, so
// that any name can be listed and handed back to the file system unchanged.
#ifndef QUARVANE_PLATFORM_POSIX_NAME_CODEC_H_
#define QUARVANE_PLATFORM_POSIX_NAME_CODEC_H_

#include <string>
#include <string_view>

namespace quarvane {

// Replaces `*text` with the wide text of `bytes`, reusing its storage.
void DecodeBytes(std::string_view bytes, std::wstring* text);

// Appends the bytes that `c` stands for; false when it stands for none (a
// surrogate that holds no byte, or a value beyond Unicode).
bool AppendEncoded(wchar_t c, std::string* bytes);

// The bytes of `text` as a C string for a system call; false when some
// character has no bytes, or is a zero that would cut the string short.
bool ToCString(std::wstring_view text, std::string* bytes);

}  // namespace quarvane

#endif  // QUARVANE_PLATFORM_POSIX_NAME_CODEC_H_

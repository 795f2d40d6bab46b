// Shared by the fuzzers: wide text from fuzz input, and a check that stops
// the run with a message when a property does not hold.
#ifndef QUARVANE_FUZZ_FUZZ_SUPPORT_H_
#define QUARVANE_FUZZ_FUZZ_SUPPORT_H_

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace quarvane {

// Bytes below 0x80 are themselves, so that seeds read as text; 0x80..0xEF
// stand for U+FF00..U+FF6F (fullwidth forms, which hold look-alike digits and
// letters); 0xF0..0xFF take three more bytes as any 28-bit value, which
// reaches lone surrogates and values beyond Unicode.
inline std::wstring WideFromFuzzInput(const std::uint8_t* data, std::size_t size) {
  std::wstring text;
  for (std::size_t i = 0; i < size; ++i) {
    const std::uint8_t b = data[i];
    if (b < 0x80) {
      text.push_back(static_cast<wchar_t>(b));
    } else if (b < 0xF0 || size - i < 4) {
      text.push_back(static_cast<wchar_t>(0xFF00 + (b & 0x7F)));
    } else {
      const std::uint32_t value =
          (std::uint32_t{b & 0x0Fu} << 24) | (data[i + 1] << 16) | (data[i + 2] << 8) | data[i + 3];
      text.push_back(static_cast<wchar_t>(value));
      i += 3;
    }
  }
  return text;
}

inline void FuzzCheck(bool holds, const char* property) {
  if (holds) return;
  std::fprintf(stderr, "property violated: %s\n", property);
  std::abort();
}

}  // namespace quarvane

#endif  // QUARVANE_FUZZ_FUZZ_SUPPORT_H_

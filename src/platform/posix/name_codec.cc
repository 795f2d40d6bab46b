#include "platform/posix/name_codec.h"

namespace quarvane {
namespace {

constexpr char32_t kEscapedByteBase = 0xDC00;  // U+DC80..U+DCFF hold bytes 0x80..0xFF

bool IsContinuationByte(unsigned char b) { return (b & 0xC0) == 0x80; }

// Decodes one UTF-8 sequence at `bytes[*pos]`, advancing `*pos`. Returns false
// for anything that is not the shortest encoding of a Unicode scalar value.
bool DecodeUtf8Sequence(std::string_view bytes, std::size_t* pos, char32_t* code_point) {
  const unsigned char lead = bytes[*pos];
  std::size_t length;
  char32_t value;
  char32_t minimum;
  if (lead < 0x80) {
    length = 1, value = lead, minimum = 0;
  } else if ((lead & 0xE0) == 0xC0) {
    length = 2, value = lead & 0x1F, minimum = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3, value = lead & 0x0F, minimum = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4, value = lead & 0x07, minimum = 0x10000;
  } else {
    return false;
  }
  if (bytes.size() - *pos < length) return false;
  for (std::size_t i = 1; i < length; ++i) {
    const unsigned char b = bytes[*pos + i];
    if (!IsContinuationByte(b)) return false;
    value = (value << 6) | (b & 0x3F);
  }
  const bool is_surrogate = value >= 0xD800 && value <= 0xDFFF;
  if (value < minimum || value > 0x10FFFF || is_surrogate) return false;
  *pos += length;
  *code_point = value;
  return true;
}

void AppendUtf8(char32_t c, std::string* bytes) {
  if (c < 0x80) {
    bytes->push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    bytes->push_back(static_cast<char>(0xC0 | (c >> 6)));
    bytes->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    bytes->push_back(static_cast<char>(0xE0 | (c >> 12)));
    bytes->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    bytes->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    bytes->push_back(static_cast<char>(0xF0 | (c >> 18)));
    bytes->push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    bytes->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    bytes->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

}  // namespace

// ASCII, which is what catalog names are, takes the short path.
void DecodeBytes(std::string_view bytes, std::wstring* text) {
  text->resize(bytes.size());  // never more characters than bytes
  wchar_t* out = text->data();
  std::size_t pos = 0;
  while (pos < bytes.size()) {
    const unsigned char b = bytes[pos];
    char32_t code_point;
    if (b < 0x80) {
      *out++ = b;
      ++pos;
    } else if (DecodeUtf8Sequence(bytes, &pos, &code_point)) {
      *out++ = static_cast<wchar_t>(code_point);
    } else {
      *out++ = static_cast<wchar_t>(kEscapedByteBase + b);
      ++pos;
    }
  }
  text->resize(static_cast<std::size_t>(out - text->data()));
}

bool AppendEncoded(wchar_t c, std::string* bytes) {
  const auto value = static_cast<char32_t>(c);
  if (value >= kEscapedByteBase + 0x80 && value <= kEscapedByteBase + 0xFF) {
    bytes->push_back(static_cast<char>(value - kEscapedByteBase));
    return true;
  }
  if ((value >= 0xD800 && value <= 0xDFFF) || value > 0x10FFFF) return false;
  AppendUtf8(value, bytes);
  return true;
}

// The ASCII part, usually all of it, is copied byte for byte.
bool ToCString(std::wstring_view text, std::string* bytes) {
  bytes->resize(text.size());
  std::size_t ascii = 0;
  for (; ascii < text.size(); ++ascii) {
    const auto value = static_cast<char32_t>(text[ascii]);
    if (value == 0 || value >= 0x80) break;
    (*bytes)[ascii] = static_cast<char>(value);
  }
  bytes->resize(ascii);
  for (wchar_t c : text.substr(ascii)) {
    if (c == L'\0' || !AppendEncoded(c, bytes)) return false;
  }
  return true;
}

}  // namespace quarvane

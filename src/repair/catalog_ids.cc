#include "repair/catalog_ids.h"

#include <array>
#include <cwctype>
#include <iomanip>
#include <iterator>
#include <sstream>
#include <vector>

#include "platform/platform.h"

namespace quarvane {
namespace {

// Catalog and trust-verification identifiers that belong to Windows itself.
constexpr GUID kReservedCatalogIds[] = {
    {0xF750E6C3, 0x38EE, 0x11D1, {0x85, 0xE5, 0x00, 0xC0, 0x4F, 0xC2, 0x95, 0xEE}},
    {0x573E31F8, 0xAABA, 0x11D0, {0x8C, 0xCB, 0x00, 0xC0, 0x4F, 0xC2, 0x95, 0xEE}},
    {0x5555C2CD, 0x17FB, 0x11D1, {0x85, 0xC4, 0x00, 0xC0, 0x4F, 0xC2, 0x95, 0xEE}},
    {0x189A3842, 0x3041, 0x11D1, {0x85, 0xE1, 0x00, 0xC0, 0x4F, 0xC2, 0x95, 0xEE}},
    {0xFC451C16, 0xAC75, 0x11D1, {0xB4, 0xB8, 0x00, 0xC0, 0x4F, 0xB6, 0x6E, 0xA0}},
    {0x00AAC56B, 0xCD44, 0x11D0, {0x8C, 0xC2, 0x00, 0xC0, 0x4F, 0xC2, 0x95, 0xEE}},
    {0x573E31F8, 0xDDBA, 0x11D0, {0x8C, 0xCB, 0x00, 0xC0, 0x4F, 0xC2, 0x95, 0xEE}},
    {0x127D0A1D, 0x4EF2, 0x11D1, {0x86, 0x08, 0x00, 0xC0, 0x4F, 0xC2, 0x95, 0xEE}},
};

// The shape every catalog folder name has; only its punctuation is compared.
constexpr wchar_t kGuidTemplate[] = L"{F750E6C3-38EE-11D1-85E5-00C04FC295EE}";
constexpr std::size_t kGuidTextLength = std::size(kGuidTemplate) - 1;

bool IsGuidPunctuation(wchar_t c) { return c == L'{' || c == L'-' || c == L'}'; }

// ASCII characters that every runtime's iswxdigit accepts: 0-9, A-F, a-f.
constexpr std::array<bool, 0x80> kAsciiHexDigits = [] {
  std::array<bool, 0x80> table{};
  for (const char* digit = "0123456789ABCDEFabcdef"; *digit; ++digit) table[*digit] = true;
  return table;
}();

// The runtime's iswxdigit, answered without a call for ASCII.
bool IsHexDigit(wchar_t c) {
  const auto code = static_cast<std::uint32_t>(c);
  return code < kAsciiHexDigits.size() ? kAsciiHexDigits[code] : std::iswxdigit(c) != 0;
}

}  // namespace

std::wstring FormatGuid(const GUID& guid) {
  std::wostringstream text;
  text << std::hex << std::uppercase << std::setfill(L'0');
  // Bytes go through unsigned int so they print as numbers, not characters.
  auto byte = [&text](std::uint8_t b) { text << std::setw(2) << static_cast<unsigned>(b); };

  text << L'{' << std::setw(8) << guid.data1;
  text << L'-' << std::setw(4) << guid.data2;
  text << L'-' << std::setw(4) << guid.data3;
  text << L'-';
  byte(guid.data4[0]);
  byte(guid.data4[1]);
  text << L'-';
  for (int i = 2; i < 8; ++i) byte(guid.data4[i]);
  text << L'}';
  return text.str();
}

bool IsGuidShapedName(const std::wstring& name) {
  if (name.size() != kGuidTextLength) return false;
  for (std::size_t i = 0; i < kGuidTextLength; ++i) {
    const wchar_t expected = kGuidTemplate[i];
    const bool fits = IsGuidPunctuation(expected) ? name[i] == expected : IsHexDigit(name[i]);
    if (!fits) return false;
  }
  return true;
}

bool IsReservedCatalogId(const std::wstring& name) {
  // Formatted once: a large catalog folder asks this of every GUID-shaped name.
  static const std::vector<std::wstring> reserved_texts = [] {
    std::vector<std::wstring> texts;
    for (const GUID& reserved : kReservedCatalogIds) texts.push_back(FormatGuid(reserved));
    return texts;
  }();
  for (const std::wstring& reserved : reserved_texts) {
    if (EqualIgnoringCase(reserved, name)) return true;
  }
  return false;
}

}  // namespace quarvane

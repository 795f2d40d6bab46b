// The name rules against a plain statement of what they mean.
#include <algorithm>
#include <cstdint>
#include <string>

#include "fuzz_support.h"
#include "repair/catalog_ids.h"

namespace quarvane {
namespace {

const wchar_t* const kReservedTexts[] = {
    L"{F750E6C3-38EE-11D1-85E5-00C04FC295EE}", L"{573E31F8-AABA-11D0-8CCB-00C04FC295EE}",
    L"{5555C2CD-17FB-11D1-85C4-00C04FC295EE}", L"{189A3842-3041-11D1-85E1-00C04FC295EE}",
    L"{FC451C16-AC75-11D1-B4B8-00C04FB66EA0}", L"{00AAC56B-CD44-11D0-8CC2-00C04FC295EE}",
    L"{573E31F8-DDBA-11D0-8CCB-00C04FC295EE}", L"{127D0A1D-4EF2-11D1-8608-00C04FC295EE}",
};

bool IsAsciiHexDigit(wchar_t c) {
  return (c >= L'0' && c <= L'9') || (c >= L'A' && c <= L'F') || (c >= L'a' && c <= L'f');
}

// A braced GUID: 38 characters, punctuation in its places, ASCII hex elsewhere.
bool HasGuidShape(const std::wstring& name) {
  if (name.size() != 38) return false;
  for (std::size_t i = 0; i < name.size(); ++i) {
    const wchar_t expected = i == 0                                      ? L'{'
                             : i == 37                                   ? L'}'
                             : (i == 9 || i == 14 || i == 19 || i == 24) ? L'-'
                                                                         : 0;
    if (expected ? name[i] != expected : !IsAsciiHexDigit(name[i])) return false;
  }
  return true;
}

std::wstring WithAsciiCase(std::wstring text, bool upper) {
  for (wchar_t& c : text) {
    if (upper && c >= L'a' && c <= L'z') c = static_cast<wchar_t>(c - 32);
    if (!upper && c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c + 32);
  }
  return text;
}

bool IsReservedText(const std::wstring& name) {
  const std::wstring upper = WithAsciiCase(name, true);
  return std::any_of(std::begin(kReservedTexts), std::end(kReservedTexts),
                     [&](const wchar_t* text) { return upper == text; });
}

}  // namespace
}  // namespace quarvane

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace quarvane;
  const std::wstring name = WideFromFuzzInput(data, size);
  const bool shaped = IsGuidShapedName(name);
  const bool reserved = IsReservedCatalogId(name);

  FuzzCheck(shaped == HasGuidShape(name), "GUID-shaped exactly for the braced ASCII hex form");
  FuzzCheck(reserved == IsReservedText(name), "reserved exactly for the eight identifiers");
  FuzzCheck(!reserved || shaped, "a reserved name is GUID-shaped");
  for (bool upper : {true, false}) {
    const std::wstring other_case = WithAsciiCase(name, upper);
    FuzzCheck(IsGuidShapedName(other_case) == shaped, "shape ignores case");
    FuzzCheck(IsReservedCatalogId(other_case) == reserved, "reserved ignores case");
  }
  return 0;
}

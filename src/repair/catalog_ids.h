// Name rules for the folders under the catalog root: which names have the
// shape of a braced GUID, and which name one of the identifiers that Windows
// itself keeps there.
#ifndef QUARVANE_REPAIR_CATALOG_IDS_H_
#define QUARVANE_REPAIR_CATALOG_IDS_H_

#include <cstdint>
#include <string>

namespace quarvane {

struct GUID {
  std::uint32_t data1;
  std::uint16_t data2;
  std::uint16_t data3;
  std::uint8_t data4[8];
};

// The identifier's canonical text, e.g. "{00AAC56B-CD44-11D0-8CC2-00C04FC295EE}".
std::wstring FormatGuid(const GUID& guid);

// True when `name` is a braced GUID: 38 characters, braces and hyphens in
// their places and hexadecimal digits of either case everywhere else.
bool IsGuidShapedName(const std::wstring& name);

// True when `name` is, ignoring case, one of the identifiers that Windows
// uses for its own catalogs.
bool IsReservedCatalogId(const std::wstring& name);

}  // namespace quarvane

#endif  // QUARVANE_REPAIR_CATALOG_IDS_H_

#include "repair/catalog_ids.h"

#include <gtest/gtest.h>

#include <cwctype>
#include <string>

namespace quarvane {
namespace {

// The identifiers Windows keeps in its catalog folder.
const wchar_t* const kReservedNames[] = {
    L"{F750E6C3-38EE-11D1-85E5-00C04FC295EE}", L"{573E31F8-AABA-11D0-8CCB-00C04FC295EE}",
    L"{5555C2CD-17FB-11D1-85C4-00C04FC295EE}", L"{189A3842-3041-11D1-85E1-00C04FC295EE}",
    L"{FC451C16-AC75-11D1-B4B8-00C04FB66EA0}", L"{00AAC56B-CD44-11D0-8CC2-00C04FC295EE}",
    L"{573E31F8-DDBA-11D0-8CCB-00C04FC295EE}", L"{127D0A1D-4EF2-11D1-8608-00C04FC295EE}",
};

std::wstring Lowered(std::wstring text) {
  for (wchar_t& c : text) {
    if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
  }
  return text;
}

TEST(FormatGuidTest, WritesUpperCaseHexWithLeadingZeros) {
  EXPECT_EQ(
      FormatGuid({0x00AAC56B, 0xCD44, 0x11D0, {0x8C, 0xC2, 0x00, 0xC0, 0x4F, 0xC2, 0x95, 0xEE}}),
      L"{00AAC56B-CD44-11D0-8CC2-00C04FC295EE}");
  EXPECT_EQ(
      FormatGuid({0xFC451C16, 0xAC75, 0x11D1, {0xB4, 0xB8, 0x00, 0xC0, 0x4F, 0xB6, 0x6E, 0xA0}}),
      L"{FC451C16-AC75-11D1-B4B8-00C04FB66EA0}");
}

TEST(FormatGuidTest, PadsEveryFieldAndPrintsBytesAsNumbers) {
  EXPECT_EQ(FormatGuid({0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}}),
            L"{00000000-0000-0000-0000-000000000000}");
  EXPECT_EQ(FormatGuid({0xFFFFFFFF, 0xFFFF, 0xFFFF, {0xFF, 0x80, 0x7F, 1, 0x0A, 0x41, 0x20, 0x09}}),
            L"{FFFFFFFF-FFFF-FFFF-FF80-7F010A412009}");
}

TEST(IsGuidShapedNameTest, AcceptsBracedHexOfEitherCase) {
  for (const wchar_t* name :
       {L"{01234567-89AB-CDEF-0123-456789ABCDEF}", L"{01234567-89ab-cdef-0123-456789abcdef}",
        L"{aBcDeF01-2345-6789-AbCd-eF0123456789}", L"{00000000-0000-0000-0000-000000000000}"}) {
    EXPECT_TRUE(IsGuidShapedName(name)) << name;
  }
}

TEST(IsGuidShapedNameTest, RejectsEverythingElse) {
  for (const wchar_t* name : {
           L"",
           L"{01234567-89AB-CDEF-0123-456789ABCDE}",    // 37 characters
           L"{01234567-89AB-CDEF-0123-456789ABCDEF0}",  // 39 characters
           L"{01234567-89AB-CDEF-0123-456789ABCDEF}.old",
           L"{01234567-89AB-CDEF-0123-456789ABCDEG}",  // not a hex digit
           L"{0123456G-89AB-CDEF-0123-456789ABCDEF}",
           L"(01234567-89AB-CDEF-0123-456789ABCDEF)",  // not braces
           L"{01234567-89AB-CDEF-0123-456789ABCDEF)",
           L"[01234567-89AB-CDEF-0123-456789ABCDEF}",  // only the opening brace wrong
           L"001234567-89AB-CDEF-0123-456789ABCDEF}",
           L"{0123456-789AB-CDEF-0123-456789ABCDEF}",  // hyphen one place early
           L"{01234567-89ABC-DEF-0123-456789ABCDEF}",  // hyphen one place late
           L"{01234567-89AB-CDEF-01234-56789ABCDEF}", L"{01234567 89AB CDEF 0123 456789ABCDEF}",
           L"01234567-89AB-CDEF-0123-456789ABCDEF00",
           L"{01234567-89AB-CDEF-0123-456789ABCDE\u00C9}",  // not a hex digit anywhere
       }) {
    EXPECT_FALSE(IsGuidShapedName(name)) << name;
  }
}

// A digit place takes what the C runtime's iswxdigit takes. Outside ASCII that
// is the runtime's decision: Windows's takes fullwidth hex digits, glibc's
// does not.
TEST(IsGuidShapedNameTest, DigitPlacesAgreeWithTheRuntime) {
  std::wstring name = L"{01234567-89AB-CDEF-0123-456789ABCDEF}";
  for (wchar_t digit = 1; digit < 0xFFFF; ++digit) {
    name[1] = digit;
    ASSERT_EQ(IsGuidShapedName(name), std::iswxdigit(digit) != 0) << static_cast<int>(digit);
  }
}

TEST(CatalogIdsTest, EmbeddedNulEndsNothingEarly) {
  std::wstring name = L"{01234567-89AB-CDEF-0123-456789ABCDEF}";
  name[5] = L'\0';
  EXPECT_FALSE(IsGuidShapedName(name));
  EXPECT_FALSE(IsReservedCatalogId(std::wstring(L"{F750E6C3-38EE-11D1-85E5-00C04FC295EE}\0x", 40)));
}

TEST(IsReservedCatalogIdTest, KnowsEveryReservedIdentifierInEitherCase) {
  for (const wchar_t* name : kReservedNames) {
    EXPECT_TRUE(IsGuidShapedName(name)) << name;
    EXPECT_TRUE(IsReservedCatalogId(name)) << name;
    EXPECT_TRUE(IsReservedCatalogId(Lowered(name))) << name;
  }
}

TEST(IsReservedCatalogIdTest, RejectsNamesThatOnlyResembleOne) {
  for (const wchar_t* name : {
           L"{F750E6C3-38EE-11D1-85E5-00C04FC295EF}",  // last digit differs
           L"{0AAC56B-CD44-11D0-8CC2-00C04FC295EE}",   // leading zero dropped
           L"{F750E6C3-38EE-11D1-85E5-00C04FC295EE}.old",
           L"F750E6C3-38EE-11D1-85E5-00C04FC295EE",
           L"{F750E6C3-38EE-11D1-85E5-00C04FC295EE} ",
           L"{12345678-1234-1234-1234-123456789ABC}",
           L"",
       }) {
    EXPECT_FALSE(IsReservedCatalogId(name)) << name;
  }
}

}  // namespace
}  // namespace quarvane

// Quarvane.exe's version record and manifest, read as Windows reads them.
#include <windows.h>
// initguid.h first: xmllite.h then defines IID_IXmlReader here, since MinGW
// has no import library for xmllite.dll.
#include <initguid.h>
#include <shlwapi.h>
#include <xmllite.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// Quarvane.exe is built into the same folder as this test.
std::wstring ProgramPath() {
  wchar_t path[MAX_PATH];
  const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  const std::wstring self(path, length);
  return self.substr(0, self.find_last_of(L'\\') + 1) + L"Quarvane.exe";
}

class VersionRecordTest : public ::testing::Test {
 protected:
  void SetUp() override {
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(ProgramPath().c_str(), &ignored);
    ASSERT_NE(size, 0u);
    record_.resize(size);
    ASSERT_TRUE(GetFileVersionInfoW(ProgramPath().c_str(), 0, size, record_.data()));
  }

  const void* Query(const std::wstring& key, UINT* length) {
    void* value = nullptr;
    return VerQueryValueW(record_.data(), key.c_str(), &value, length) ? value : nullptr;
  }

  std::wstring Text(const wchar_t* name) {
    UINT length = 0;
    const auto* text = static_cast<const wchar_t*>(
        Query(std::wstring(L"\\StringFileInfo\\040904b0\\") + name, &length));
    return text ? std::wstring(text) : L"<missing>";
  }

  std::vector<char> record_;
};

TEST_F(VersionRecordTest, FixedPartNamesVersionOneZeroZeroOneOfAnApplicationFor32BitWindows) {
  UINT length = 0;
  const auto* fixed = static_cast<const VS_FIXEDFILEINFO*>(Query(L"\\", &length));
  ASSERT_NE(fixed, nullptr);
  ASSERT_GE(length, sizeof(VS_FIXEDFILEINFO));
  EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
  EXPECT_EQ(fixed->dwFileVersionMS, 0x00010000u);
  EXPECT_EQ(fixed->dwFileVersionLS, 0x00000001u);
  EXPECT_EQ(fixed->dwProductVersionMS, 0x00010000u);
  EXPECT_EQ(fixed->dwProductVersionLS, 0x00000001u);
  EXPECT_EQ(fixed->dwFileOS, static_cast<DWORD>(VOS__WINDOWS32));
  EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_APP));
  EXPECT_EQ(fixed->dwFileFlagsMask, static_cast<DWORD>(VS_FFI_FILEFLAGSMASK));
  EXPECT_EQ(fixed->dwFileFlags & fixed->dwFileFlagsMask, 0u);
}

TEST_F(VersionRecordTest, StringTableIsUsEnglishUnicode) {
  UINT length = 0;
  const auto* translation = static_cast<const WORD*>(Query(L"\\VarFileInfo\\Translation", &length));
  ASSERT_NE(translation, nullptr);
  ASSERT_EQ(length, 4u);
  EXPECT_EQ(translation[0], 0x409);
  EXPECT_EQ(translation[1], 1200);
}

TEST_F(VersionRecordTest, StringTableHoldsEveryValue) {
  EXPECT_EQ(Text(L"FileVersion"), L"1, 0, 0, 1");
  EXPECT_EQ(Text(L"ProductVersion"), L"1, 0, 0, 1");
  EXPECT_EQ(Text(L"FileDescription"), L"Quarvane Application");
  EXPECT_EQ(Text(L"ProductName"), L" Quarvane Application");
  EXPECT_EQ(Text(L"InternalName"), L"Quarvane");
  EXPECT_EQ(Text(L"OriginalFilename"), L"Quarvane.exe");
}

// Read as Windows reads it when it starts the program: an activation context
// made from resource 1 of type RT_MANIFEST, which fails for a manifest that is
// not valid and holds no run level for one that is misplaced.
TEST(ManifestTest, IsResourceOneAndRequiresAnAdministrator) {
  const std::wstring program = ProgramPath();
  ACTCTXW request = {};
  request.cbSize = sizeof(request);
  request.dwFlags = ACTCTX_FLAG_RESOURCE_NAME_VALID;
  request.lpSource = program.c_str();
  request.lpResourceName = MAKEINTRESOURCEW(1);
  HANDLE context = CreateActCtxW(&request);
  ASSERT_NE(context, INVALID_HANDLE_VALUE) << "error " << GetLastError();

  ACTIVATION_CONTEXT_RUN_LEVEL_INFORMATION run_level = {};
  const BOOL queried = QueryActCtxW(0, context, nullptr, RunlevelInformationInActivationContext,
                                    &run_level, sizeof(run_level), nullptr);
  ReleaseActCtx(context);
  ASSERT_TRUE(queried) << "error " << GetLastError();
  EXPECT_EQ(run_level.RunLevel, ACTCTX_RUN_LEVEL_REQUIRE_ADMIN);
  EXPECT_EQ(run_level.UiAccess, 0u);
}

// Resource 1 of type RT_MANIFEST, as Quarvane.exe holds it.
std::string ManifestResource() {
  HMODULE program = LoadLibraryExW(ProgramPath().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  if (program == nullptr) return {};
  HRSRC found = FindResourceW(program, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));  // RT_MANIFEST
  HGLOBAL loaded = found ? LoadResource(program, found) : nullptr;
  std::string text;
  if (loaded)
    text.assign(static_cast<const char*>(LockResource(loaded)), SizeofResource(program, found));
  FreeLibrary(program);
  return text;
}

// Each element of `xml`, one a line, indented by its depth, as "namespace name",
// read by XmlLite, Windows' own XML reader.
std::wstring ElementsWithNamespaces(const std::string& xml) {
  using CreateReader = HRESULT(WINAPI*)(REFIID, void**, IMalloc*);
  HMODULE xmllite = LoadLibraryW(L"xmllite.dll");
  const auto create = reinterpret_cast<CreateReader>(
      reinterpret_cast<void*>(GetProcAddress(xmllite, "CreateXmlReader")));
  IXmlReader* reader = nullptr;
  if (!create || FAILED(create(IID_IXmlReader, reinterpret_cast<void**>(&reader), nullptr)))
    return L"<no XML reader>";
  IStream* stream = SHCreateMemStream(reinterpret_cast<const BYTE*>(xml.data()), xml.size());
  std::wstring elements;
  XmlNodeType type;
  if (stream && SUCCEEDED(reader->SetInput(stream))) {
    while (reader->Read(&type) == S_OK) {
      if (type != XmlNodeType_Element) continue;
      const wchar_t* uri = nullptr;
      const wchar_t* name = nullptr;
      UINT depth = 0;
      reader->GetNamespaceUri(&uri, nullptr);
      reader->GetLocalName(&name, nullptr);
      reader->GetDepth(&depth);
      elements += std::wstring(2 * depth, L' ') + uri + L" " + name + L"\n";
    }
  }
  reader->Release();
  if (stream) stream->Release();
  return elements;
}

// The manifest's elements where trustInfo and all it holds are in `ns`.
std::wstring ManifestWithTrustInfoIn(const std::wstring& ns) {
  return L"urn:schemas-microsoft-com:asm.v1 assembly\n  " + ns + L" trustInfo\n" + L"    " + ns +
         L" security\n" + L"      " + ns + L" requestedPrivileges\n" + L"        " + ns +
         L" requestedExecutionLevel\n";
}

// What Windows' manifest schema asks of the elements the run level is read
// from: trustInfo, with all it holds, in the asm.v3 namespace (or asm.v2),
// right under the assembly element of asm.v1. Wine reads the run level from
// a trustInfo of another namespace too, so the test above cannot tell.
TEST(ManifestTest, TrustInfoIsInTheNamespaceWindowsReadsItFrom) {
  const std::wstring elements = ElementsWithNamespaces(ManifestResource());
  EXPECT_TRUE(elements == ManifestWithTrustInfoIn(L"urn:schemas-microsoft-com:asm.v3") ||
              elements == ManifestWithTrustInfoIn(L"urn:schemas-microsoft-com:asm.v2"))
      << elements;
}

}  // namespace

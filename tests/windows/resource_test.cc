// Quarvane.exe's version record and manifest, read as Windows reads them.
#include <windows.h>

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

}  // namespace

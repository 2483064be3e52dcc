// zorvel.dll carries a version resource with the project's version, so that
// Windows tools show what it is; it sits beside the string table of socket
// error texts without displacing it. The version macros of zorvel.h are the
// same numbers.
#include <gtest/gtest.h>
#include <stdio.h>

#include <string>
#include <vector>

#include "test_util.h"
// After windows.h (from test_util.h).
#include <winver.h>
#include <zorvel.h>

namespace {

class VersionInfo : public ::testing::Test {
 protected:
  void SetUp() override {
    // Nothing in this program calls into the DLL, so load it by name: the
    // copy beside the program is the one the build made.
    module_ = LoadLibraryA("zorvel.dll");
    ASSERT_NE(module_, nullptr);
    char path[MAX_PATH];
    DWORD length = GetModuleFileNameA(module_, path, sizeof path);
    ASSERT_GT(length, 0u);
    ASSERT_LT(length, sizeof path);
    DWORD ignored = 0;
    DWORD size = GetFileVersionInfoSizeA(path, &ignored);
    ASSERT_GT(size, 0u) << "no version resource in " << path;
    info_.resize(size);
    ASSERT_TRUE(GetFileVersionInfoA(path, 0, size, info_.data()));
  }
  void TearDown() override {
    if (module_) FreeLibrary(module_);
  }

  // A value of the string table named by the resource's first translation;
  // empty when there is none.
  std::string string_value(const char* name) {
    struct Translation {
      WORD language, code_page;
    }* translation = nullptr;
    UINT size = 0;
    if (!VerQueryValueA(info_.data(), "\\VarFileInfo\\Translation",
                        reinterpret_cast<void**>(&translation), &size) ||
        size < sizeof *translation)
      return "";
    char key[128];
    snprintf(key, sizeof key, "\\StringFileInfo\\%04X%04X\\%s",
             translation->language, translation->code_page, name);
    char* value = nullptr;
    if (!VerQueryValueA(info_.data(), key, reinterpret_cast<void**>(&value),
                        &size) ||
        !value)
      return "";
    return std::string(value);
  }

  HMODULE module_ = nullptr;
  std::vector<char> info_;
};

}  // namespace

TEST_F(VersionInfo, FixedPartHoldsTheProjectVersion) {
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT size = 0;
  ASSERT_TRUE(VerQueryValueA(info_.data(), "\\",
                             reinterpret_cast<void**>(&fixed), &size));
  ASSERT_GE(size, sizeof *fixed);
  EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
  const DWORD high = (ZORVEL_EXPECTED_MAJOR << 16) | ZORVEL_EXPECTED_MINOR;
  const DWORD low = (ZORVEL_EXPECTED_PATCH << 16) | ZORVEL_EXPECTED_TWEAK;
  EXPECT_EQ(fixed->dwFileVersionMS, high);
  EXPECT_EQ(fixed->dwFileVersionLS, low);
  EXPECT_EQ(fixed->dwProductVersionMS, high);
  EXPECT_EQ(fixed->dwProductVersionLS, low);
  EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_DLL));
}

// The header a host compiles against names the DLL it gets.
TEST_F(VersionInfo, HeaderMacrosEqualTheResource) {
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT size = 0;
  ASSERT_TRUE(VerQueryValueA(info_.data(), "\\",
                             reinterpret_cast<void**>(&fixed), &size));
  ASSERT_GE(size, sizeof *fixed);
  EXPECT_EQ(HIWORD(fixed->dwFileVersionMS), ZORVEL_VERSION_MAJOR);
  EXPECT_EQ(LOWORD(fixed->dwFileVersionMS), ZORVEL_VERSION_MINOR);
  EXPECT_EQ(HIWORD(fixed->dwFileVersionLS), ZORVEL_VERSION_PATCH);
  char text[32];
  snprintf(text, sizeof text, "%d.%d.%d", ZORVEL_VERSION_MAJOR,
           ZORVEL_VERSION_MINOR, ZORVEL_VERSION_PATCH);
  EXPECT_EQ(string_value("ProductVersion"), text);
}

TEST_F(VersionInfo, StringsNameTheDllAndItsVersion) {
  const struct {
    const char* name;
    const char* expected;
  } cases[] = {
      {"OriginalFilename", "zorvel.dll"},
      {"InternalName", "zorvel"},
      {"ProductName", "zorvel"},
      {"FileVersion", ZORVEL_EXPECTED_VERSION},
      {"ProductVersion", ZORVEL_EXPECTED_VERSION},
  };
  for (const auto& c : cases)
    EXPECT_EQ(string_value(c.name), c.expected) << c.name;
  EXPECT_NE(string_value("FileDescription").find("zorvel"), std::string::npos);
}

TEST_F(VersionInfo, StringTableStillLoadsFromTheDll) {
  char text[64];
  int length = LoadStringA(module_, 10061, text, sizeof text);
  EXPECT_EQ(std::string(text, static_cast<size_t>(length > 0 ? length : 0)),
            "[10061] Connection refused");
}

// The DLL's export table holds exactly the library's names, each bound by
// GetProcAddress, and the import library links every one of them.
#include <gtest/gtest.h>
#include <zorvel.h>

#include <algorithm>
#include <set>
#include <string>

#include "test_util.h"

static const std::set<std::string> kExpected = {
    "event",
    "devent",
    "warning",
    "error",
    "oserrori",
    "socerrori",
    "SetDebugLevel",
    "getsmark",
    "util_set_mark",
    "setbanner",
    "place",
    "seterror",
    "kxraise",
    "kxraisec",
    "kxraiseos",
    "kxraisesoc",
    "util_init",
    "seh_translator",
    "util_set_dump",
#if defined(_WIN64)
    // No stdcall decoration on x64.
    "show_message",
    "ExcFilter",
    "ExcFilterI",
#else
    "_show_message@4", "_ExcFilter@4",   "_ExcFilterI@4",
#endif
};

static std::set<std::string> export_names(HMODULE module) {
  const BYTE* base = reinterpret_cast<const BYTE*>(module);
  auto dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  auto nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  const IMAGE_DATA_DIRECTORY& dir =
      nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
  auto exports = reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(
      base + dir.VirtualAddress);
  auto names = reinterpret_cast<const DWORD*>(base + exports->AddressOfNames);
  std::set<std::string> result;
  for (DWORD i = 0; i < exports->NumberOfNames; ++i)
    result.insert(reinterpret_cast<const char*>(base + names[i]));
  return result;
}

TEST(Exports, TableHoldsExactlyTheLibraryNames) {
  HMODULE module = GetModuleHandleA("zorvel.dll");
  ASSERT_NE(module, nullptr);
  EXPECT_EQ(export_names(module), kExpected);
}

TEST(Exports, EveryNameBindsWithGetProcAddress) {
  HMODULE module = LoadLibraryA("zorvel.dll");
  ASSERT_NE(module, nullptr);
  for (const std::string& name : kExpected)
    EXPECT_NE(GetProcAddress(module, name.c_str()), nullptr) << name;
  FreeLibrary(module);
}

#if defined(_WIN64)
static const char kShowMessage[] = "show_message";
#else
static const char kShowMessage[] = "_show_message@4";
#endif

TEST(Exports, ImportLibraryResolvesToTheSameFunctions) {
  HMODULE module = GetModuleHandleA("zorvel.dll");
  ASSERT_NE(module, nullptr);
  EXPECT_EQ(reinterpret_cast<void*>(&getsmark),
            reinterpret_cast<void*>(GetProcAddress(module, "getsmark")));
  EXPECT_EQ(reinterpret_cast<void*>(&show_message),
            reinterpret_cast<void*>(GetProcAddress(module, kShowMessage)));
  EXPECT_EQ(reinterpret_cast<void*>(&SetDebugLevel),
            reinterpret_cast<void*>(GetProcAddress(module, "SetDebugLevel")));
  EXPECT_EQ(reinterpret_cast<void*>(&util_set_dump),
            reinterpret_cast<void*>(GetProcAddress(module, "util_set_dump")));
}

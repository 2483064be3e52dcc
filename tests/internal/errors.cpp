// Descriptions of OS and socket error codes, the socket error texts, and how
// a system text is trimmed. The trimming cases need texts the system does not
// have, so those tests give the library a stand-in for FormatMessageA through
// this program's import table.
#include <gtest/gtest.h>
#include <string.h>

#include <string>

#include "errors_util.h"
#include "import_util.h"
#include "zorvel_int.h"

namespace {

// ------------------------------------------------------------ stand-in

struct FormatCall {
  DWORD flags, id, language, size;
  const void* source;
  va_list* args;
};

const char* g_fake_text;  // null: the call fails
FormatCall g_last_call;
int g_calls;

DWORD WINAPI fake_format_message(DWORD flags, LPCVOID source, DWORD id,
                                 DWORD language, LPSTR buffer, DWORD size,
                                 va_list* args) {
  g_last_call = {flags, id, language, size, source, args};
  ++g_calls;
  if (!g_fake_text) {
    // A failing call may still have written into the buffer.
    strncpy(buffer, "junk", size);
    SetLastError(ERROR_MR_MID_NOT_FOUND);
    return 0;
  }
  DWORD n = (DWORD)strlen(g_fake_text);
  if (n >= size) n = size - 1;
  memcpy(buffer, g_fake_text, n);
  buffer[n] = 0;
  return n;
}

// Points this program's import of FormatMessageA at the stand-in while it
// lives. The library's objects are linked into this program, so they call
// through the same import.
class FakeFormatMessage {
 public:
  explicit FakeFormatMessage(const char* text) {
    g_fake_text = text;
    g_calls = 0;
    real_ = iu::patch_import("kernel32.dll", "FormatMessageA",
                             (void*)&fake_format_message);
  }
  ~FakeFormatMessage() {
    if (real_) iu::patch_import("kernel32.dll", "FormatMessageA", real_);
  }
  bool active() const { return real_ != NULL; }

 private:
  void* real_;
};

const DWORD kAppBit = 0x20000000;

}  // namespace

// ------------------------------------------------------------ os_error_text

TEST(OsErrorText, SystemTextLosesItsLineBreakAndKeepsItsFullStop) {
  std::string text = os_error_text(ERROR_FILE_NOT_FOUND);
  ASSERT_FALSE(text.empty());
  EXPECT_EQ(eu::system_text(ERROR_FILE_NOT_FOUND), text);
}

// The system's text for ERROR_BAD_EXE_FORMAT holds an insert; it comes with
// the marker instead of failing into "No description.".
TEST(OsErrorText, TextWithAnInsertKeepsItsMarker) {
  EXPECT_STREQ("Bad EXE format for %1.", os_error_text(ERROR_BAD_EXE_FORMAT));
  std::string message;
  try {
    place("C:\\x\\w", 3);
    SetLastError(ERROR_BAD_EXE_FORMAT);
    kxraiseos("load");
  } catch (const COSError& e) {
    message = e.message;
  }
  EXPECT_EQ("(w at 3): load OS error description is 'Bad EXE format for %1.'.",
            message);
}

TEST(OsErrorText, SocketCodesFallBackToTheLibrarysTexts) {
  struct Row {
    DWORD code;
    const char* table_text;
  } rows[] = {{10061, "[10061] Connection refused"},
              {10000, "[0] No Error"},
              {10048, "[10048] Address already in use"}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.code);
    std::string system = eu::system_text(row.code);
    EXPECT_EQ(system.empty() ? row.table_text : system,
              os_error_text(row.code));
  }
}

TEST(OsErrorText, UnknownCodeGivesNoDescription) {
  const char* text = os_error_text(5 | kAppBit);
  EXPECT_STREQ("No description.", text);
  EXPECT_NE(ctx_place()->description, text);
}

TEST(OsErrorText, EachCallOverwritesTheThreadsField) {
  const char* first = os_error_text(ERROR_FILE_NOT_FOUND);
  std::string first_text = first;
  const char* second = os_error_text(10061);
  EXPECT_EQ(first, second);
  EXPECT_EQ(ctx_place()->description, second);
  EXPECT_NE(first_text, std::string(first));
}

TEST(OsErrorText, TrimmingRuleAndFallbacks) {
  struct Row {
    const char* name;
    const char* system;  // null: no system text
    DWORD code;
    const char* result;
  } rows[] = {
      {"full stop kept", "Done.\r\n", 1, "Done."},
      {"closing parenthesis kept", "Bad thing (see log)\r\n", 1,
       "Bad thing (see log)"},
      {"hyphen dropped", "Try again -\r\n", 1, "Try again"},
      {"comma dropped", "first, second,\r\n", 1, "first, second"},
      {"punctuation below the full stop dropped", "Stop! (*+\t\r\n", 1, "Stop"},
      {"slash kept", "path/\r\n", 1, "path/"},
      {"byte above 0x7F kept", "Caf\xe9 \r\n", 1, "Caf\xe9"},
      {"inner line breaks stay", "one.\r\ntwo\r\n", 1, "one.\r\ntwo"},
      {"blanks only, table text", " \r\n \r\n", 10061,
       "[10061] Connection refused"},
      {"blanks only, nothing known", " \r\n", 5 | kAppBit, "No description."},
      {"no system text, table text", NULL, 10061, "[10061] Connection refused"},
      {"no system text, base number", NULL, 10000, "[0] No Error"},
      {"no system text, nothing known", NULL, 2, "No description."},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    FakeFormatMessage fake(row.system);
    ASSERT_TRUE(fake.active());
    std::string text = os_error_text(row.code);
    EXPECT_EQ(row.result, text);
    ASSERT_EQ(1, g_calls);
    EXPECT_EQ(0x1200u, g_last_call.flags);
    EXPECT_EQ(nullptr, g_last_call.source);
    EXPECT_EQ(row.code, g_last_call.id);
    EXPECT_EQ(0u, g_last_call.language);
    EXPECT_EQ(300u, g_last_call.size);
    EXPECT_EQ(nullptr, g_last_call.args);
  }
}

TEST(OsErrorText, DescriptionStaysWithin299Characters) {
  std::string longest(400, 'd');
  FakeFormatMessage fake(longest.c_str());
  ASSERT_TRUE(fake.active());
  EXPECT_EQ(std::string(299, 'd'), os_error_text(1));
}

// ------------------------------------------------------------ kxraiseos

TEST(KxraiseosDescription, TrimmedLeftUncutOrEmpty) {
  struct Row {
    const char* name;
    const char* system;
    const char* message;
  } rows[] = {
      {"trimmed", "Broken pipe -\r\n",
       "(w at 3): send OS error description is 'Broken pipe'."},
      {"parenthesis kept", "Failed (code)\r\n",
       "(w at 3): send OS error description is 'Failed (code)'."},
      // Without a qualifying character the text stays as it came.
      {"left uncut", " \r\n",
       "(w at 3): send OS error description is ' \r\n'."},
      {"no system text", NULL, "(w at 3): send OS error description is ''."},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    FakeFormatMessage fake(row.system);
    ASSERT_TRUE(fake.active());
    place("C:\\x\\w", 3);
    std::string message;
    try {
      SetLastError(10061);
      kxraiseos("send");
    } catch (const COSError& e) {
      message = e.message;
      EXPECT_EQ(0u, e.code);
    }
    EXPECT_EQ(row.message, message);
    EXPECT_EQ(10061u, g_last_call.id);
    EXPECT_EQ(0x1200u, g_last_call.flags);
    EXPECT_EQ(4096u, g_last_call.size);
  }
}

// ------------------------------------------------------------ resource_text

TEST(ResourceText, SmallBufferGetsACutText) {
  char buffer[8];
  memset(buffer, 'z', sizeof buffer);
  EXPECT_EQ(7, resource_text(10061, buffer, sizeof buffer));
  EXPECT_STREQ("[10061]", buffer);
}

TEST(ResourceText, IdWithoutTextGivesAnEmptyBuffer) {
  for (DWORD id : {0u, 2u, 10001u, 12345u}) {
    SCOPED_TRACE(id);
    char buffer[64] = "old";
    EXPECT_EQ(0, resource_text(id, buffer, sizeof buffer));
    EXPECT_STREQ("", buffer);
  }
}

TEST(ResourceText, TableHoldsTheFiftyOneSocketTexts) {
  int count = 0;
  for (DWORD id = 9000; id < 12000; ++id) {
    char buffer[100];
    int n = resource_text(id, buffer, sizeof buffer);
    if (n == 0) continue;
    ++count;
    SCOPED_TRACE(id);
    EXPECT_EQ((int)strlen(buffer), n);
    std::string prefix = id == 10000 ? "[0] " : "[" + std::to_string(id) + "] ";
    EXPECT_EQ(prefix, std::string(buffer).substr(0, prefix.size()));
    char last = buffer[n - 1];
    EXPECT_TRUE(last != '.' && last != '\n' && last != ' ');
  }
  EXPECT_EQ(51, count);

  char buffer[100];
  resource_text(11003, buffer, sizeof buffer);
  EXPECT_STREQ("[11003] Non-Recoverable errors: FORMERR, REFUSED, NOTIMP",
               buffer);
  resource_text(10059, buffer, sizeof buffer);
  EXPECT_STREQ("[10059] Too many references, can't splice", buffer);
}

TEST(ResourceText, UsesTheLowSixteenBitsOfTheCode) {
  char buffer[64];
  EXPECT_EQ(26, resource_text(0x10000 + 10061, buffer, sizeof buffer));
  EXPECT_STREQ("[10061] Connection refused", buffer);
}

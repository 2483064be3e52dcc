// Tables of the pure text routines' rules, shared by the tests under Wine
// (tests/internal), the native unit tests (tests/native) and the fuzz
// targets' seed corpus (fuzz/). Plain data: no Windows types.
#ifndef ZORVEL_TEXT_CASES_H
#define ZORVEL_TEXT_CASES_H

#include <stdio.h>
#include <string.h>

#include <ostream>
#include <string>

namespace tc {

const char kUntouched[] = "~~~~~~~~~~";

// One destination of every kind, set to values no conversion here stores.
struct Dest {
  char text[64];
  int d = -777;
  short h = -777;
  char c = '~';
  double f = -777.0;
  Dest() {
    memset(text, 0, sizeof text);
    strcpy(text, kUntouched);
  }
  void* pointer(char kind) {
    switch (kind) {
      case 's':
        return text;
      case 'd':
        return &d;
      case 'h':
        return &h;
      case 'c':
        return &c;
      case 'f':
        return &f;
      default:
        return nullptr;  // '-': a null destination
    }
  }
  // What the destination holds, "~" when untouched.
  std::string shown(char kind) const {
    char out[80];
    switch (kind) {
      case 's':
        return strcmp(text, kUntouched) ? text : "~";
      case 'd':
        snprintf(out, sizeof out, "%d", d);
        return d == -777 ? "~" : out;
      case 'h':
        snprintf(out, sizeof out, "%d", h);
        return h == -777 ? "~" : out;
      case 'c':
        snprintf(out, sizeof out, "%d", c);
        return c == '~' ? "~" : out;
      case 'f':
        snprintf(out, sizeof out, "%.10g", f);
        return f == -777 ? "~" : out;
      default:
        return "";
    }
  }
};

// scan: destinations by kind ('s', 'd', 'h', 'c', 'f'; '-' passes null) and
// what each shows afterwards ("~" when untouched).
struct ScanCase {
  const char* src;
  const char* fmt;
  const char* kinds;  // destination kinds in order; '-' passes null
  const char* expected[3];
};

const ScanCase kScanCases[] = {
    // The documented examples.
    {"rotate = events.log,3", "%s=%s", "ss", {"rotate ", " events.log,3"}},
    {"a=b=c", "%s=%s", "ss", {"a", "b=c"}},
    {"justakey", "%s=%s", "ss", {"justakey", "~"}},
    {"key=", "%s=%s", "ss", {"key", "~"}},
    {"events.log,5", "%s,%d", "sd", {"events.log", "5"}},
    {"events.log", "%s,%d", "sd", {"events.log", "~"}},
    {"abc123", "%3s%d", "sd", {"abc", "123"}},
    {"a%7", "%s%%%d", "sd", {"a", "7"}},
    {"3.14159", "%.3f", "f", {"3.14"}},
    {"a,b", "%s,%s", "-s", {"", "a,b"}},
    // Empty source or format stores nothing.
    {"", "%s", "s", {"~"}},
    {"abc", "", "s", {"~"}},
    {"abc", "no conversions", "s", {"~"}},
    // Blanks: skipped before a field with a separator, kept before the last.
    {"  a ,  b", "%s,%s", "ss", {"a ", "  b"}},
    {"x, 42", "%s,%d", "sd", {"x", "42"}},
    // Conversions.
    {",z", "%c,%s", "cs", {"0", "z"}},
    {"A;b", "%C;%S", "cs", {"65", "b"}},
    {"70000", "%h", "h", {"4464"}},
    {"-12abc", "%d", "d", {"-12"}},
    {"abc", "%d", "d", {"0"}},
    {"2.5", "%f", "f", {"2.5"}},
    {"3.14159", "%.0f", "f", {"3"}},
    {"3.14159", "%.1f", "f", {"3"}},
    {"3.14159", "%.9f", "f", {"3.14159"}},
    {"12", "%.2f", "f", {"12"}},
    {"ab", "%ls", "s", {"ab"}},
    // Widths: a wider one takes the field; a narrower one before a found
    // separator copies exactly that many characters, unterminated.
    {"abcdef=x", "%10s=%s", "ss", {"abcdef", "x"}},
    {"abcdef=x", "%2s=%s", "ss", {"ab~~~~~~~~", "x"}},
    {"abcdef", "%2s", "s", {"ab"}},
    // Outside the grammar: a '%' without a type letter takes no
    // destination; a signed width or precision counts as none.
    {"a,b", "%s,%", "ss", {"a", "~"}},
    {"abc", "%5", "s", {"~"}},
    {"abc", "%q", "s", {"~"}},
    {"abcdef", "%-3s", "s", {"abcdef"}},
    {"3.14159", "%.-2f", "f", {"3.14159"}},
};

// resolve_path against a given executable path (null: not known).
struct PathCase {
  const char* exe;
  const char* src;
  const char* expected;
  int result;
};

// An executable path of 314 characters: C:\top, six directories of 49 'd's,
// app.exe. Eight backslashes from its end back to the drive.
#define TC_D49 "\\ddddddddddddddddddddddddddddddddddddddddddddddddd"
#define TC_DEEP_EXE \
  "C:\\top" TC_D49 TC_D49 TC_D49 TC_D49 TC_D49 TC_D49 "\\app.exe"

// The resolution rules, for a given executable path.
const PathCase kPathCases[] = {
    {"C:\\srv\\bin\\app.exe", "", "", 0},
    {"C:\\srv\\bin\\app.exe", "C:\\x.log", "C:\\x.log", 0},
    {"C:\\srv\\bin\\app.exe", "D:x.log", "D:x.log", 0},
    {"C:\\srv\\bin\\app.exe", "x.log", "C:\\srv\\bin\\x.log", 0},
    {"C:\\srv\\bin\\app.exe", "logs\\x.log", "C:\\srv\\bin\\logs\\x.log", 0},
    {"C:\\srv\\bin\\app.exe", "\\\\server\\share\\x.log",
     "C:\\srv\\bin\\\\\\server\\share\\x.log", 0},
    {"C:\\srv\\bin\\app.exe", ".\\x.log", "C:\\srv\\bin\\x.log", 0},
    {"C:\\srv\\bin\\app.exe", "..\\x.log", "C:\\srv\\x.log", 0},
    {"C:\\srv\\bin\\app.exe", "..\\..\\x.log", "C:\\srv\\..\\x.log", 0},
    {"C:\\srv\\bin\\app.exe", "...\\x.log", "C:\\x.log", 0},
    {"C:\\srv\\bin\\app.exe", "....\\x.log", "\\x.log", 0},
    {"C:\\srv\\bin\\app.exe", ".tmp\\x.log", "C:\\srv\\bin\\x.log", 0},
    {"C:\\app.exe", ".\\x.log", "C:\\x.log", 0},
    {"C:\\app.exe", "..\\x.log", "\\x.log", 0},
    {"C:\\srv\\bin\\app.exe", "x", "C:\\srv\\bin\\x", 0},
    {"C:\\srv\\bin\\app.exe", ".:x", ".:x", 0},
    {"C:\\srv\\bin\\app.exe", ".\\a\\..\\x", "C:\\srv\\bin\\a\\..\\x", 0},
    // A dotted name with no backslash after its dots names no file.
    {"C:\\srv\\bin\\app.exe", ".", "", 1},
    {"C:\\srv\\bin\\app.exe", "..", "", 1},
    {"C:\\srv\\bin\\app.exe", ".log", "", 1},
    {"C:\\srv\\bin\\app.exe", "./x.log", "", 1},
    // An executable path without a backslash leaves no directory.
    {"app.exe", "x.log", "x.log", 0},
    {"app.exe", ".\\x.log", "\\x.log", 0},
    // A long executable path is used whole: what climbs back into 259
    // characters resolves, the rest is refused; never the name as given.
    {TC_DEEP_EXE, "x.log", "", 1},
    {TC_DEEP_EXE, ".\\x.log", "", 1},
    {TC_DEEP_EXE, ".......\\x.log", "C:\\top\\x.log", 0},
    {TC_DEEP_EXE, "......\\x.log", "C:\\top" TC_D49 "\\x.log", 0},
    {TC_DEEP_EXE, ".........\\x.log", "\\x.log", 0},
    // Executable path not known.
    {nullptr, "x.log", "x.log", 0},
    {nullptr, "C:\\x.log", "C:\\x.log", 0},
    {nullptr, ".\\x.log", "", 1},
    {nullptr, "", "", 0},
};

// base_name: the part after the last separator.
struct BaseNameCase {
  const char* path;
  const char* name;
};

const BaseNameCase kBaseNameCases[] = {
    {"C:\\src\\net\\listener.cpp", "listener.cpp"},
    {"listener.cpp", "listener.cpp"},
    {"C:listener.cpp", "listener.cpp"},
    {"..\\a:b\\c.cpp", "c.cpp"},
    {"a\\b:c.cpp", "c.cpp"},
    {"/home/build/src/main.cpp", "main.cpp"},
    {"C:\\build/src\\net/listener.cpp", "listener.cpp"},
    {"src/net\\", ""},
    {"C:\\src\\", ""},
    {"C:", ""},
    {"", ""},
};

struct TrimCase {
  const char* text;
  const char* left;
  const char* right;
  const char* both;
};

const TrimCase kTrimCases[] = {
    {"", "", "", ""},
    {"   ", "", "", ""},
    {"  a b \r\n", "a b \r\n", "  a b", "a b"},
    {"\t\r\n x", "x", "\t\r\n x", "x"},
    {"x", "x", "x", "x"},
    {"a\vb ", "a\vb ", "a\vb", "a\vb"},  // only four characters are blanks
};

// rotation_match, or running_rotation_match for a "rotate_running" key: one
// profile entry against a slot's path.
struct RotationCase {
  const char* key;
  const char* value;
  const char* path;
  bool match;
  int keep;
  unsigned long long limit = 0;
};

const RotationCase kRotationCases[] = {
    {"rotate", "events.log,7", "C:\\srv\\events.log", true, 7},
    {" ROTATE ", " D:\\other\\EVENTS.LOG , 2\r\n", "C:\\srv\\events.log", true,
     2},
    {"rotate", "events,3", "C:\\srv\\events.log", false, 0},
    {"rotate", "events.log.old,4", "C:\\x\\events.log", true, 4},
    {"other", "a.log,3", "C:\\a.log", false, 0},
    {"rotate", "a.log", "C:\\a.log", false, 0},
    {"rotate", "", "C:\\a.log", false, 0},
    {"rotate", ",4", "C:\\a.log", false, 0},
    {"rotate", "a.log,abc", "C:\\a.log", false, 0},
    {"rotate", "a.log, x3", "C:\\a.log", false, 0},
    {"rotate", "a.log,32768", "C:\\a.log", false, 0},
    {"rotate", "a.log,-32769", "C:\\a.log", false, 0},
    {"rotate", "a.log,-32768", "C:\\a.log", true, -32768},
    {"rotate", "a.log, +12", "C:\\a.log", true, 12},
    {"rotate", "dir\\a.log,1", "a.log", true, 1},
    {"rotate", "a.log,1,2", "C:\\a.log", true, 1},
    {"rotate_running", "events.log,7", "C:\\srv\\events.log", true, 7},
    {" Rotate_Running ", " a.log , 2 , 64 k ", "C:\\a.log", true, 2, 65536},
    {"rotate_running", "a.log,3,10M", "C:\\a.log", true, 3, 10485760},
    {"rotate_running", "a.log,0,1000", "C:\\a.log", true, 0, 1000},
    {"rotate_running", "a.log,3,4294967296G", "C:\\a.log", true, 3, 1ULL << 62},
    {"rotate_running", "a.log,3,4294967297G", "C:\\a.log", false, 0},
    {"rotate_running", "a.log,3,4611686018427387905", "C:\\a.log", false, 0},
    {"rotate_running", "a.log,3,", "C:\\a.log", false, 0},
    {"rotate_running", "a.log,3,10X", "C:\\a.log", false, 0},
    {"rotate_running", "a.log,3,1 0", "C:\\a.log", false, 0},
    {"rotate_running", "a.log,x,1K", "C:\\a.log", false, 0},
    {"rotate_running", "events,3,1K", "C:\\srv\\events.log", false, 0},
};

// msg_stage: a line of fill_count fill characters and then tail, staged to
// staged bytes that end with staged_end.
struct StageCase {
  char fill;
  int fill_count;
  const char* tail;
  int staged;
  const char* staged_end;
};

const StageCase kStageCases[] = {
    {'x', 0, "", 0, ""},
    {'x', 2, "\n", 4, "xx\r\n"},
    {'x', 0, "a\nb\n\n", 8, "a\r\nb\r\n\r\n"},
    {'x', 0, "\r\n", 3, "\r\r\n"},
    // Fits: 1996 characters and CR LF, or the last LF on the bound.
    {'x', 1996, "\n", 1998, "xx\r\n"},
    {'x', 1997, "\n", 1999, "xx\r\n"},
    {'x', 1995, "\n\n", 1999, "x\r\n\r\n"},
    // Too long: cut at 1996 and ended with CR LF.
    {'x', 1998, "\n", 1998, "xx\r\n"},
    {'x', 3000, "", 1998, "xx\r\n"},
    {'\n', 1500, "", 1996, "\r\n\r\n"},
    {'x', 1995, "y\nz", 1998, "xy\r\n"},
    // A CR LF pair split by the cut loses its CR.
    {'x', 1994, "y\nzz", 1997, "xy\r\n"},
};

// msg_format_at: "%s" of length characters at a cursor with room bytes left;
// the append's length, and whether it is the overflow text.
struct AppendCase {
  int room;
  int length;
  int appended;
  bool overflow;
};

const AppendCase kAppendCases[] = {
    {4000, 3, 3, false},      {4000, 1999, 1999, false}, {4000, 2000, 28, true},
    {4000, 100000, 28, true}, {10, 9, 9, false},         {10, 10, 0, false},
    {29, 28, 28, false},      {29, 29, 28, true},        {28, 28, 0, false},
    {1, 0, 0, false},         {0, 5, 0, false},
};

// For GoogleTest's messages, found by argument-dependent lookup.
inline void PrintTo(const ScanCase& c, std::ostream* os) {
  *os << '"' << c.src << "\" with \"" << c.fmt << '"';
}

inline void PrintTo(const PathCase& c, std::ostream* os) {
  *os << '"' << c.src << "\" for \"" << (c.exe ? c.exe : "(none)") << '"';
}

}  // namespace tc

#endif

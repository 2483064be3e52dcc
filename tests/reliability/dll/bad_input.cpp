// Bad input: odd and over-long names, the 40th file of a channel, hostile
// profiles, formats and texts larger than every buffer. Each has one clear
// outcome (a thrown code, a cut or a skip), nothing is written beyond a
// buffer, and the process goes on.
#include <gtest/gtest.h>
#include <stdio.h>
#include <zorvel.h>

#include <algorithm>
#include <string>
#include <vector>

#include "logfiles_util.h"
#include "reliability_util.h"

namespace {

std::string relative(const std::string& path) {
  std::string dir = tu::exe_dir();
  return path.compare(0, dir.size(), dir) == 0 ? path.substr(dir.size()) : path;
}

// Attaches a fresh thread's events channel to name and writes one line.
// Returns 0 when it attached, else the code thrown.
unsigned long attach_and_say(const std::string& name, const char* text) {
  unsigned long code = 0;
  tu::run_thread([&] {
    try {
      util_init(name.c_str(), nullptr, nullptr, nullptr);
      event("%s", text);
    } catch (unsigned long thrown) {
      code = thrown;
    }
  });
  return code;
}

// Every heap of the process is still sound: a write past a heap buffer
// breaks the block after it.
bool heaps_sound() {
  HANDLE heaps[64];
  DWORD n = GetProcessHeaps(64, heaps);
  for (DWORD i = 0; i < n && i < 64; ++i)
    if (!HeapValidate(heaps[i], 0, NULL)) return false;
  return true;
}

// ------------------------------------------------------------ names

// A read-only file opens for writing only for a user whom the file system
// lets write anyway (Wine run by root): the library follows the platform.
const unsigned long kPlatform = 0xFFFFFFFF;

unsigned long platform_open_result(const std::string& path) {
  HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                         FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, NULL);
  if (h == INVALID_HANDLE_VALUE) return GetLastError();
  CloseHandle(h);
  return 0;
}

struct NameCase {
  const char* label;
  // Builds the name from the test directory (its full path, closing '\').
  std::string (*name)(const std::string& dir);
  unsigned long thrown;  // 0: attaches; kPlatform: as the platform opens it
  const char* lands_in;  // file under dir that gets the line, if attached
};

void PrintTo(const NameCase& c, std::ostream* os) { *os << c.label; }

// A relative name whose resolved form has exactly length characters.
std::string resolved_length(const std::string& dir, size_t length) {
  std::string base = relative(dir);
  size_t fixed = tu::exe_dir().size() + base.size() + 4;  // ".log"
  return base + std::string(length - fixed, 'n') + ".log";
}

const NameCase kNames[] = {
    {"resolved_259_characters",
     [](const std::string& d) { return resolved_length(d, 259); }, 0, ""},
    {"resolved_260_characters",
     [](const std::string& d) { return resolved_length(d, 260); },
     ERROR_FILENAME_EXCED_RANGE, ""},
    {"absolute_5000_characters",
     [](const std::string& d) { return d + std::string(5000, 'n'); },
     ERROR_FILENAME_EXCED_RANGE, ""},
    {"relative_5000_characters",
     [](const std::string&) { return std::string(5000, 'n'); },
     ERROR_FILENAME_EXCED_RANGE, ""},
    {"a_directory", [](const std::string& d) { return d + "subdir"; },
     ERROR_ACCESS_DENIED, ""},
    {"a_read_only_file", [](const std::string& d) { return d + "ro.log"; },
     kPlatform, ""},
    {"trailing_dot", [](const std::string& d) { return d + "dot.log."; }, 0,
     "dot.log"},
    {"trailing_dots_and_blanks",
     [](const std::string& d) { return d + "dots.log. . "; }, 0, "dots.log"},
    {"forward_slash_existing_directory",
     [](const std::string& d) { return relative(d) + "subdir/fwd.log"; }, 0,
     "subdir\\fwd.log"},
    {"forward_slash_missing_directory",
     [](const std::string& d) { return relative(d) + "newdir/fwd.log"; },
     ERROR_PATH_NOT_FOUND, ""},
    {"backslash_missing_directories",
     [](const std::string& d) { return relative(d) + "new1\\new2\\b.log"; }, 0,
     "new1\\new2\\b.log"},
    {"only_dots", [](const std::string&) { return std::string(".."); },
     ERROR_INVALID_NAME, ""},
    {"wildcard", [](const std::string& d) { return d + "w*.log"; },
     ERROR_INVALID_NAME, ""},
};

class Names : public testing::TestWithParam<NameCase> {};

TEST_P(Names, GetOneClearOutcome) {
  const NameCase& c = GetParam();
  std::string dir = tu::fresh_dir();
  CreateDirectoryA((dir + "subdir").c_str(), NULL);
  tu::write_file(dir + "ro.log", "kept\r\n");
  SetFileAttributesA((dir + "ro.log").c_str(), FILE_ATTRIBUTE_READONLY);
  rl::Watchdog dog(30, c.label);
  unsigned long expected = c.thrown;
  bool read_only = c.thrown == kPlatform;
  if (read_only) expected = platform_open_result(dir + "ro.log");
  EXPECT_EQ(attach_and_say(c.name(dir), "landed"), expected);
  if (read_only && expected == 0)
    EXPECT_EQ(rl::parse_file(dir + "ro.log").good.size(), 1u);
  else
    EXPECT_EQ(tu::read_file(dir + "ro.log"), "kept\r\n");
  if (c.lands_in[0]) {
    rl::Split split = rl::parse_file(dir + c.lands_in);
    ASSERT_EQ(split.good.size(), 1u) << c.lands_in;
    EXPECT_EQ(split.good[0].rest, "landed");
  }
  // The thread that failed logged on; the next attach works.
  EXPECT_EQ(attach_and_say(dir + "after.log", "after"), 0u);
  EXPECT_EQ(rl::parse_file(dir + "after.log").good.size(), 1u);
  SetFileAttributesA((dir + "ro.log").c_str(), FILE_ATTRIBUTE_NORMAL);
}

INSTANTIATE_TEST_SUITE_P(Table, Names, testing::ValuesIn(kNames),
                         [](const testing::TestParamInfo<NameCase>& info) {
                           return std::string(info.param.label);
                         });

// Names of one file in one channel get a slot each, but the lines of all
// still arrive whole: the write mutex is the file's, not the name's.
struct Spellings {
  std::vector<std::string> names;  // the threads take turns
  int threads;
  int lines;  // per thread
};

void write_spelling(int i, void* arg) {
  const Spellings* s = static_cast<const Spellings*>(arg);
  util_init(s->names[i % s->names.size()].c_str(), nullptr, nullptr, nullptr);
  for (int n = 0; n < s->lines; ++n) event("k=%d seq=%d", i, n);
}

TEST(Spellings, TwoSpellingsOfOneFileLoseNoLine) {
  std::string dir = tu::fresh_dir();
  rl::Watchdog dog(110, "two spellings");
  CreateDirectoryA((dir + "x").c_str(), NULL);
  std::string long_dir = dir + "averylongdirectoryname";
  CreateDirectoryA(long_dir.c_str(), NULL);
  char short_dir[MAX_PATH] = "";
  GetShortPathNameA(long_dir.c_str(), short_dir, sizeof short_dir);
  // The system gives the directory a short name of its own.
  ASSERT_TRUE(_stricmp(short_dir, long_dir.c_str()) != 0 &&
              strchr(short_dir, '~') != nullptr)
      << short_dir;
  tu::write_file(dir + "linked.log", "");
  ASSERT_TRUE(CreateHardLinkA((dir + "link.log").c_str(),
                              (dir + "linked.log").c_str(), NULL));
  struct Case {
    const char* label;
    Spellings spellings;
    std::string file;
  } cases[] = {
      {"spellings the path folds",
       {{dir + "same.log", dir + "same.log.",
         relative(dir) + "x\\..\\same.log"},
        6,
        300},
       dir + "same.log"},
      {"long and short directory name",
       {{long_dir + "\\shared.log", std::string(short_dir) + "\\shared.log"},
        2,
        5000},
       long_dir + "\\shared.log"},
      {"hard link",
       {{dir + "linked.log", dir + "link.log"}, 2, 5000},
       dir + "linked.log"},
  };
  for (const Case& c : cases) {
    const Spellings& s = c.spellings;
    ASSERT_TRUE(rl::run_group(s.threads, write_spelling,
                              const_cast<Spellings*>(&s), 100000))
        << c.label;
    rl::Split split = rl::parse_file(c.file);
    EXPECT_TRUE(split.bad.empty()) << c.label << ": " << split.bad.size()
                                   << " torn, first: " << split.bad[0];
    EXPECT_EQ(split.good.size(), (size_t)s.threads * s.lines) << c.label;
  }
}

// ------------------------------------------------------------ 40th file

struct Holders {
  std::string dir;
  volatile LONG attached;
  HANDLE release;
};

void hold_file(int i, void* arg) {
  Holders* h = static_cast<Holders*>(arg);
  util_init((h->dir + "f" + std::to_string(i + 1) + ".log").c_str(), nullptr,
            nullptr, nullptr);
  InterlockedIncrement(&h->attached);
  WaitForSingleObject(h->release, 60000);  // held while the 40th arrives
}

DWORD WINAPI hold_39(LPVOID holders) {
  rl::run_group(39, hold_file, holders, 60000);
  return 0;
}

TEST(DISABLED_Child, FortiethFile) {
  std::string dir = ch::child_dir();
  ASSERT_FALSE(dir.empty());
  rl::Watchdog dog(60, "fortieth file");
  Holders holders{dir, 0, CreateEventA(NULL, TRUE, FALSE, NULL)};
  HANDLE thread = CreateThread(NULL, 0, hold_39, &holders, 0, NULL);
  for (int tries = 0; tries < 3000 && holders.attached < 39; ++tries) Sleep(10);
  EXPECT_EQ(holders.attached, 39);
  tu::run_thread([&] {
    EXPECT_EQ(util_init((dir + "f40.log").c_str(), nullptr, "FORTY", nullptr),
              0);
    event("fortieth line");
  });
  SetEvent(holders.release);
  WaitForSingleObject(thread, INFINITE);
  CloseHandle(thread);
  CloseHandle(holders.release);
}

TEST(Limits, FortiethFileOfAChannelGoesToStandardOutputOnly) {
  std::string dir = tu::fresh_dir();
  ch::ChildJob job;
  job.test = "DISABLED_Child.FortiethFile";
  job.dir = dir;
  job.out_file = dir + "child.out";
  job.err_file = dir + "child.err";
  ASSERT_EQ(ch::run_child(job), 0u) << rl::child_report(job.out_file);
  EXPECT_FALSE(tu::file_exists(dir + "f40.log"));
  std::string out = tu::read_file(job.out_file);
  EXPECT_NE(out.find(":FORTY): fortieth line\r\n"), std::string::npos);
  std::string err = tu::read_file(job.err_file);
  size_t warned = err.find("No free log slot for ");
  ASSERT_NE(warned, std::string::npos);
  // One line, no empty line after it.
  EXPECT_NE(err.compare(err.find("\r\n", warned), 4, "\r\n\r\n"), 0) << err;
}

// ------------------------------------------------------------ loader lock

// A thread that ends holds the loader lock while it leaves its files under
// the table mutexes; an attach must not want the loader lock under them.
struct Churn {
  std::string name;
  DWORD until;  // tick count
};

DWORD WINAPI attach_and_end(LPVOID p) {
  try {
    util_init(static_cast<Churn*>(p)->name.c_str(), nullptr, nullptr, nullptr);
    event("churn");
  } catch (unsigned long) {
  }
  return 0;
}

void churn(int, void* arg) {
  Churn* c = static_cast<Churn*>(arg);
  while ((LONG)(c->until - GetTickCount()) > 0) {
    HANDLE thread = CreateThread(NULL, 0, attach_and_end, c, 0, NULL);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
  }
}

// Two threads start threads that attach to name and end, for two seconds.
void churn_for_two_seconds(const std::string& name) {
  rl::Watchdog dog(30, "attaching and ending");
  Churn c{name, GetTickCount() + 2000};
  EXPECT_TRUE(rl::run_group(2, churn, &c, 60000));
}

// The name resolves to one without a drive ("\dir\churn.log").
TEST(LoaderLock, ThreadsAttachingAndEndingNeverStall) {
  std::string file = tu::fresh_dir() + "churn.log";
  churn_for_two_seconds(lf::past_the_drive(file));
  EXPECT_FALSE(rl::parse_file(file).good.empty());
}

// ------------------------------------------------------------ long path

unsigned long set_dump_code(const char* directory) {
  try {
    util_set_dump(directory, ZORVEL_DUMP_SMALL);
  } catch (unsigned long code) {
    return code;
  }
  util_set_dump(nullptr, ZORVEL_DUMP_SMALL);
  return 0;
}

// Run by the test LongExePath (run_deep_copy.cmake) in a copy of this
// program whose path is longer than MAX_PATH, with the working directory
// "cwd" beside the copy's first directory. Relative names resolve against
// the whole path and never against the working directory.
TEST(DISABLED_DeepCopy, NamesNeverResolveAgainstTheWorkingDirectory) {
  WCHAR wide[1024];
  DWORD n = GetModuleFileNameW(NULL, wide, 1024);
  ASSERT_GE(n, (DWORD)MAX_PATH);
  ASSERT_LT(n, 1024u);
  std::string exe(wide, wide + n);  // the test tree's names are ASCII
  char cwd_text[MAX_PATH];
  GetCurrentDirectoryA(sizeof cwd_text, cwd_text);
  std::string cwd = std::string(cwd_text) + "\\";
  std::string work = cwd.substr(0, cwd.rfind('\\', cwd.size() - 2));
  ASSERT_EQ(exe.compare(0, work.size(), work), 0) << exe;

  EXPECT_EQ(attach_and_say("deep.log", "plain"), ERROR_FILENAME_EXCED_RANGE);
  EXPECT_EQ(attach_and_say(".\\deep.log", "dotted"),
            ERROR_FILENAME_EXCED_RANGE);
  EXPECT_EQ(set_dump_code("dumps"), ERROR_FILENAME_EXCED_RANGE);
  // Climbing the whole path back to the work directory fits.
  size_t levels = std::count(exe.begin() + work.size(), exe.end(), '\\');
  std::string climbed = std::string(levels, '.') + cwd.substr(work.size());
  EXPECT_EQ(attach_and_say(climbed + "climbed.log", "climbed"), 0u);
  EXPECT_EQ(rl::parse_file(cwd + "climbed.log").good.size(), 1u);
  EXPECT_FALSE(tu::file_exists(cwd + "deep.log"));
  EXPECT_FALSE(tu::file_exists(cwd + "dumps"));
  // Plain names are refused before any table mutex is taken.
  churn_for_two_seconds("churn.log");
  EXPECT_FALSE(tu::file_exists(cwd + "churn.log"));
}

// ------------------------------------------------------------ profiles

struct ProfileCase {
  const char* label;
  std::string (*text)();
  bool rotates;
};

void PrintTo(const ProfileCase& c, std::ostream* os) { *os << c.label; }

std::string many_entries(int count) {
  std::string s;
  for (int i = 0; i < count; ++i)
    s += "rotate=other" + std::to_string(i) + ".log,1\r\n";
  return s;
}

std::string binary_bytes(size_t size) {
  std::string s(size, 0);
  unsigned x = 12345;
  for (char& c : s) {
    x = x * 1103515245u + 12345u;
    c = (char)(x >> 16);
  }
  return s;
}

const ProfileCase kProfiles[] = {
    {"plain", [] { return std::string("[logfile]\r\nrotate=app.log,2\r\n"); },
     true},
    {"huge_file_entry_first",
     [] {
       return "[logfile]\r\nrotate=app.log,2\r\n" + many_entries(20) +
              "[junk]\r\n" + std::string(4 << 20, 'j') + "\r\n";
     },
     true},
    {"entry_past_the_first_2KB_of_the_section",
     [] {
       return "[logfile]\r\n" + many_entries(200) + "rotate=app.log,2\r\n";
     },
     false},
    {"thousands_of_entries_entry_first",
     [] { return "[logfile]\r\nrotate=app.log,2\r\n" + many_entries(5000); },
     true},
    {"binary", [] { return binary_bytes(64 << 10); }, false},
    {"binary_before_the_section",
     [] {
       return binary_bytes(4096) + "\r\n[logfile]\r\nrotate=app.log,2\r\n";
     },
     true},
    {"no_equals_sign",
     [] { return std::string("[logfile]\r\nrotate app.log 2\r\n"); }, false},
    {"over_long_key_then_entry",
     [] {
       return "[logfile]\r\n" + std::string(600, 'k') +
              "=app.log,2\r\nrotate=app.log,2\r\n";
     },
     true},
    {"over_long_value_is_skipped",
     [] {
       return "[logfile]\r\nrotate=" + std::string(600, 'v') + "app.log,2\r\n";
     },
     false},
    {"over_long_line",
     [] {
       return "[logfile]\r\nrotate=app.log," + std::string(5000, '2') + "\r\n";
     },
     false},
};

class Profiles : public testing::TestWithParam<ProfileCase> {};

TEST_P(Profiles, RotateOrNotAndGoOn) {
  const ProfileCase& c = GetParam();
  std::string dir = tu::fresh_dir();
  rl::Watchdog dog(30, c.label);
  std::string file = dir + "app.log";
  tu::write_file(file, "old\r\n");
  HANDLE h = CreateFileA(file.c_str(), FILE_WRITE_ATTRIBUTES,
                         FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                         OPEN_EXISTING, 0, NULL);
  SYSTEMTIME st = {2021, 3, 0, 4, 12, 0, 0, 0};
  FILETIME ft;
  SystemTimeToFileTime(&st, &ft);
  SetFileTime(h, &ft, &ft, &ft);
  CloseHandle(h);
  tu::write_file(dir + "profile.ini", c.text());
  unsigned long code = 0;
  tu::run_thread([&] {
    try {
      util_init(file.c_str(), nullptr, nullptr, (dir + "profile.ini").c_str());
      event("new");
    } catch (unsigned long thrown) {
      code = thrown;
    }
  });
  EXPECT_EQ(code, 0u);
  EXPECT_EQ(tu::file_exists(file + ".1"), c.rotates);
  std::vector<tu::Line> lines = rl::parse_file(file).good;
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back().rest, "new");
  EXPECT_TRUE(heaps_sound());
}

INSTANTIATE_TEST_SUITE_P(Table, Profiles, testing::ValuesIn(kProfiles),
                         [](const testing::TestParamInfo<ProfileCase>& info) {
                           return std::string(info.param.label);
                         });

// ------------------------------------------------------------ texts

TEST(Texts, OversizedFormatsMarksAndBannersAreCut) {
  std::string dir = tu::fresh_dir();
  rl::Watchdog dog(30, "oversized texts");
  std::string file = dir + "texts.log", lf_file = dir + "lf.log";
  std::string big(1999, 'a'), bigger(2000, 'b'), lfs(1500, '\n');
  std::string banner(1000, 'B'), mark(100, 'M');
  tu::run_thread([&] {
    util_init(file.c_str(), file.c_str(), mark.c_str(), nullptr);
    EXPECT_STREQ(getsmark(), "MMMMMM");
    event("%s", big.c_str());     // fits the append, cut by the stage
    event("%s", bigger.c_str());  // too long for one append
    event("%5000d", 1);           // likewise, from a short format
    setbanner(banner.c_str());    // kept to 255 characters
    warning("%s", big.c_str());   // banner, path and text together
    setbanner("");
    event("end");
    util_init(lf_file.c_str(), nullptr, nullptr, nullptr);
    event("%s", lfs.c_str());  // doubles when staged
    event("after");
  });
  std::vector<std::string> raw = tu::split_lines(tu::read_file(file));
  for (const std::string& line : raw) EXPECT_LE(line.size(), 1996u);
  rl::Split split = rl::parse_file(file);
  EXPECT_TRUE(split.bad.empty());
  ASSERT_EQ(split.good.size(), 6u);  // the warning twice: both channels
  const std::vector<tu::Line>& l = split.good;
  EXPECT_EQ(l[0].rest.find_first_not_of('a'), std::string::npos);
  EXPECT_GT(l[0].rest.size(), 1900u);
  EXPECT_EQ(l[1].rest, "!!! MAX_BUF_SIZE is exceeded");
  EXPECT_EQ(l[2].rest, "!!! MAX_BUF_SIZE is exceeded");
  EXPECT_EQ(l[3].rest.substr(0, 263), std::string(255, 'B') + "Running ");
  EXPECT_EQ(l[4].rest, l[3].rest);
  EXPECT_EQ(l[5].rest, "end");
  EXPECT_EQ(l[5].mark, "MMMMMM");

  // A text of line ends is cut inside its run: the cut lands on a whole
  // CR LF, and the next line starts on its own.
  std::vector<std::string> lf_raw = tu::split_lines(tu::read_file(lf_file));
  ASSERT_GE(lf_raw.size(), 900u);
  for (size_t i = 1; i + 1 < lf_raw.size(); ++i) EXPECT_EQ(lf_raw[i], "");
  tu::Line last;
  ASSERT_TRUE(tu::parse_line(lf_raw.back(), &last));
  EXPECT_EQ(last.rest, "after");
  EXPECT_TRUE(heaps_sound());
}

TEST(Texts, OversizedPlacesAndRaisesKeepTheirFields) {
  rl::Watchdog dog(30, "oversized raises");
  std::string file(2000, 'f'), text(10000, 't');
  tu::run_thread([&] {
    place(file.c_str(), 77);
    try {
      kxraise("%s", text.c_str());
    } catch (const CError& e) {
      EXPECT_EQ(e.line, 77);
      EXPECT_EQ(strlen(e.file), 299u);  // the place keeps 299 characters
      EXPECT_EQ(strlen(e.message), 4095u);
    }
    try {
      SetLastError(ERROR_FILE_NOT_FOUND);
      kxraiseos("%s", text.c_str());
    } catch (const COSError& e) {
      EXPECT_EQ(e.line, 77);
      EXPECT_EQ(strlen(e.message), 4095u);
    }
    try {
      kxraisec(5, "%s", text.c_str());
    } catch (const CEmptyError& e) {
      EXPECT_EQ(e.code, 5u);
      EXPECT_EQ(strlen(e.message), 4095u);
    }
    std::string shown(5000, 's');
    show_message(shown.c_str());  // an over-long text for show_message
    std::string percents(3999, '%');
    show_message(percents.c_str());
  });
  EXPECT_TRUE(heaps_sound());
}

}  // namespace

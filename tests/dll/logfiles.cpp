// Attaching threads to log files: sharing, counting, opening and rotation,
// observed as a host sees them.
#include <gtest/gtest.h>
#include <stdio.h>
#include <zorvel.h>

#include <memory>
#include <string>
#include <vector>

#include "logfiles_util.h"
#include "test_util.h"

namespace {

struct Attach {
  std::string events, errors, mark, profile;
};

void attach(void* p) {
  const Attach* a = static_cast<const Attach*>(p);
  util_init(a->events.empty() ? nullptr : a->events.c_str(),
            a->errors.empty() ? nullptr : a->errors.c_str(),
            a->mark.empty() ? nullptr : a->mark.c_str(),
            a->profile.empty() ? nullptr : a->profile.c_str());
}

void say(void* text) { event("%s", static_cast<const char*>(text)); }
void warn(void* text) { warning("%s", static_cast<const char*>(text)); }

std::string rel(const std::string& path) { return lf::relative(path); }

TEST(Attachment, ThreadsNamingOneFileInAnyCaseShareIt) {
  std::string dir = tu::fresh_dir();
  lf::Worker t1, t2;
  Attach a1{rel(dir) + "Shared.log", rel(dir) + "err1.log", "ONE", ""};
  Attach a2{rel(dir) + "SHARED.LOG", rel(dir) + "err2.log", "TWO", ""};
  ASSERT_TRUE(t1.run(attach, &a1));
  ASSERT_TRUE(t2.run(attach, &a2));
  for (int i = 0; i < 20; ++i) {
    t1.run(say, (void*)"from one");
    t2.run(say, (void*)"from two");
  }
  std::vector<std::string> lines =
      tu::split_lines(tu::read_file(dir + "Shared.log"));
  ASSERT_EQ(lines.size(), 40u);
  int ones = 0, twos = 0;
  for (const std::string& text : lines) {
    tu::Line line;
    ASSERT_TRUE(tu::parse_line(text, &line)) << text;
    EXPECT_EQ(line.type, "V");
    if (line.mark == "ONE" && line.rest == "from one") ++ones;
    if (line.mark == "TWO" && line.rest == "from two") ++twos;
  }
  EXPECT_EQ(ones, 20);
  EXPECT_EQ(twos, 20);
}

TEST(Attachment, FileIsHeldUntilItsLastAttachmentEnds) {
  std::string dir = tu::fresh_dir();
  std::string file = dir + "held.log";
  Attach a{rel(file), rel(dir) + "err.log", "", ""};
  {
    lf::Worker t1, t2;
    ASSERT_TRUE(t1.run(attach, &a));
    ASSERT_TRUE(t2.run(attach, &a));
    EXPECT_TRUE(lf::held_open(file));
    t1.end();
    EXPECT_TRUE(lf::held_open(file));  // t2 still attached
    t2.end();
  }
  EXPECT_FALSE(lf::held_open(file));
  EXPECT_FALSE(lf::held_open(dir + "err.log"));
}

TEST(Attachment, WorkedSequenceReusesFreedSlots) {
  std::string dir = tu::fresh_dir();
  std::string a = dir + "a.log", b = dir + "b.log", c = dir + "c.log";
  lf::Worker t1, t2, t3;
  Attach to_a{rel(a), "", "", ""}, to_upper_a{rel(dir) + "A.LOG", "", "", ""};
  Attach to_b{rel(b), "", "", ""}, to_c{rel(c), "", "", ""};
  ASSERT_TRUE(t1.run(attach, &to_a));
  ASSERT_TRUE(t2.run(attach, &to_upper_a));
  ASSERT_TRUE(t1.run(attach, &to_b));
  EXPECT_TRUE(lf::held_open(a));  // t2 still on it
  EXPECT_TRUE(lf::held_open(b));
  t2.end();
  EXPECT_FALSE(lf::held_open(a));
  ASSERT_TRUE(t3.run(attach, &to_c));
  t3.run(say, (void*)"into c");
  t1.run(say, (void*)"into b");
  EXPECT_EQ(lf::lines_with(c, "into c").size(), 1u);
  EXPECT_EQ(lf::lines_with(b, "into b").size(), 1u);
  EXPECT_TRUE(lf::lines_with(b, "into c").empty());
}

TEST(Attachment, NamingTheSameFilesAgainChangesNothing) {
  std::string dir = tu::fresh_dir();
  std::string file = dir + "same.log";
  std::string profile = dir + "rotate.ini";
  lf::Worker t;
  Attach first{rel(file), rel(dir) + "err.log", "M1", ""};
  ASSERT_TRUE(t.run(attach, &first));
  t.run(say, (void*)"before");
  // A profile that would rotate the file now, and a past date: attaching to
  // the same names again must not look at either.
  tu::write_file(profile, "[logfile]\r\nrotate=same.log,2\r\n");
  lf::set_past_date(file, 2020, 1, 1);
  Attach again{rel(file), rel(dir) + "err.log", "M2", profile};
  ASSERT_TRUE(t.run(attach, &again));
  t.run(say, (void*)"after");
  EXPECT_FALSE(tu::file_exists(file + ".1"));
  std::vector<std::string> lines = tu::split_lines(tu::read_file(file));
  ASSERT_EQ(lines.size(), 2u);
  tu::Line line;
  ASSERT_TRUE(tu::parse_line(lines[1], &line));
  EXPECT_EQ(line.mark, "M2");
}

TEST(Attachment, NullOrEmptyNamesKeepTheirChannel) {
  std::string dir = tu::fresh_dir();
  lf::Worker t;
  Attach first{rel(dir) + "ev.log", rel(dir) + "er.log", "", ""};
  Attach errors_only{"", rel(dir) + "er2.log", "", ""};
  ASSERT_TRUE(t.run(attach, &first));
  ASSERT_TRUE(t.run(attach, &errors_only));
  t.run(warn, (void*)"moved errors");
  EXPECT_EQ(lf::lines_with(dir + "ev.log", "moved errors").size(), 1u);
  EXPECT_EQ(lf::lines_with(dir + "er2.log", "moved errors").size(), 1u);
  EXPECT_TRUE(lf::lines_with(dir + "er.log", "moved errors").empty());
  EXPECT_FALSE(lf::held_open(dir + "er.log"));
}

TEST(Attachment, RelativeNamesResolveAgainstTheExecutable) {
  std::string dir = tu::fresh_dir();
  std::string elsewhere = dir + "cwd\\";
  CreateDirectoryA(elsewhere.c_str(), NULL);
  char old_cwd[MAX_PATH];
  GetCurrentDirectoryA(sizeof old_cwd, old_cwd);
  SetCurrentDirectoryA(elsewhere.c_str());
  lf::Worker t;
  Attach a{".\\" + rel(dir) + "rel.log", rel(dir) + "deep\\er\\err.log", "",
           ""};
  bool ok = t.run(attach, &a);
  t.run(say, (void*)"relative");
  SetCurrentDirectoryA(old_cwd);
  ASSERT_TRUE(ok);
  EXPECT_EQ(lf::lines_with(dir + "rel.log", "relative").size(), 1u);
  EXPECT_TRUE(tu::file_exists(dir + "deep\\er\\err.log"));  // dirs made
  EXPECT_FALSE(tu::file_exists(elsewhere + "rel.log"));
}

TEST(Attachment, UnopenableNamesThrowTheErrorCode) {
  std::string dir = tu::fresh_dir();
  std::string sub = dir + "isadir";
  CreateDirectoryA(sub.c_str(), NULL);
  lf::Worker t;
  Attach on_dir{rel(sub), "", "", ""};
  unsigned long code = 0;
  EXPECT_FALSE(t.run(attach, &on_dir, &code));
  EXPECT_EQ(code, (unsigned long)ERROR_ACCESS_DENIED);

  std::string long_name = rel(dir) + std::string(300, 'x') + ".log";
  Attach too_long{long_name, "", "", ""};
  code = 0;
  EXPECT_FALSE(t.run(attach, &too_long, &code));
  EXPECT_EQ(code, (unsigned long)ERROR_FILENAME_EXCED_RANGE);

  // After a failed attach the thread still logs, to standard output only.
  Attach good{rel(dir) + "good.log", "", "", ""};
  ASSERT_TRUE(t.run(attach, &good));
  t.run(say, (void*)"recovered");
  EXPECT_EQ(lf::lines_with(dir + "good.log", "recovered").size(), 1u);
}

TEST(Attachment, ThirtyNineFilesPerChannelThenStandardStreamOnly) {
  std::string dir = tu::fresh_dir();
  std::vector<lf::Worker*> workers;
  std::vector<Attach> names;
  for (int i = 1; i <= 40; ++i)
    names.push_back({rel(dir) + "f" + std::to_string(i) + ".log", "", "", ""});
  for (int i = 0; i < 39; ++i) {
    workers.push_back(new lf::Worker);
    ASSERT_TRUE(workers.back()->run(attach, &names[i]));
  }
  lf::Worker fortieth;
  EXPECT_TRUE(fortieth.run(attach, &names[39]));  // no throw, no slot
  fortieth.run(say, (void*)"nowhere");
  EXPECT_FALSE(tu::file_exists(dir + "f40.log"));
  EXPECT_TRUE(lf::held_open(dir + "f39.log"));

  workers[0]->end();  // frees a slot for the next name
  EXPECT_FALSE(lf::held_open(dir + "f1.log"));
  ASSERT_TRUE(fortieth.run(attach, &names[39]));
  fortieth.run(say, (void*)"now placed");
  EXPECT_EQ(lf::lines_with(dir + "f40.log", "now placed").size(), 1u);
  for (lf::Worker* w : workers) delete w;
}

// A name that climbs past the drive resolves once, and every thread naming
// it shares one slot: forty of them do not fill the channel.
TEST(Attachment, FortyThreadsClimbingPastTheDriveShareOneFile) {
  std::string file = tu::fresh_dir() + "climbed.log";
  Attach a{lf::past_the_drive(file), "", "", ""};
  std::vector<std::unique_ptr<lf::Worker>> workers;
  for (int i = 0; i < 40; ++i) {
    workers.emplace_back(new lf::Worker);
    ASSERT_TRUE(workers.back()->run(attach, &a));
    workers.back()->run(say, (void*)"climbed");
  }
  EXPECT_EQ(lf::lines_with(file, "climbed").size(), 40u);
}

struct BothJob {
  std::string name;
  int id;
};
const int kBothLines = 200;

DWORD WINAPI warn_into_both(LPVOID p) {
  BothJob* job = static_cast<BothJob*>(p);
  util_init(job->name.c_str(), job->name.c_str(), nullptr, nullptr);
  for (int n = 0; n < kBothLines; ++n) warning("t%d n%d", job->id, n);
  return 0;
}

TEST(Attachment, OneFileInBothChannelsGetsEveryLineWhole) {
  std::string dir = tu::fresh_dir();
  const int kThreads = 4;
  std::vector<BothJob> jobs;
  for (int i = 0; i < kThreads; ++i) jobs.push_back({rel(dir) + "both.log", i});
  std::vector<HANDLE> threads;
  for (BothJob& job : jobs)
    threads.push_back(CreateThread(NULL, 0, warn_into_both, &job, 0, NULL));
  for (HANDLE h : threads) {
    WaitForSingleObject(h, INFINITE);
    CloseHandle(h);
  }
  std::vector<std::string> lines =
      tu::split_lines(tu::read_file(dir + "both.log"));
  // Each warning reaches the file twice, once per channel.
  ASSERT_EQ(lines.size(), (size_t)(2 * kThreads * kBothLines));
  for (const std::string& text : lines) {
    tu::Line line;
    ASSERT_TRUE(tu::parse_line(text, &line)) << text;
    EXPECT_EQ(line.type, "W");
  }
}

TEST(ShowMessage, AttachesOnceToEventsLogWithMarkExt) {
  std::string events = tu::exe_dir() + "events.log";
  std::string tag = "show " + std::to_string(GetCurrentProcessId()) + " " +
                    std::to_string(GetTickCount());
  tu::run_thread([&] {
    show_message((tag + " 100%% sure %s %d").c_str());
    show_message((tag + " again").c_str());
    EXPECT_STREQ(getsmark(), "EXT");
  });
  std::vector<std::string> lines = lf::lines_with(events, tag);
  ASSERT_EQ(lines.size(), 2u);
  tu::Line line;
  ASSERT_TRUE(tu::parse_line(lines[0], &line));
  EXPECT_EQ(line.mark, "EXT");
  EXPECT_EQ(line.rest, tag + " 100% sure %s %d");
}

// ------------------------------------------------------------ rotation

struct RotationCase {
  const char* entry;   // the "rotate" value in the profile
  int copies_before;   // numbered copies present before: 1..n
  bool past;           // the file carries a past date
  const char* expect;  // after: "main,1,2,3" contents; '-' = missing
};

std::string content_of(const std::string& path) {
  if (!tu::file_exists(path)) return "-";
  std::string text = tu::read_file(path);
  return text.substr(0, text.find('\r'));
}

void PrintTo(const RotationCase& c, std::ostream* os) {
  *os << "rotate=" << c.entry << " copies=" << c.copies_before
      << (c.past ? " past" : " today");
}

class Rotation : public testing::TestWithParam<RotationCase> {};

TEST_P(Rotation, ShiftsCopiesOnceADay) {
  const RotationCase& c = GetParam();
  std::string dir = tu::fresh_dir();
  std::string file = dir + "events.log";
  tu::write_file(file, "main\r\n");
  for (int i = 1; i <= c.copies_before; ++i)
    tu::write_file(file + "." + std::to_string(i),
                   "copy" + std::to_string(i) + "\r\n");
  if (c.past) lf::set_past_date(file, 2021, 3, 4);
  std::string profile = dir + "cfg.ini";
  tu::write_file(profile, std::string("[other]\r\nrotate=x,1\r\n[logfile]\r\n"
                                      "rotate = ") +
                              c.entry + "\r\n");
  tu::run_thread(
      [&] { util_init(rel(file).c_str(), nullptr, nullptr, profile.c_str()); });
  std::string after = content_of(file) + "," + content_of(file + ".1") + "," +
                      content_of(file + ".2") + "," + content_of(file + ".3");
  EXPECT_EQ(after, c.expect);
}

INSTANTIATE_TEST_SUITE_P(
    Table, Rotation,
    testing::Values(
        // Not due: today's file, or no matching entry.
        RotationCase{"events.log,3", 2, false, "main,copy1,copy2,-"},
        RotationCase{"events,3", 0, true, "main,-,-,-"},
        RotationCase{"other.log,3", 0, true, "main,-,-,-"},
        // Due: copies shift, the oldest is replaced, no copy beyond keep.
        RotationCase{"events.log,3", 0, true, ",main,-,-"},
        RotationCase{"events.log,3", 3, true, ",main,copy1,copy2"},
        RotationCase{"events.log,1", 2, true, ",main,copy2,-"},
        RotationCase{"D:\\other\\EVENTS.LOG,2", 0, true, ",main,-,-"},
        RotationCase{"events.log.old,2", 1, true, ",main,copy1,-"},
        // Deleted when keep is 0 or less.
        RotationCase{"events.log,0", 1, true, ",copy1,-,-"},
        RotationCase{"events.log,-4", 0, true, ",-,-,-"},
        // Entries that are not understood are ignored.
        RotationCase{"events.log", 0, true, "main,-,-,-"},
        RotationCase{"events.log,70000", 0, true, "main,-,-,-"}));

TEST(RotationRules, OnlyCopyTwoPresentMovesToThree) {
  std::string dir = tu::fresh_dir();
  std::string file = dir + "app.log";
  tu::write_file(file, "main\r\n");
  tu::write_file(file + ".2", "copy2\r\n");
  lf::set_past_date(file, 2019, 12, 31);
  std::string profile = dir + "cfg.ini";
  tu::write_file(profile, "[logfile]\r\nrotate=app.log,3\r\n");
  tu::run_thread(
      [&] { util_init(rel(file).c_str(), nullptr, nullptr, profile.c_str()); });
  EXPECT_EQ(content_of(file + ".1"), "main");
  EXPECT_EQ(content_of(file + ".2"), "-");
  EXPECT_EQ(content_of(file + ".3"), "copy2");
}

TEST(RotationRules, LastMatchingEntryWins) {
  std::string dir = tu::fresh_dir();
  std::string file = dir + "app.log";
  tu::write_file(file, "main\r\n");
  tu::write_file(file + ".1", "copy1\r\n");
  lf::set_past_date(file, 2019, 12, 31);
  std::string profile = dir + "cfg.ini";
  tu::write_file(profile,
                 "[logfile]\r\nrotate=app.log,0\r\nrotate=app.log,2\r\n");
  tu::run_thread(
      [&] { util_init(rel(file).c_str(), nullptr, nullptr, profile.c_str()); });
  EXPECT_EQ(content_of(file + ".1"), "main");
  EXPECT_EQ(content_of(file + ".2"), "copy1");
}

TEST(RotationRules, OpenFileIsNotRotatedAndNextDayOnlyOnce) {
  std::string dir = tu::fresh_dir();
  std::string file = dir + "app.log";
  std::string profile = dir + "cfg.ini";
  tu::write_file(profile, "[logfile]\r\nrotate=app.log,2\r\n");
  tu::write_file(file, "main\r\n");
  lf::set_past_date(file, 2019, 12, 31);
  lf::Worker holder;
  Attach a{rel(file), "", "", profile};
  ASSERT_TRUE(holder.run(attach, &a));  // rotates: the file was old
  EXPECT_EQ(content_of(file + ".1"), "main");
  holder.run(say, (void*)"fresh");

  // A second thread attaches while the file is open: no rotation, whatever
  // its date says now.
  lf::set_past_date(file, 2019, 12, 30);
  lf::Worker second;
  ASSERT_TRUE(second.run(attach, &a));
  EXPECT_FALSE(tu::file_exists(file + ".2"));
  EXPECT_EQ(lf::lines_with(file, "fresh").size(), 1u);
}

struct Numbered {
  std::string file;
  volatile LONG stop;
};

DWORD WINAPI write_numbered(LPVOID p) {
  Numbered* w = static_cast<Numbered*>(p);
  util_init(rel(w->file).c_str(), nullptr, nullptr, nullptr);
  for (int n = 0; !w->stop; ++n) {
    event("n=%d", n);
    Sleep(2);
  }
  return 0;
}

// An operator moves the file away while a thread writes: the next lines go
// to a fresh file under the name, and none is lost or written twice. While
// a directory stands in the name's way, the lines stay in the moved file.
TEST(MovedFile, NextLinesGoToAFreshFileUnderTheName) {
  for (bool blocked : {false, true}) {
    std::string dir = tu::fresh_dir();
    Numbered w{dir + "moved.log", 0};
    std::string away = dir + "away.log";
    HANDLE thread = CreateThread(NULL, 0, write_numbered, &w, 0, NULL);
    Sleep(300);
    ASSERT_TRUE(MoveFileA(w.file.c_str(), away.c_str())) << GetLastError();
    if (blocked) {
      ASSERT_TRUE(CreateDirectoryA(w.file.c_str(), NULL));
      Sleep(1500);
      RemoveDirectoryA(w.file.c_str());
    }
    DWORD moved_at = GetTickCount();
    while (!tu::file_exists(w.file) && GetTickCount() - moved_at < 10000)
      Sleep(5);
    DWORD back_after = GetTickCount() - moved_at;
    Sleep(300);
    w.stop = 1;
    WaitForSingleObject(thread, 30000);
    CloseHandle(thread);
    printf("moved file%s: a fresh file under the name after %lu ms\n",
           blocked ? ", then blocked for 1.5 s" : "",
           (unsigned long)back_after);

    int next = 0;
    for (const std::string& name : {away, w.file}) {
      std::vector<std::string> lines = lf::lines_with(name, "n=");
      EXPECT_FALSE(lines.empty()) << name;
      for (const std::string& line : lines)  // in order, each once
        EXPECT_EQ(line.substr(line.find("n=")), "n=" + std::to_string(next++));
    }
  }
}

}  // namespace

// Load: many writers on one shared file while other threads keep attaching,
// detaching and re-attaching among three files with a rotation profile in
// force. Afterwards every line is there once, whole, in its writer's order.
#include <gtest/gtest.h>
#include <stdio.h>
#include <zorvel.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "reliability_util.h"

namespace {

const int kWriters = 16;
const int kLinesPerWriter = 5000;
const int kMovers = 4;
const int kMaxMoves = 3000;  // per mover; it stops earlier when writers end
const char* const kFiles[3] = {"shared.log", "second.log", "third.log"};

struct LoadRun {
  std::string dir, profile;
  HANDLE attached;  // writers are all on the shared file
  volatile LONG writers_left;
  volatile LONG moves[kMovers];
};

std::string path(const LoadRun* run, int file) {
  return run->dir + kFiles[file];
}

void write_lines(int w, void* arg) {
  LoadRun* run = static_cast<LoadRun*>(arg);
  char mark[8];
  snprintf(mark, sizeof mark, "W%02d", w);
  util_init(path(run, 0).c_str(), (run->dir + "writers-err.log").c_str(), mark,
            run->profile.c_str());
  InterlockedDecrement(&run->writers_left);  // attached
  for (int n = 0; n < kLinesPerWriter; ++n) event("w=%d seq=%d", w, n);
}

// Each move attaches the thread's events and errors to two of the three
// files (the same file in both channels one time in three) and writes a
// line there.
void move_around(int m, void* arg) {
  LoadRun* run = static_cast<LoadRun*>(arg);
  char mark[8];
  snprintf(mark, sizeof mark, "M%d", m);
  WaitForSingleObject(run->attached, 60000);
  int i = 0;
  for (; i < kMaxMoves && run->writers_left > 0; ++i) {
    int e = (i + m) % 3, x = (i + m + i / 3) % 3;
    util_init(path(run, e).c_str(), path(run, x).c_str(), mark,
              run->profile.c_str());
    event("m=%d seq=%d", m, i);
  }
  run->moves[m] = i;
}

void writer_or_mover(int i, void* arg) {
  LoadRun* run = static_cast<LoadRun*>(arg);
  if (i < kMovers) {
    move_around(i, arg);
    return;
  }
  write_lines(i - kMovers, arg);
  InterlockedDecrement(&run->writers_left);  // done
}

// Lets the movers go once every writer holds the shared file.
DWORD WINAPI release_movers(LPVOID p) {
  LoadRun* run = static_cast<LoadRun*>(p);
  while (run->writers_left > kWriters) Sleep(1);
  SetEvent(run->attached);
  return 0;
}

TEST(DISABLED_Child, LoadWritersAndMovers) {
  std::string dir = ch::child_dir();
  ASSERT_FALSE(dir.empty());
  rl::Watchdog dog(100, "load: writers and movers");
  LoadRun run;
  run.dir = dir;
  run.profile = dir + "rotate.ini";
  run.attached = CreateEventA(NULL, TRUE, FALSE, NULL);
  run.writers_left = 2 * kWriters;  // one count to attach, one to finish
  for (volatile LONG& m : run.moves) m = 0;
  HANDLE waiter = CreateThread(NULL, 0, release_movers, &run, 0, NULL);
  ASSERT_TRUE(rl::run_group(kMovers + kWriters, writer_or_mover, &run, 95000));
  WaitForSingleObject(waiter, INFINITE);
  CloseHandle(waiter);
  FILE* f = fopen((dir + "moves.txt").c_str(), "w");
  for (int m = 0; m < kMovers; ++m) fprintf(f, "%ld\n", (long)run.moves[m]);
  fclose(f);
}

// "key=id seq=n" from a line's text.
bool id_and_seq(const std::string& rest, char key, int* id, int* seq) {
  char format[] = "?=%d seq=%d";
  format[0] = key;
  return sscanf(rest.c_str(), format, id, seq) == 2;
}

bool same_date_local_and_universal() {
  SYSTEMTIME local, utc;
  GetLocalTime(&local);
  GetSystemTime(&utc);
  return local.wDay == utc.wDay;
}

TEST(Load, SixteenWritersLoseNothingWhileSlotsChurn) {
  std::string dir = tu::fresh_dir();
  // The shared file exists from an earlier day: the first attachment
  // rotates it, once.
  tu::write_file(dir + "rotate.ini",
                 "[logfile]\r\nrotate=shared.log,3\r\nrotate=second.log,3\r\n"
                 "rotate=third.log,3\r\n");
  tu::write_file(dir + "shared.log", "yesterday\r\n");
  {
    HANDLE h = CreateFileA((dir + "shared.log").c_str(), FILE_WRITE_ATTRIBUTES,
                           FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                           OPEN_EXISTING, 0, NULL);
    SYSTEMTIME st = {2020, 5, 0, 4, 12, 0, 0, 0};
    FILETIME ft;
    SystemTimeToFileTime(&st, &ft);
    SetFileTime(h, &ft, &ft, &ft);
    CloseHandle(h);
  }
  bool dates_agree = same_date_local_and_universal();
  ch::ChildJob job;
  job.test = "DISABLED_Child.LoadWritersAndMovers";
  job.dir = dir;
  job.out_file = dir + "child.out";
  job.err_file = dir + "child.err";
  job.timeout_ms = 110000;
  DWORD start = GetTickCount();
  ASSERT_EQ(ch::run_child(job), 0u)
      << rl::child_report(job.out_file) << tu::read_file(job.err_file);
  DWORD elapsed = GetTickCount() - start;
  dates_agree = dates_agree && same_date_local_and_universal();

  EXPECT_EQ(tu::read_file(dir + "shared.log.1"), "yesterday\r\n");
  // Writers: every line once and in order in the shared file.
  rl::Split shared = rl::parse_file(dir + "shared.log");
  ASSERT_TRUE(shared.bad.empty())
      << shared.bad.size() << " bad lines, first " << shared.bad[0];
  std::vector<int> next(kWriters, 0);
  std::map<int, std::set<int>> moved;  // mover -> sequence numbers seen
  size_t written = 0;
  auto take_mover_line = [&](const tu::Line& line) {
    int id, seq;
    ASSERT_TRUE(id_and_seq(line.rest, 'm', &id, &seq)) << line.rest;
    EXPECT_TRUE(moved[id].insert(seq).second) << "twice: " << line.rest;
  };
  for (const tu::Line& line : shared.good) {
    int id, seq;
    if (line.mark[0] == 'M') {
      take_mover_line(line);
      continue;
    }
    ASSERT_TRUE(id_and_seq(line.rest, 'w', &id, &seq)) << line.rest;
    ASSERT_TRUE(id >= 0 && id < kWriters);
    ASSERT_EQ(seq, next[id]) << "writer " << id << " out of order or lost";
    ++next[id];
    ++written;
  }
  for (int w = 0; w < kWriters; ++w) EXPECT_EQ(next[w], kLinesPerWriter);

  // Movers: each line once across the other files and any rotated copies.
  for (int f = 1; f < 3; ++f)
    for (const char* suffix : {"", ".1", ".2", ".3"}) {
      std::string name = dir + kFiles[f] + suffix;
      if (!tu::file_exists(name)) continue;
      rl::Split split = rl::parse_file(name);
      EXPECT_TRUE(split.bad.empty()) << name << ": " << split.bad[0];
      for (const tu::Line& line : split.good) take_mover_line(line);
    }
  std::vector<std::string> counts =
      tu::split_lines(tu::read_file(dir + "moves.txt"));
  ASSERT_EQ(counts.size(), (size_t)kMovers);
  long total_moves = 0;
  for (int m = 0; m < kMovers; ++m) {
    long made = atol(counts[m].c_str());
    total_moves += made;
    EXPECT_GT(made, 0);
    // A file rotated away mid-run (local and universal dates disagree)
    // may take copies beyond the kept ones; otherwise nothing is missing.
    if (dates_agree) {
      EXPECT_EQ((long)moved[m].size(), made) << "mover " << m;
    }
  }
  printf(
      "load: %d writers x %d lines = %u lines; %d movers made %ld "
      "attachments; %lu ms\n",
      kWriters, kLinesPerWriter, (unsigned)written, kMovers, total_moves,
      (unsigned long)elapsed);
}

}  // namespace

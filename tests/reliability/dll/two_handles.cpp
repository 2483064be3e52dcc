// One file written through two handles: the same name as a thread's events
// and errors file, and the same file written by two processes. Every line
// must arrive once, whole, in its writer's order.
#include <gtest/gtest.h>
#include <stdio.h>
#include <zorvel.h>

#include <map>
#include <string>
#include <vector>

#include "reliability_util.h"

namespace {

// ------------------------------------------------------------ one process

const int kChannelThreads = 6;
const int kChannelLines = 400;

struct Pair {
  std::string f, g;
};

// Thread i writes warnings (to its events and its errors file) with the
// names F and G arranged by i % 3: (F, F), (F, G), (G, F).
void warn_through_both(int i, void* arg) {
  const Pair* p = static_cast<const Pair*>(arg);
  const std::string& events = i % 3 == 2 ? p->g : p->f;
  const std::string& errors = i % 3 == 1 ? p->g : p->f;
  char mark[8];
  snprintf(mark, sizeof mark, "T%d", i);
  util_init(events.c_str(), errors.c_str(), mark, nullptr);
  for (int n = 0; n < kChannelLines; ++n) warning("t=%d seq=%d", i, n);
}

TEST(DISABLED_Child, WarnThroughBothChannels) {
  std::string dir = ch::child_dir();
  ASSERT_FALSE(dir.empty());
  rl::Watchdog dog(60, "writers through both channels");
  Pair p{dir + "f.log", dir + "g.log"};
  ASSERT_TRUE(rl::run_group(kChannelThreads, warn_through_both, &p, 55000));
}

// Each writer's sequence numbers in file order, parsed from
// "<key>=<id> seq=<n>".
struct Sequences {
  std::map<long, std::vector<int>> by_writer;
  std::vector<std::string> odd;  // lines not of the expected shape
};

void collect(const rl::Split& split, const char* key, Sequences* s) {
  std::string prefix = std::string(key) + "=";
  for (const tu::Line& line : split.good) {
    size_t at = line.rest.find(prefix);
    if (at == std::string::npos) continue;
    long id = 0;
    int seq = -1;
    if (sscanf(line.rest.c_str() + at + prefix.size(), "%ld seq=%d", &id,
               &seq) != 2) {
      s->odd.push_back(line.rest);
      continue;
    }
    s->by_writer[id].push_back(seq);
  }
}

// Every writer's sequence is 0..count-1 in order, each once (repeats
// times over, interleaved: a warning reaches one file through both slots).
void expect_in_order(const std::vector<int>& seqs, int count, int repeats,
                     const std::string& who) {
  ASSERT_EQ(seqs.size(), (size_t)(count * repeats)) << who;
  std::vector<int> next(repeats, 0);
  for (int seq : seqs) {
    // The lowest copy still expecting this number takes it.
    int k = 0;
    while (k < repeats && next[k] != seq) ++k;
    ASSERT_LT(k, repeats) << who << ": seq " << seq << " out of order";
    ++next[k];
  }
}

TEST(TwoHandles, OneNameInBothChannelsLosesNoLine) {
  std::string dir = tu::fresh_dir();
  ch::ChildJob job;
  job.test = "DISABLED_Child.WarnThroughBothChannels";
  job.dir = dir;
  job.out_file = dir + "child.out";
  job.err_file = dir + "child.err";
  ASSERT_EQ(ch::run_child(job), 0u)
      << rl::child_report(job.out_file) << tu::read_file(job.err_file);
  // Per file: a (F, F) thread writes each warning twice into F; a thread
  // with F and G writes it once into each.
  for (const char* name : {"f.log", "g.log"}) {
    rl::Split split = rl::parse_file(dir + name);
    EXPECT_TRUE(split.bad.empty()) << name << ": " << split.bad[0];
    Sequences s;
    collect(split, "t", &s);
    EXPECT_TRUE(s.odd.empty());
    for (int i = 0; i < kChannelThreads; ++i) {
      int repeats = i % 3 == 0 ? (name[0] == 'f' ? 2 : 0) : 1;
      if (repeats == 0) {
        EXPECT_EQ(s.by_writer.count(i), 0u);
        continue;
      }
      expect_in_order(s.by_writer[i], kChannelLines, repeats,
                      std::string(name) + " thread " + std::to_string(i));
    }
  }
  printf(
      "channels: %d threads x %d warnings through events and errors "
      "slots of two files, %d lines, all once\n",
      kChannelThreads, kChannelLines, 2 * kChannelThreads * kChannelLines);
}

// ------------------------------------------------------------ processes

// With ZORVEL_PEER_TEST=<path>, the first process runs that build of this
// program instead: the i686 one beside an x86_64 run, where the machine runs
// both, so that 32-bit and 64-bit writers share the file and its lock.
const int kProcesses = 4;
const int kProcessThreads = 4;
const int kProcessLines = 20000;

void append_lines(int i, void* arg) {
  const std::string* file = static_cast<const std::string*>(arg);
  util_init(file->c_str(), nullptr, "P", nullptr);
  DWORD pid = GetCurrentProcessId();
  for (int n = 0; n < kProcessLines; ++n)
    event("w=%lu seq=%d", (unsigned long)(pid * 16 + i), n);
}

// Children wait for the parent's go, so that all write together.
void wait_for_go(void) {
  HANDLE go = OpenEventA(SYNCHRONIZE, FALSE,
                         ch::child_env("ZORVEL_RELIABILITY_GO").c_str());
  ASSERT_TRUE(go != NULL);
  WaitForSingleObject(go, 30000);
  CloseHandle(go);
}

// Runs count children of test in dir, started together; the first is the
// peer build when one is given.
void run_children(int count, const char* test, const std::string& dir) {
  std::string go_name =
      "zorvel-reliability-go-" + std::to_string(GetCurrentProcessId());
  HANDLE go = CreateEventA(NULL, TRUE, FALSE, go_name.c_str());
  std::vector<ch::Child> children(count);
  std::vector<ch::ChildJob> specs(count);
  for (int k = 0; k < count; ++k) {
    ch::ChildJob& job = specs[k];
    job.test = test;
    job.dir = dir;
    job.out_file = dir + "child" + std::to_string(k) + ".out";
    job.err_file = dir + "child" + std::to_string(k) + ".err";
    job.extra_env = "ZORVEL_RELIABILITY_GO=" + go_name;
    if (k == 0) job.exe = ch::child_env("ZORVEL_PEER_TEST");
    ASSERT_TRUE(ch::start_child(job, &children[k])) << job.exe;
  }
  Sleep(300);  // let them reach the start line
  SetEvent(go);
  for (int k = 0; k < count; ++k)
    EXPECT_EQ(ch::wait_child(&children[k], 105000), 0u)
        << rl::child_report(specs[k].out_file);
  CloseHandle(go);
}

TEST(DISABLED_Child, AppendFromOneProcess) {
  std::string dir = ch::child_dir();
  ASSERT_FALSE(dir.empty());
  rl::Watchdog dog(100, "appending process");
  wait_for_go();
  std::string file = dir + "shared.log";
  ASSERT_TRUE(rl::run_group(kProcessThreads, append_lines, &file, 95000));
}

TEST(TwoHandles, ProcessesAppendingToOneFileLoseNoLine) {
  std::string dir = tu::fresh_dir();
  run_children(kProcesses, "DISABLED_Child.AppendFromOneProcess", dir);

  rl::Split split = rl::parse_file(dir + "shared.log");
  EXPECT_TRUE(split.bad.empty())
      << split.bad.size() << " bad lines, first: " << split.bad[0];
  Sequences s;
  collect(split, "w", &s);
  EXPECT_EQ(s.by_writer.size(), (size_t)(kProcesses * kProcessThreads));
  size_t total = 0;
  for (const auto& w : s.by_writer) {
    total += w.second.size();
    expect_in_order(w.second, kProcessLines, 1,
                    "writer " + std::to_string(w.first));
  }
  EXPECT_EQ(total, (size_t)(kProcesses * kProcessThreads * kProcessLines));
  printf(
      "processes: %d processes x %d threads x %d lines, %u found once, in "
      "order\n",
      kProcesses, kProcessThreads, kProcessLines, (unsigned)total);
}

// ------------------------------------------------------------ rotation

// Three processes write one file that rotates at a small size while open:
// about a dozen rotations, each done once, by whichever writer saw it due.
const int kRotatingProcesses = 3;
const int kRotatingThreads = 2;
const int kRotatingLines = 3000;
const LONGLONG kRotationLimit = 96 * 1024;
const int kRotationCopies = 40;

void append_rotating(int i, void* arg) {
  const std::string* dir = static_cast<const std::string*>(arg);
  util_init((*dir + "rot.log").c_str(), nullptr, "R",
            (*dir + "rot.ini").c_str());
  DWORD pid = GetCurrentProcessId();
  for (int n = 0; n < kRotatingLines; ++n)
    event("w=%lu seq=%d", (unsigned long)(pid * 16 + i), n);
}

TEST(DISABLED_Child, AppendRotatingFromOneProcess) {
  std::string dir = ch::child_dir();
  ASSERT_FALSE(dir.empty());
  rl::Watchdog dog(100, "rotating process");
  wait_for_go();
  ASSERT_TRUE(rl::run_group(kRotatingThreads, append_rotating, &dir, 95000));
}

TEST(TwoHandles, ProcessesRotatingOneFileBySizeLoseNoLine) {
  std::string dir = tu::fresh_dir();
  tu::write_file(dir + "rot.ini", "[logfile]\r\nrotate_running=rot.log," +
                                      std::to_string(kRotationCopies) +
                                      ",96K\r\n");
  run_children(kRotatingProcesses,
               "DISABLED_Child.AppendRotatingFromOneProcess", dir);

  int copies = 0;
  while (tu::file_exists(dir + "rot.log." + std::to_string(copies + 1)))
    ++copies;
  EXPECT_GE(copies, 8);
  EXPECT_LE(copies, kRotationCopies);
  // Oldest first: each writer's lines, across the files, once and in order.
  Sequences s;
  size_t bad = 0;
  for (int k = copies; k >= 0; --k) {
    std::string name = dir + "rot.log";
    if (k) name += "." + std::to_string(k);
    rl::Split split = rl::parse_file(name);
    bad += split.bad.size();
    collect(split, "w", &s);
    // A copy was full: one more line would have passed the limit, so no
    // trigger rotated it twice.
    LONGLONG size = (LONGLONG)tu::read_file(name).size();
    EXPECT_LE(size, kRotationLimit) << name;
    if (k) {
      EXPECT_GT(size, kRotationLimit - 200) << name;
    }
  }
  EXPECT_EQ(bad, 0u);
  EXPECT_EQ(s.by_writer.size(),
            (size_t)(kRotatingProcesses * kRotatingThreads));
  for (const auto& w : s.by_writer)
    expect_in_order(w.second, kRotatingLines, 1,
                    "writer " + std::to_string(w.first));
  printf(
      "rotation: %d processes x %d threads x %d lines in %d copies and "
      "the file, each once, in order\n",
      kRotatingProcesses, kRotatingThreads, kRotatingLines, copies);
}

}  // namespace

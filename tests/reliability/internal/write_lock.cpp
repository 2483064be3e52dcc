// The write lock of a file as writers meet it: one lock for one file in both
// channels; locks left by a thread that was killed, and by a process that
// was killed, are taken over; a squatter on the lock's names costs neither
// progress nor whole lines.
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>

#include <map>
#include <string>
#include <vector>

#include "reliability_util.h"
#include "zorvel_int.h"

namespace {

struct Slots {
  LogSlot* events = nullptr;
  LogSlot* errors = nullptr;
};

// A thread that stays attached until told to end.
class Holder {
 public:
  Holder(const std::string& events, const std::string& errors)
      : events_(events), errors_(errors) {
    ready_ = CreateEventA(NULL, TRUE, FALSE, NULL);
    quit_ = CreateEventA(NULL, TRUE, FALSE, NULL);
    thread_ = CreateThread(NULL, 0, main, this, 0, NULL);
    WaitForSingleObject(ready_, 30000);
  }
  ~Holder() {
    SetEvent(quit_);
    WaitForSingleObject(thread_, 30000);
    CloseHandle(thread_);
    CloseHandle(ready_);
    CloseHandle(quit_);
  }
  Slots slots;

 private:
  static DWORD WINAPI main(LPVOID p) {
    Holder* self = static_cast<Holder*>(p);
    util_init(self->events_.empty() ? nullptr : self->events_.c_str(),
              self->errors_.empty() ? nullptr : self->errors_.c_str(), nullptr,
              nullptr);
    self->slots.events = ctx_slot(EVENTS_CHANNEL);
    self->slots.errors = ctx_slot(ERRORS_CHANNEL);
    SetEvent(self->ready_);
    WaitForSingleObject(self->quit_, INFINITE);
    lib_thread_detach();
    return 0;
  }
  std::string events_, errors_;
  HANDLE ready_, quit_, thread_;
};

TEST(WriteLock, OneFileInBothChannelsHasOneLockThroughReopening) {
  rl::Watchdog dog(60, "lock sharing");
  std::string dir = tu::fresh_dir();
  std::string f = dir + "both.log", other = dir + "other.log";
  Holder* a = new Holder(f, dir + "a-err.log");  // F in the events channel
  Holder b("", f);                               // F in the errors channel
  ASSERT_TRUE(a->slots.events && b.slots.errors);
  EXPECT_EQ(a->slots.events->lock, b.slots.errors->lock);
  Holder unrelated(other, "");
  EXPECT_NE(a->slots.events->lock, unrelated.slots.events->lock);

  // The events slot of F closes and opens again while the errors slot stays.
  delete a;
  Holder again(f, "");
  ASSERT_TRUE(again.slots.events);
  EXPECT_EQ(again.slots.events->lock, b.slots.errors->lock);
}

// A writer that dies holding every lock on its write path: its file slots
// and the two standard streams.
struct Victim {
  std::string events, errors;
  HANDLE owned_all;
};

DWORD WINAPI die_owning(LPVOID p) {
  Victim* v = static_cast<Victim*>(p);
  util_init(v->events.c_str(), v->errors.c_str(), "DEAD", nullptr);
  FileLock* locks[] = {ctx_slot(EVENTS_CHANNEL)->lock,
                       ctx_slot(ERRORS_CHANNEL)->lock,
                       g_tables[EVENTS_CHANNEL].slots[0].lock,
                       g_tables[ERRORS_CHANNEL].slots[0].lock};
  for (FileLock* lock : locks) file_lock_acquire(lock);
  SetEvent(v->owned_all);
  Sleep(INFINITE);  // killed here, mid-write as far as the locks know
  return 0;
}

TEST(WriteLock, LocksOfAKilledThreadAreTakenOver) {
  rl::Watchdog dog(60, "writers after a killed owner");
  std::string dir = tu::fresh_dir();
  Victim v{dir + "shared.log", dir + "errors.log",
           CreateEventA(NULL, TRUE, FALSE, NULL)};
  HANDLE victim = CreateThread(NULL, 0, die_owning, &v, 0, NULL);
  ASSERT_EQ(WaitForSingleObject(v.owned_all, 30000), WAIT_OBJECT_0);
  TerminateThread(victim, 9);
  WaitForSingleObject(victim, INFINITE);
  CloseHandle(victim);

  // Two writers in turn: the first meets the locks of the dead thread, the
  // second must find them free again.
  for (int i = 0; i < 2; ++i)
    tu::run_thread([&] {
      util_init(v.events.c_str(), v.errors.c_str(), "LIVE", nullptr);
      warning("after the dead owner %d", i);
      lib_thread_detach();
    });
  for (const std::string& file : {v.events, v.errors}) {
    rl::Split split = rl::parse_file(file);
    EXPECT_TRUE(split.bad.empty());
    ASSERT_EQ(split.good.size(), 2u) << file;
    EXPECT_NE(split.good[1].rest.find("after the dead owner 1"),
              std::string::npos);
  }
  CloseHandle(v.owned_all);
}

// ------------------------------------------------------------ processes

const int kWriterLines = 1500;
const DWORD kStartWait = 30000;

// The shared file of the process tests, and a named event of the parent.
std::string shared_file() { return ch::child_dir() + "shared.log"; }
HANDLE parent_event(const char* variable) {
  return OpenEventA(EVENT_MODIFY_STATE | SYNCHRONIZE, FALSE,
                    ch::child_env(variable).c_str());
}

// Takes the shared file's write lock, says so, and waits to be killed.
TEST(DISABLED_Child, HoldTheLock) {
  rl::Watchdog dog(60, "lock holder");
  util_init(shared_file().c_str(), nullptr, "HOLD", nullptr);
  file_lock_acquire(ctx_slot(EVENTS_CHANNEL)->lock);
  SetEvent(parent_event("ZORVEL_HOLDING"));
  Sleep(INFINITE);
}

// Two threads write kWriterLines each; the time the first line took (the
// wait for the lock) goes to the child's directory.
void write_numbered(int i, void* arg) {
  util_init(shared_file().c_str(), nullptr, "W", nullptr);
  DWORD start = GetTickCount();
  for (int n = 0; n < kWriterLines; ++n) {
    event("w=%lu seq=%d", (unsigned long)(GetCurrentProcessId() * 4 + i), n);
    if (n == 0) static_cast<DWORD*>(arg)[i] = GetTickCount() - start;
  }
}

TEST(DISABLED_Child, WriteNumberedLines) {
  rl::Watchdog dog(60, "writer beside a held lock");
  // Tells the parent, when it asks, that the writing starts now.
  std::string writing = ch::child_env("ZORVEL_WRITING");
  HANDLE started = writing.empty() ? NULL
                                   : OpenSemaphoreA(SEMAPHORE_MODIFY_STATE,
                                                    FALSE, writing.c_str());
  if (started) ReleaseSemaphore(started, 1, NULL);
  DWORD first[2] = {};
  ASSERT_TRUE(rl::run_group(2, write_numbered, first, 55000));
  char name[MAX_PATH];
  snprintf(name, sizeof name, "%sfirst-%lu.txt", ch::child_dir().c_str(),
           (unsigned long)GetCurrentProcessId());
  tu::write_file(name,
                 std::to_string(first[0] > first[1] ? first[0] : first[1]));
}

// Starts count writer processes on dir's shared.log; each releases the
// semaphore named writing, if any, as it starts writing.
void start_writers(const std::string& dir, int count,
                   std::vector<ch::Child>* children,
                   std::vector<ch::ChildJob>* jobs,
                   const std::string& writing = "") {
  children->resize(count);
  jobs->resize(count);
  for (int k = 0; k < count; ++k) {
    ch::ChildJob& job = (*jobs)[k];
    job.test = "DISABLED_Child.WriteNumberedLines";
    job.dir = dir;
    job.out_file = dir + "writer" + std::to_string(k) + ".out";
    job.err_file = dir + "writer" + std::to_string(k) + ".err";
    if (!writing.empty()) job.extra_env = "ZORVEL_WRITING=" + writing;
    ASSERT_TRUE(ch::start_child(job, &(*children)[k]));
  }
}

// Every writer's lines once, whole and in order; how many warning lines
// said the file fell back.
struct Outcome {
  size_t writers = 0, lines = 0, warnings = 0;
  std::vector<std::string> faults;
};

Outcome check_writers(const std::string& path) {
  Outcome out;
  rl::Split split = rl::parse_file(path);
  for (const std::string& bad : split.bad) out.faults.push_back("torn: " + bad);
  std::map<long, int> next;
  for (const tu::Line& line : split.good) {
    if (line.type == "W") {
      ++out.warnings;
      continue;
    }
    long id = 0;
    int seq = -1;
    size_t at = line.rest.find("w=");
    if (at == std::string::npos ||
        sscanf(line.rest.c_str() + at, "w=%ld seq=%d", &id, &seq) != 2 ||
        seq != next[id]++)
      out.faults.push_back("out of place: " + line.rest);
    ++out.lines;
  }
  out.writers = next.size();
  for (const auto& w : next)
    if (w.second != kWriterLines)
      out.faults.push_back("writer " + std::to_string(w.first) + ": " +
                           std::to_string(w.second) + " lines");
  return out;
}

// Waits for the writers and checks their file; the longest wait of a first
// line in ms into *longest_first.
void finish_writers(const std::string& dir, std::vector<ch::Child>* children,
                    const std::vector<ch::ChildJob>& jobs, Outcome* outcome,
                    DWORD* longest_first) {
  *longest_first = 0;
  for (size_t k = 0; k < children->size(); ++k) {
    EXPECT_EQ(ch::wait_child(&(*children)[k], 90000), 0u)
        << rl::child_report(jobs[k].out_file);
  }
  WIN32_FIND_DATAA found;
  HANDLE find = FindFirstFileA((dir + "first-*.txt").c_str(), &found);
  if (find != INVALID_HANDLE_VALUE) {
    do {
      DWORD ms = (DWORD)atol(tu::read_file(dir + found.cFileName).c_str());
      if (ms > *longest_first) *longest_first = ms;
    } while (FindNextFileA(find, &found));
    FindClose(find);
  }
  *outcome = check_writers(dir + "shared.log");
  EXPECT_EQ(outcome->writers, 2 * children->size());
  EXPECT_TRUE(outcome->faults.empty())
      << outcome->faults.size() << " faults, first: " << outcome->faults[0];
}

// A process killed while it holds a file's lock delays the writers of other
// processes only until one of them finds its owner dead: no fallback, no
// line lost or torn.
TEST(WriteLock, LockOfAKilledProcessIsTakenOver) {
  std::string dir = tu::fresh_dir();
  std::string holding =
      "zorvel-holding-" + std::to_string(GetCurrentProcessId());
  HANDLE held = CreateEventA(NULL, TRUE, FALSE, holding.c_str());
  ch::ChildJob job;
  job.test = "DISABLED_Child.HoldTheLock";
  job.dir = dir;
  job.out_file = dir + "holder.out";
  job.err_file = dir + "holder.err";
  job.extra_env = "ZORVEL_HOLDING=" + holding;
  ch::Child holder;
  ASSERT_TRUE(ch::start_child(job, &holder));
  ASSERT_EQ(WaitForSingleObject(held, kStartWait), WAIT_OBJECT_0)
      << rl::child_report(job.out_file);
  std::string writing =
      "zorvel-writing-" + std::to_string(GetCurrentProcessId());
  HANDLE started = CreateSemaphoreA(NULL, 0, 2, writing.c_str());
  std::vector<ch::Child> writers;
  std::vector<ch::ChildJob> jobs;
  start_writers(dir, 2, &writers, &jobs, writing);
  for (int k = 0; k < 2; ++k)
    EXPECT_EQ(WaitForSingleObject(started, kStartWait), WAIT_OBJECT_0);
  CloseHandle(started);
  Sleep(300);  // the writers wait for the held lock
  TerminateProcess(holder.process, 9);
  ch::wait_child(&holder, 5000);
  CloseHandle(held);

  Outcome outcome;
  DWORD longest;
  finish_writers(dir, &writers, jobs, &outcome, &longest);
  EXPECT_EQ(outcome.warnings, 0u) << "a writer fell back";
  printf(
      "killed holder: %u lines of 4 writers whole; longest first line %lu ms\n",
      (unsigned)outcome.lines, (unsigned long)longest);
}

// The names of the shared file's lock, as any process of the session can
// list them, taken first by this process: as objects of another type, or as
// a block of the right layout whose lock word names a live thread of ours.
struct Squatter {
  std::vector<HANDLE> held;
  explicit Squatter(const std::string& file, bool right_type) {
    HANDLE h = CreateFileA(file.c_str(), GENERIC_READ | GENERIC_WRITE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                           OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    char key[64];
    file_lock_name(h, file.c_str(), key, sizeof key);
    CloseHandle(h);
    std::string block = std::string("Local\\") + key, wake = block + "-wake";
    if (!right_type) {
      held.push_back(CreateMutexA(NULL, TRUE, block.c_str()));
      held.push_back(CreateMutexA(NULL, TRUE, wake.c_str()));
      return;
    }
    HANDLE mapping = CreateFileMappingA(INVALID_HANDLE_VALUE, NULL,
                                        PAGE_READWRITE, 0, 4096, block.c_str());
    LONG64* words = (LONG64*)MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, 0);
    if (words) {
      words[0] = (LONG64)0x5A564C4BLL << 32 | 1 << 16 | 32;  // the header
      words[1] =
          (LONG64)((ULONG64)GetCurrentProcessId() << 32 | GetCurrentThreadId());
      UnmapViewOfFile(words);
    }
    held.push_back(mapping);
    held.push_back(CreateEventA(NULL, FALSE, FALSE, wake.c_str()));
  }
  ~Squatter() {
    for (HANDLE h : held)
      if (h) CloseHandle(h);
  }
};

class SquattedNames : public testing::TestWithParam<bool> {};

// Two writer processes finish with every line whole: each falls back to the
// lock on the file itself and says so once.
TEST_P(SquattedNames, CostNoWholeLine) {
  std::string dir = tu::fresh_dir();
  Squatter squatter(dir + "shared.log", GetParam());
  for (HANDLE h : squatter.held) ASSERT_TRUE(h != NULL);
  std::vector<ch::Child> writers;
  std::vector<ch::ChildJob> jobs;
  start_writers(dir, 2, &writers, &jobs);
  Outcome outcome;
  DWORD longest;
  finish_writers(dir, &writers, jobs, &outcome, &longest);
  EXPECT_EQ(outcome.warnings, 2u);
  printf(
      "squatted names: %u lines of 4 writers whole, %u warnings; longest "
      "first line %lu ms\n",
      (unsigned)outcome.lines, (unsigned)outcome.warnings,
      (unsigned long)longest);
}

INSTANTIATE_TEST_SUITE_P(AnotherTypeOrHeld, SquattedNames,
                         testing::Values(false, true));

}  // namespace

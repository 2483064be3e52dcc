// Faults survived: writers killed at random moments, many threads meeting
// access violations at once under ExcFilter, and hosts whose standard
// streams are closed, invalid or broken.
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <zorvel.h>

#include <map>
#include <string>
#include <vector>

#include "crash_util.h"
#include "reliability_util.h"

namespace {

// "key=id seq=n" anywhere in a line's text.
bool id_and_seq(const std::string& rest, const char* key, int* id, int* seq) {
  size_t at = rest.find(std::string(key) + "=");
  if (at == std::string::npos) return false;
  char format[32];
  snprintf(format, sizeof format, "%s=%%d seq=%%d", key);
  return sscanf(rest.c_str() + at, format, id, seq) == 2;
}

std::map<std::string, long> read_results(const std::string& path) {
  std::map<std::string, long> values;
  std::string text = tu::read_file(path);
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    size_t blank = line.find(' ');
    if (blank != std::string::npos)
      values[line.substr(0, blank)] = atol(line.c_str() + blank + 1);
    start = end + 1;
  }
  return values;
}

ch::ChildJob child_spec(const std::string& test, const std::string& dir) {
  ch::ChildJob job;
  job.test = test;
  job.dir = dir;
  job.out_file = dir + "child.out";
  job.err_file = dir + "child.err";
  return job;
}

// ------------------------------------------------------------ killed writers

const int kSteadyWriters = 4;
const int kSteadyLines = 1000;  // at least; they go on while the killer works
const int kMaxSteadyLines = 30000;
const int kKills = 150;

struct KillRun {
  std::string file, errors;
  volatile LONG killer_done;
  long written[kSteadyWriters];
};

void steady_writer(int i, void* arg) {
  KillRun* run = static_cast<KillRun*>(arg);
  util_init(run->file.c_str(), run->errors.c_str(), "STEADY", nullptr);
  int n = 0;
  for (; n < kMaxSteadyLines && (n < kSteadyLines || !run->killer_done); ++n)
    event("s=%d seq=%d", i, n);
  run->written[i] = n;
}

struct Victim {
  KillRun* run;
  int id;
  volatile LONG stop;
  HANDLE started;
};

// A victim writes warnings: each takes the write mutexes of the shared
// file, the errors file, standard output and standard error in turn.
DWORD WINAPI victim_main(LPVOID p) {
  Victim* v = static_cast<Victim*>(p);
  // Until here the thread ran the loader's thread attach, under the
  // loader's lock: no place to die.
  SetEvent(v->started);
  util_init(v->run->file.c_str(), v->run->errors.c_str(), "VICTIM", nullptr);
  for (int n = 0; !v->stop; ++n) warning("v=%d seq=%d", v->id, n);
  return 0;
}

// Where a suspended victim stands, as far as killing it there is safe.
enum Spot { unsafe, in_library, waiting, seeking, writing, releasing, spots };
const char* const kSpotNames[spots] = {"unsafe",  "library", "waiting",
                                       "seeking", "writing", "releasing"};

struct Ranges {
  DWORD_PTR zorvel_base = 0, k32_base = 0, kbase_base = 0;
  DWORD zorvel_size = 0, k32_size = 0, kbase_size = 0;
  DWORD_PTR calls[4][2] = {};  // system call stubs, in Spot order from waiting
  bool load() {
    rl::module_range("kernel32.dll", &k32_base, &k32_size);
    rl::module_range("kernelbase.dll", &kbase_base, &kbase_size);
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    const char* names[4][2] = {
        {"NtWaitForSingleObject", "NtWaitForMultipleObjects"},
        {"NtQueryInformationFile", "NtSetInformationFile"},
        {"NtWriteFile", "NtWriteFile"},
        {"NtReleaseMutant", "NtReleaseMutant"}};
    for (int i = 0; i < 4; ++i)
      for (int j = 0; j < 2; ++j)
        calls[i][j] = (DWORD_PTR)GetProcAddress(ntdll, names[i][j]);
    return rl::module_range("zorvel.dll", &zorvel_base, &zorvel_size);
  }
};

bool within(DWORD_PTR address, DWORD_PTR base, DWORD size) {
  return address - base < size;
}

// A victim may die in the library's own code, or inside one of the system
// calls that kernel32 makes for the library (a wait, the seek, the write,
// the release of a write mutex). Anywhere else the C runtime or the loader
// may hold a lock of its own that a killed thread never gives back, which
// no library can mend.
Spot spot_of(const CONTEXT& context, const Ranges& r) {
  DWORD_PTR pc = tu::context_pc(context);
  if (within(pc, r.zorvel_base, r.zorvel_size)) return in_library;
  DWORD_PTR caller = 0;
  if (!ReadProcessMemory(GetCurrentProcess(), (void*)tu::context_sp(context),
                         &caller, sizeof caller, NULL))
    return unsafe;
  if (!within(caller, r.k32_base, r.k32_size) &&
      !within(caller, r.kbase_base, r.kbase_size))
    return unsafe;
  // A thread in a system call stands in its stub, right after the call.
  // Wine's x64 stubs call the dispatcher from their last bytes: 31 in.
  const DWORD stub_size = sizeof(void*) == 8 ? 32 : 16;
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 2; ++j)
      if (within(pc, r.calls[i][j], stub_size)) return (Spot)(waiting + i);
  return unsafe;
}

// Suspends the victim until it stands somewhere safe, then ends it there.
Spot kill_safely(HANDLE thread, const Ranges& r) {
  for (int attempt = 0; attempt < 2000; ++attempt) {
    if (SuspendThread(thread) == (DWORD)-1) return unsafe;
    CONTEXT context;
    context.ContextFlags = CONTEXT_CONTROL;
    Spot spot =
        GetThreadContext(thread, &context) ? spot_of(context, r) : unsafe;
    if (spot != unsafe) {
      TerminateThread(thread, 0xDEAD);
      return spot;
    }
    ResumeThread(thread);
    Sleep(attempt % 8 == 7 ? 1 : 0);
  }
  return unsafe;
}

DWORD WINAPI killer_main(LPVOID p) {
  KillRun* run = static_cast<KillRun*>(p);
  Ranges ranges;
  if (!ranges.load()) return 1;
  srand(GetCurrentProcessId());
  long count[spots] = {};
  for (int k = 0; k < kKills; ++k) {
    // A killed victim keeps its record: leaked.
    Victim* v = new Victim{run, k, 0, CreateEventA(NULL, TRUE, FALSE, NULL)};
    HANDLE thread = CreateThread(NULL, 64 * 1024, victim_main, v,
                                 STACK_SIZE_PARAM_IS_A_RESERVATION, NULL);
    WaitForSingleObject(v->started, INFINITE);
    CloseHandle(v->started);
    Sleep((DWORD)(rand() % 4));
    Spot spot = kill_safely(thread, ranges);
    if (spot == unsafe) v->stop = 1;  // never caught in a safe spot: spared
    ++count[spot];
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
  }
  std::string text;
  for (int i = 0; i < spots; ++i)
    text += std::string(kSpotNames[i]) + " " + std::to_string(count[i]) + "\n";
  tu::write_file(run->file + ".kills", text);
  run->killer_done = 1;
  return 0;
}

TEST(DISABLED_Child, KillWritersAtRandom) {
  std::string dir = ch::child_dir();
  ASSERT_FALSE(dir.empty());
  rl::Watchdog dog(80, "writers beside killed threads");
  KillRun run{dir + "shared.log", dir + "errors.log", 0, {}};
  HANDLE killer = CreateThread(NULL, 0, killer_main, &run, 0, NULL);
  ASSERT_TRUE(rl::run_group(kSteadyWriters, steady_writer, &run, 75000));
  ASSERT_EQ(WaitForSingleObject(killer, 75000), WAIT_OBJECT_0);
  CloseHandle(killer);
  std::string text;
  for (int i = 0; i < kSteadyWriters; ++i)
    text +=
        "s" + std::to_string(i) + " " + std::to_string(run.written[i]) + "\n";
  tu::write_file(dir + "steady.txt", text);
}

TEST(Faults, WritersKilledAtRandomLeaveOthersWriting) {
  std::string dir = tu::fresh_dir();
  ch::ChildJob job = child_spec("DISABLED_Child.KillWritersAtRandom", dir);
  ASSERT_EQ(ch::run_child(job), 0u)
      << rl::child_report(job.out_file) << tu::read_file(job.err_file);
  std::map<std::string, long> results = read_results(dir + "shared.log.kills");
  std::map<std::string, long> steady = read_results(dir + "steady.txt");
  long kills = 0, holding = 0;
  for (int i = in_library; i < spots; ++i) kills += results[kSpotNames[i]];
  for (int i = seeking; i < spots; ++i) holding += results[kSpotNames[i]];
  EXPECT_GE(kills, kKills / 2) << "too few kills landed";

  // Steady lines: all there, in order. Victim lines: whole, each once.
  rl::Split split = rl::parse_file(dir + "shared.log");
  ASSERT_TRUE(split.bad.empty())
      << split.bad.size() << " cut lines, first " << split.bad[0];
  std::vector<int> next(kSteadyWriters, 0);
  std::map<int, int> victim_next;
  long victim_lines = 0;
  for (const tu::Line& line : split.good) {
    int id, seq;
    if (line.type == "V") {
      ASSERT_TRUE(id_and_seq(line.rest, "s", &id, &seq)) << line.rest;
      ASSERT_TRUE(id >= 0 && id < kSteadyWriters) << line.rest;
      ASSERT_EQ(seq, next[id]) << "steady writer " << id;
      ++next[id];
    } else {
      ASSERT_EQ(line.type, "W");
      ASSERT_TRUE(id_and_seq(line.rest, "v", &id, &seq)) << line.rest;
      ASSERT_EQ(seq, victim_next[id]) << "victim " << id;
      ++victim_next[id];
      ++victim_lines;
    }
  }
  long steady_lines = 0;
  for (int i = 0; i < kSteadyWriters; ++i) {
    long written = steady["s" + std::to_string(i)];
    EXPECT_GE(written, kSteadyLines);
    EXPECT_EQ(next[i], written) << "steady writer " << i;
    steady_lines += next[i];
  }
  rl::Split errors = rl::parse_file(dir + "errors.log");
  EXPECT_TRUE(errors.bad.empty()) << errors.bad[0];
  printf(
      "killed: %ld victims (%ld in library code, %ld waiting, %ld holding "
      "a write mutex), %ld spared; %ld victim lines; %d steady writers "
      "wrote %ld lines\n",
      kills, results["library"], results["waiting"], holding, results["unsafe"],
      victim_lines, kSteadyWriters, steady_lines);
}

// ------------------------------------------------------------ ExcFilter

const int kFaulting = 32;
const int kFaultRounds = 2;
const int kReportWriters = 3;
const int kReportLines = 300;

int* volatile g_nowhere;

__attribute__((noinline, optimize("O0"))) void write_nowhere(void) {
  *g_nowhere = 7;
}
__attribute__((noinline, optimize("O0"))) DWORD WINAPI fault_main(LPVOID go) {
  WaitForSingleObject((HANDLE)go, INFINITE);
  write_nowhere();
  return 0;
}

// Ordinary lines in the same events.log while the reports are written.
void report_neighbour(int i, void*) {
  util_init(".\\events.log", nullptr, "NEXT", nullptr);
  for (int n = 0; n < kReportLines; ++n) event("n=%d seq=%d", i, n);
}

DWORD WINAPI neighbours_main(LPVOID) {
  rl::run_group(kReportWriters, report_neighbour, nullptr, 60000);
  return 0;
}

TEST(DISABLED_Child, FaultAllAtOnce) {
  std::string dir = ch::child_dir();
  ASSERT_FALSE(dir.empty());
  rl::Watchdog dog(80, "threads faulting under ExcFilter");
  SetUnhandledExceptionFilter(ExcFilter);
  HANDLE neighbours = CreateThread(NULL, 0, neighbours_main, NULL, 0, NULL);
  std::string results = "pid " + std::to_string(GetCurrentProcessId()) + "\n";
  for (int round = 0; round < kFaultRounds; ++round) {
    HANDLE go = CreateEventA(NULL, TRUE, FALSE, NULL);
    HANDLE threads[kFaulting];
    DWORD tids[kFaulting];
    for (int i = 0; i < kFaulting; ++i) {
      threads[i] = CreateThread(NULL, 0, fault_main, go, 0, &tids[i]);
      ASSERT_TRUE(threads[i] != NULL);
    }
    SetEvent(go);
    ASSERT_EQ(WaitForMultipleObjects(kFaulting, threads, TRUE, 70000),
              WAIT_OBJECT_0);
    for (int i = 0; i < kFaulting; ++i) {
      DWORD code = 0;
      GetExitCodeThread(threads[i], &code);
      results +=
          "t" + std::to_string(tids[i]) + " " + std::to_string(code) + "\n";
      CloseHandle(threads[i]);
    }
    CloseHandle(go);
  }
  WaitForSingleObject(neighbours, 70000);
  CloseHandle(neighbours);
  results += "went_on 1\n";
  tu::write_file(dir + "results.txt", results);
}

size_t file_size(const std::string& path) { return tu::read_file(path).size(); }

TEST(Faults, ThirtyTwoThreadsFaultingAtOnceWriteWholeReports) {
  std::string dir = tu::fresh_dir();
  std::string events = tu::exe_dir() + "events.log";
  size_t from = file_size(events);
  ch::ChildJob job = child_spec("DISABLED_Child.FaultAllAtOnce", dir);
  ASSERT_EQ(ch::run_child(job), 0u)
      << rl::child_report(job.out_file) << tu::read_file(job.err_file);
  std::map<std::string, long> results = read_results(dir + "results.txt");
  EXPECT_EQ(results["went_on"], 1);
  long pid = results["pid"];
  ASSERT_NE(pid, 0);

  // events.log is shared with other test programs: this child's lines are
  // picked by process id, and every line in the new part must be whole.
  std::string text = tu::read_file(events).substr(from);
  for (const std::string& raw : tu::split_lines(text)) {
    tu::Line line;
    EXPECT_TRUE(tu::parse_line(raw, &line)) << "cut line: " << raw;
  }
  std::string exception_line;
  int reports = 0;
  for (const auto& r : results) {
    if (r.first[0] != 't') continue;
    EXPECT_EQ(r.second, 1) << "exit code of thread " << r.first;
    long tid = atol(r.first.c_str() + 1);
    std::vector<tu::Line> lines = cr::lines_of(text, pid, tid);
    ASSERT_GE(lines.size(), 7u) << "thread " << tid;
    // Every thread met the same instruction.
    if (exception_line.empty()) exception_line = lines[1].rest;
    cr::expect_report(lines, "Unhandled exception filter.", exception_line);
    ++reports;
  }
  EXPECT_EQ(reports, kFaulting * kFaultRounds);
  EXPECT_EQ(exception_line.compare(0, 21, "Exception 0xC0000005 "), 0);
  // The neighbours' lines all arrived, in order.
  std::vector<int> next(kReportWriters, 0);
  for (const tu::Line& line : cr::lines_of(text, pid, 0)) {
    int id, seq;
    if (line.type != "V") continue;
    ASSERT_TRUE(id_and_seq(line.rest, "n", &id, &seq));
    ASSERT_TRUE(id >= 0 && id < kReportWriters) << line.rest;
    ASSERT_EQ(seq, next[id]);
    ++next[id];
  }
  for (int i = 0; i < kReportWriters; ++i) EXPECT_EQ(next[i], kReportLines);
  printf(
      "faults: %d access violations in %d rounds of %d threads, %d whole "
      "reports\n",
      kFaulting * kFaultRounds, kFaultRounds, kFaulting, reports);
}

// ------------------------------------------------------------ streams

struct StreamCase {
  const char* name;
  ch::Stream out, err;
};

void PrintTo(const StreamCase& c, std::ostream* os) { *os << c.name; }

// Every reporting call, as a host makes them; all must return.
void call_everything(const std::string& dir) {
  util_init((dir + "events.log").c_str(), (dir + "errors.log").c_str(), "STRM",
            nullptr);
  event("event %d", 1);
  SetDebugLevel(2);
  devent(2, "debug %d", 2);
  warning("warning %d", 3);
  error("error %d", 4);
  place("C:\\src\\streams.cpp", 42);
  SetLastError(ERROR_FILE_NOT_FOUND);
  oserrori("os error %d", 5);
  socerrori("socket error %d", 6);
  try {
    kxraise("raised %d", 7);
  } catch (const CError&) {
  }
  tu::run_thread([] { show_message("shown through show_message"); });
}

TEST(DISABLED_Child, CallEverything) {
  std::string dir = ch::child_dir();
  if (dir.empty()) return;
  rl::Watchdog dog(60, "calls with bad standard streams");
  call_everything(dir);
  tu::write_file(dir + "results.txt", "returned 1\n");
}

class Streams : public testing::TestWithParam<StreamCase> {};

TEST_P(Streams, EveryCallReturnsAndFilesGetTheirLines) {
  std::string dir = tu::fresh_dir();
  ch::ChildJob job = child_spec("DISABLED_Child.CallEverything", dir);
  job.out = GetParam().out;
  job.err = GetParam().err;
  EXPECT_EQ(ch::run_child(job), 0u);
  EXPECT_EQ(read_results(dir + "results.txt")["returned"], 1);
  rl::Split events = rl::parse_file(dir + "events.log");
  rl::Split errors = rl::parse_file(dir + "errors.log");
  EXPECT_TRUE(events.bad.empty() && errors.bad.empty());
  std::string types;
  for (const tu::Line& line : events.good) types += line.type;
  EXPECT_EQ(types, "V2WEOS");
  types.clear();
  for (const tu::Line& line : errors.good) types += line.type;
  EXPECT_EQ(types, "WEOS");
}

INSTANTIATE_TEST_SUITE_P(
    Table, Streams,
    testing::Values(
        StreamCase{"closed", ch::Stream::closed, ch::Stream::closed},
        StreamCase{"invalid", ch::Stream::invalid, ch::Stream::invalid},
        StreamCase{"broken_pipes", ch::Stream::broken, ch::Stream::broken},
        StreamCase{"read_only", ch::Stream::read_only, ch::Stream::read_only},
        StreamCase{"closed_out_broken_err", ch::Stream::closed,
                   ch::Stream::broken}),
    [](const testing::TestParamInfo<StreamCase>& info) {
      return std::string(info.param.name);
    });

}  // namespace

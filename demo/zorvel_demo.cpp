// zorvel-demo: a small host for zorvel.dll.
//
// Run without arguments, it starts itself again as a worker process whose
// standard output and standard error go to two files, then shows, labelled,
// what reached each stream, what the log files hold and the crash report.
// The worker process starts a few threads; each attaches to its events and
// errors files (two share one pair, one has its own, rotated daily by a
// profile), sets a mark and a banner and writes events, debug events, a
// warning and an error. One reports an OS error and catches a raised one.
// A last thread meets an access violation with ExcFilter installed.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <stdio.h>
#include <string.h>
#include <windows.h>
#include <zorvel.h>

#include <string>
#include <vector>

namespace {

const char kWorkerSwitch[] = "--workers";
const int kWorkers = 3;
const int kDebugLevel = 2;

// Relative names resolve against the executable's directory.
const char kOutputDir[] = "demo-output\\";
const char kLogDir[] = "demo-output\\logs\\";
const char kProfile[] = "demo-output\\demo.ini";
const char kDumpDir[] = "demo-output\\dumps";
const char kRotated[] = "cache-events.log";

// ------------------------------------------------------------ worker process

struct WorkerPlan {
  const char* mark;
  const char* task;
  const char* events_file;  // under kLogDir
  const char* errors_file;
};

const WorkerPlan kPlans[kWorkers] = {
    {"NET", "accepting clients", "app-events.log", "app-errors.log"},
    {"DB", "running queries", "app-events.log", "app-errors.log"},
    {"CACHE", "evicting entries", kRotated, "cache-errors.log"},
};

std::string log_name(const char* file) { return std::string(kLogDir) + file; }

// An OS error line, then a raised COSError caught and logged.
void report_os_errors() {
  const char missing[] = "C:\\no\\such\\file.cfg";
  place("demo\\zorvel_demo.cpp", __LINE__);
  HANDLE h = CreateFileA(missing, GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, 0);
  if (h != INVALID_HANDLE_VALUE) {
    CloseHandle(h);
    return;
  }
  oserrori("cannot open %s. ", missing);
  try {
    kxraiseos("cannot open %s.", missing);
  } catch (const COSError& e) {
    event("caught COSError from %s line %d: %s", e.file, e.line, e.message);
  }
}

DWORD WINAPI worker_main(LPVOID param) {
  const int id = (int)(INT_PTR)param;
  const WorkerPlan& plan = kPlans[id];
  char banner[64];
  snprintf(banner, sizeof banner, "[worker %d] ", id + 1);

  util_init(log_name(plan.events_file).c_str(),
            log_name(plan.errors_file).c_str(), plan.mark, kProfile);
  setbanner(banner);
  event("started, %s", plan.task);
  if (id == 0) report_os_errors();
  devent(1, "debug level 1: %d items queued", 10 * (id + 1));
  devent(2, "debug level 2: state %s", "steady");
  devent(3, "debug level 3: too detailed, filtered out");
  warning("%s is slow: %d ms", plan.task, 250 + id);
  error("%s failed for client %d", plan.task, 7 + id);
  event("finished");
  return 0;
}

// Stores through a null pointer from a leaf: on i686 g++ gives touch no
// frame of its own, so the report's call stack goes from touch straight to
// crash_worker, without crash_worker_body (docs/crash-reports.md).
static int* volatile s_null_pointer;

__declspec(noinline) void touch(int value) { *s_null_pointer = value; }

__declspec(noinline) void crash_worker_body() {
  util_init(log_name("crash-events.log").c_str(),
            log_name("crash-errors.log").c_str(), "CRASH", NULL);
  event("about to store through a null pointer");
  touch(42);
  event("not reached");
}

DWORD WINAPI crash_worker(LPVOID) {
  crash_worker_body();
  return 0;
}

// A thread meets an access violation; ExcFilter writes the report to
// events.log beside the executable, has a minidump written, and ends only
// that thread.
void run_crash_worker() {
  util_set_dump(kDumpDir, ZORVEL_DUMP_SMALL);
  SetUnhandledExceptionFilter(ExcFilter);
  HANDLE thread = CreateThread(NULL, 0, crash_worker, NULL, 0, NULL);
  WaitForSingleObject(thread, INFINITE);
  DWORD code = 0;
  GetExitCodeThread(thread, &code);
  CloseHandle(thread);
  event("the crashed thread ended with exit code %lu; the process goes on",
        code);
  util_set_dump(NULL, ZORVEL_DUMP_SMALL);
}

// The worker process: its standard streams are the files its parent reads.
int run_workers() {
  SetDebugLevel(kDebugLevel);
  util_set_mark("MAIN");
  event("starting %d worker threads, debug level %d", kWorkers, kDebugLevel);

  HANDLE threads[kWorkers];
  for (int i = 0; i < kWorkers; ++i)
    threads[i] =
        CreateThread(NULL, 0, worker_main, (LPVOID)(INT_PTR)i, 0, NULL);
  WaitForMultipleObjects(kWorkers, threads, TRUE, INFINITE);
  for (HANDLE h : threads) CloseHandle(h);

  event("all worker threads have ended");
  run_crash_worker();
  return 0;
}

// ------------------------------------------------------------ capture

std::string exe_path() {
  char path[MAX_PATH];
  DWORD n = GetModuleFileNameA(NULL, path, sizeof path);
  return std::string(path, n);
}

std::string exe_dir() {
  std::string path = exe_path();
  return path.substr(0, path.rfind('\\') + 1);
}

HANDLE create_inheritable(const std::string& path) {
  SECURITY_ATTRIBUTES sa = {sizeof sa, NULL, TRUE};
  return CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &sa,
                     CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
}

// Runs this program as the worker process with its standard output and
// standard error going to the two files. Returns the worker's exit code and
// its process id.
DWORD run_worker_process(const std::string& out_file,
                         const std::string& err_file, DWORD* pid) {
  HANDLE out = create_inheritable(out_file);
  HANDLE err = create_inheritable(err_file);
  if (out == INVALID_HANDLE_VALUE || err == INVALID_HANDLE_VALUE) {
    fprintf(stderr, "zorvel-demo: cannot create %s or %s\n", out_file.c_str(),
            err_file.c_str());
    return 1;
  }
  std::string command = "\"" + exe_path() + "\" " + kWorkerSwitch;
  std::vector<char> line(command.begin(), command.end());
  line.push_back(0);

  STARTUPINFOA si = {};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdOutput = out;
  si.hStdError = err;
  PROCESS_INFORMATION pi = {};
  DWORD code = 1;
  if (CreateProcessA(NULL, line.data(), NULL, NULL, TRUE, 0, NULL, NULL, &si,
                     &pi)) {
    *pid = pi.dwProcessId;
    WaitForSingleObject(pi.hProcess, INFINITE);
    GetExitCodeProcess(pi.hProcess, &code);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
  } else {
    fprintf(stderr, "zorvel-demo: cannot start the worker process (%lu)\n",
            GetLastError());
  }
  CloseHandle(out);
  CloseHandle(err);
  return code;
}

// ------------------------------------------------------------ report

std::vector<std::string> read_lines(const std::string& path) {
  std::vector<std::string> lines;
  FILE* f = fopen(path.c_str(), "rb");
  if (!f) return lines;
  std::string text;
  char chunk[4096];
  size_t n;
  while ((n = fread(chunk, 1, sizeof chunk, f)) > 0) text.append(chunk, n);
  fclose(f);
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find("\r\n", start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 2;
  }
  return lines;
}

// The line's type: the text before the header's first ": ".
std::string line_type(const std::string& line) {
  size_t colon = line.find(": ");
  return colon == std::string::npos ? "?" : line.substr(0, colon);
}

struct TypeCounts {
  int events = 0, debug = 0, warnings = 0, errors = 0, os_errors = 0, other = 0;
};

TypeCounts count_types(const std::vector<std::string>& lines) {
  TypeCounts c;
  for (const std::string& line : lines) {
    std::string type = line_type(line);
    if (type == "V")
      ++c.events;
    else if (type.size() == 1 && type[0] >= '0' && type[0] <= '9')
      ++c.debug;
    else if (type == "W")
      ++c.warnings;
    else if (type == "E")
      ++c.errors;
    else if (type == "O")
      ++c.os_errors;
    else
      ++c.other;
  }
  return c;
}

void print_stream(const char* name, const std::vector<std::string>& lines) {
  printf("\n--- what reached %s (%u lines) ---\n", name,
         (unsigned)lines.size());
  for (const std::string& line : lines) printf("%s\n", line.c_str());
}

void print_counts(const char* name, const TypeCounts& c) {
  printf(
      "%-16s V events %d, debug events %d, W warnings %d, E errors %d, "
      "O OS errors %d",
      name, c.events, c.debug, c.warnings, c.errors, c.os_errors);
  if (c.other) printf(", other %d", c.other);
  printf("\n");
}

// Events and debug events belong on standard output only; every warning,
// error and OS error on both streams. Crash reports reach neither.
bool streams_as_expected(const TypeCounts& out, const TypeCounts& err) {
  const int per_worker_debug = kDebugLevel;  // levels 1 .. kDebugLevel
  // main: 2 + the crash worker's outcome; each worker: 2; NET: the caught
  // error; the crash worker: 1 before it faults.
  const int events = 3 + 2 * kWorkers + 1 + 1;
  return out.events == events && out.debug == per_worker_debug * kWorkers &&
         out.warnings == kWorkers && out.errors == kWorkers &&
         out.os_errors == 1 && err.events == 0 && err.debug == 0 &&
         err.warnings == kWorkers && err.errors == kWorkers &&
         err.os_errors == 1 && out.other == 0 && err.other == 0;
}

// ------------------------------------------------------------ files

void write_text(const std::string& path, const char* text) {
  FILE* f = fopen(path.c_str(), "wb");
  if (!f) return;
  fputs(text, f);
  fclose(f);
}

// Dates a file yesterday (under Wine its creation date follows).
void date_yesterday(const std::string& path) {
  HANDLE file = CreateFileA(path.c_str(), FILE_WRITE_ATTRIBUTES,
                            FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
  if (file == INVALID_HANDLE_VALUE) return;
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  ULARGE_INTEGER t;
  t.LowPart = now.dwLowDateTime;
  t.HighPart = now.dwHighDateTime;
  t.QuadPart -= 26ULL * 3600 * 10000000;  // 26 hours back
  FILETIME past = {t.LowPart, t.HighPart};
  SetFileTime(file, &past, &past, &past);
  CloseHandle(file);
}

// The profile rotates the cache's events file, kept with three copies. The
// file left by the last run is dated yesterday so that this run rotates it.
void prepare_rotation(const std::string& base) {
  CreateDirectoryA((base + kLogDir).c_str(), NULL);
  write_text(base + kProfile,
             "[logfile]\r\n"
             "; shift cache-events.log to .1, .2, .3 once a day\r\n"
             "rotate = cache-events.log,3\r\n");
  std::string rotated = base + kLogDir + kRotated;
  if (GetFileAttributesA(rotated.c_str()) == INVALID_FILE_ATTRIBUTES)
    write_text(rotated, "(a line written yesterday)\r\n");
  date_yesterday(rotated);
}

void print_log_files(const std::string& dir) {
  printf("\n--- log files in %s ---\n", dir.c_str());
  WIN32_FIND_DATAA data;
  HANDLE find = FindFirstFileA((dir + "*.log*").c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return;
  do {
    std::vector<std::string> lines = read_lines(dir + data.cFileName);
    printf("\n%s (%u lines)\n", data.cFileName, (unsigned)lines.size());
    for (const std::string& line : lines) printf("  %s\n", line.c_str());
  } while (FindNextFileA(find, &data));
  FindClose(find);
}

// The worker process's lines in events.log beside the executable: its crash
// report.
// Also gives the dump the report's last line names, if any. Lines before
// the first skip belong to earlier processes, which may have had this id.
int print_crash_report(const std::string& events_log, DWORD pid, size_t skip,
                       std::string* dump) {
  char id[32];
  snprintf(id, sizeof id, " (%lu:", pid);
  printf("\n--- crash report in %s (process %lu) ---\n", events_log.c_str(),
         pid);
  const char written[] = "): Minidump written: ";
  int count = 0;
  std::vector<std::string> lines = read_lines(events_log);
  for (size_t i = skip; i < lines.size(); ++i) {
    const std::string& line = lines[i];
    if (line.find(id) == std::string::npos) continue;
    printf("%s\n", line.c_str());
    size_t at = line.find(written);
    if (at != std::string::npos) *dump = line.substr(at + strlen(written));
    ++count;
  }
  return count;
}

// The dump's size, 0 when it is not a minidump.
DWORD dump_size(const std::string& path) {
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, NULL,
                            OPEN_EXISTING, 0, NULL);
  if (file == INVALID_HANDLE_VALUE) return 0;
  char signature[4] = {0};
  DWORD got = 0;
  bool ok = ReadFile(file, signature, 4, &got, NULL) && got == 4 &&
            memcmp(signature, "MDMP", 4) == 0;
  DWORD size = GetFileSize(file, NULL);
  CloseHandle(file);
  return ok ? size : 0;
}

// Dumps of earlier runs go, so that the one named is this run's.
void clear_dumps(const std::string& dir) {
  WIN32_FIND_DATAA data;
  HANDLE find = FindFirstFileA((dir + "*.dmp").c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return;
  do DeleteFileA((dir + data.cFileName).c_str());
  while (FindNextFileA(find, &data));
  FindClose(find);
}

int run_demo() {
  std::string base = exe_dir();
  std::string dir = base + kOutputDir;
  CreateDirectoryA(dir.c_str(), NULL);
  std::string out_file = dir + "stdout.txt", err_file = dir + "stderr.txt";
  prepare_rotation(base);
  clear_dumps(base + kDumpDir + "\\");

  printf(
      "zorvel demo: %d worker threads, each with a mark and a banner,\n"
      "write events, debug events (level %d in force), a warning and an\n"
      "error into their log files. Their process's standard output and\n"
      "standard error go to files in %s; below is what reached each, what\n"
      "the log files hold, and the report of a thread that crashed.\n",
      kWorkers, kDebugLevel, dir.c_str());
  size_t earlier_lines = read_lines(base + "events.log").size();
  DWORD pid = 0;
  DWORD code = run_worker_process(out_file, err_file, &pid);
  if (code != 0) {
    fprintf(stderr, "zorvel-demo: the worker process ended with %lu\n", code);
    return 1;
  }

  std::vector<std::string> out = read_lines(out_file);
  std::vector<std::string> err = read_lines(err_file);
  print_stream("standard output", out);
  print_stream("standard error", err);

  TypeCounts out_counts = count_types(out), err_counts = count_types(err);
  printf("\n--- summary ---\n");
  print_counts("standard output:", out_counts);
  print_counts("standard error:", err_counts);
  print_log_files(base + kLogDir);
  std::string dump;
  int report_lines =
      print_crash_report(base + "events.log", pid, earlier_lines, &dump);
  DWORD size = dump.empty() ? 0 : dump_size(dump);
  printf("\n--- minidump ---\n%s: %lu bytes\n", dump.c_str(), size);

  bool ok = streams_as_expected(out_counts, err_counts) && report_lines >= 8 &&
            size > 0;
  printf("\n%s\n", ok ? "every line reached the streams it belongs to, the "
                        "crash report is in events.log and its minidump in "
                        "demo-output\\dumps"
                      : "UNEXPECTED: some lines are missing or misplaced");
  return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && strcmp(argv[1], kWorkerSwitch) == 0) return run_workers();
  return run_demo();
}

// zorvel-demo: a small host for zorvel.dll.
//
// Run without arguments, it starts itself again as a worker process whose
// standard output and standard error go to two files, then shows, labelled,
// what reached each stream. The worker process starts a few threads; each
// sets a mark and a banner and writes events, debug events, a warning and an
// error.
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

// ------------------------------------------------------------ worker process

struct WorkerSpec {
  const char* mark;
  const char* task;
};

const WorkerSpec kSpecs[kWorkers] = {
    {"NET", "accepting clients"},
    {"DB", "running queries"},
    {"CACHE", "evicting entries"},
};

DWORD WINAPI worker_main(LPVOID param) {
  const int id = (int)(INT_PTR)param;
  const WorkerSpec& spec = kSpecs[id];
  char banner[64];
  snprintf(banner, sizeof banner, "[worker %d] ", id + 1);

  util_set_mark(spec.mark);
  setbanner(banner);
  event("started, %s", spec.task);
  devent(1, "debug level 1: %d items queued", 10 * (id + 1));
  devent(2, "debug level 2: state %s", "steady");
  devent(3, "debug level 3: too detailed, filtered out");
  warning("%s is slow: %d ms", spec.task, 250 + id);
  error("%s failed for client %d", spec.task, 7 + id);
  event("finished");
  return 0;
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
// standard error going to the two files. Returns the worker's exit code.
DWORD run_worker_process(const std::string& out_file,
                         const std::string& err_file) {
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
  int events = 0, debug = 0, warnings = 0, errors = 0, other = 0;
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
  printf("%-16s V events %d, debug events %d, W warnings %d, E errors %d", name,
         c.events, c.debug, c.warnings, c.errors);
  if (c.other) printf(", other %d", c.other);
  printf("\n");
}

// Events and debug events belong on standard output only; every warning
// and error on both streams.
bool streams_as_expected(const TypeCounts& out, const TypeCounts& err) {
  const int per_worker_debug = kDebugLevel;  // levels 1 .. kDebugLevel
  return out.events == 2 + 2 * kWorkers &&
         out.debug == per_worker_debug * kWorkers && out.warnings == kWorkers &&
         out.errors == kWorkers && err.events == 0 && err.debug == 0 &&
         err.warnings == kWorkers && err.errors == kWorkers && out.other == 0 &&
         err.other == 0;
}

int run_demo() {
  std::string dir = exe_dir() + "demo-output\\";
  CreateDirectoryA(dir.c_str(), NULL);
  std::string out_file = dir + "stdout.txt", err_file = dir + "stderr.txt";

  printf(
      "zorvel demo: %d worker threads, each with a mark and a banner,\n"
      "write events, debug events (level %d in force), a warning and an\n"
      "error. Their process's standard output and standard error go to\n"
      "files in %s; below is what reached each.\n",
      kWorkers, kDebugLevel, dir.c_str());
  DWORD code = run_worker_process(out_file, err_file);
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
  bool ok = streams_as_expected(out_counts, err_counts);
  printf("%s\n", ok ? "every line reached the streams it belongs to"
                    : "UNEXPECTED: some lines are missing or misplaced");
  return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && strcmp(argv[1], kWorkerSwitch) == 0) return run_workers();
  return run_demo();
}

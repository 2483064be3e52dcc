// zorvel-bench: cost per line of the library's writing calls against their
// limit (one write per destination behind an in-process lock), the former
// design and peers, at 1, 2, 4 and 8 threads, with all threads on one file
// and with one file per thread.
//
// Every measurement runs in a child process whose standard output and error
// are the null device from its start: the library binds its standard stream
// slots when it is loaded, so the handles must be in place before that.
// Usage: zorvel-bench [--reps N] [--lines N] [--kinds a,b,...]
//        (7 runs, 4000 lines per case, every kind)
//        zorvel-bench --write-lines N: N event lines on one thread to a file
//        beside the program, nothing else (bench/server-requests.sh counts
//        the Wine server requests of two such runs).
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "harness.h"
#include "workloads.h"

namespace {

struct Kind {
  const char* name;   // kind passed to the child
  const char* label;  // row label
  bool peer;          // run by the spdlog program
  long scale;         // lines per case relative to the others
  bool pair;          // reports the ratio of a call to its limit
};

const Kind k_kinds[] = {
    {"event", "event", false, 1, false},
    {"limit", "limit of event (2 writes)", false, 1, false},
    {"floor", "former design, event", false, 1, false},
    {"warning", "warning", false, 1, false},
    {"limit-warning", "limit of warning (4 writes)", false, 1, false},
    {"floor-warning", "former design, warning", false, 1, false},
    {"devent", "devent, suppressed", false, 200, false},
    {"floor-file", "former design, file only", false, 1, false},
    {"fprintf", "fprintf+fflush, file only", false, 1, false},
    {"spdlog", "spdlog, sync file sink+flush", true, 1, false},
    {"format", "formatting only, no write", false, 4, false},
    {"pair-event", "event / limit, interleaved", false, 2, true},
    {"pair-warning", "warning / limit, interleaved", false, 2, true},
};
const int k_kind_count = sizeof k_kinds / sizeof k_kinds[0];
const int k_threads[] = {1, 2, 4, 8};
const int k_thread_counts = 4;
const int k_max_reps = 25;

struct Cell {
  bench::Result r[k_max_reps];
  bool ok[k_max_reps];
};

Cell g_cells[k_kind_count][2][k_thread_counts];
bool g_skip[k_kind_count];  // kinds left out by --kinds

// Pieces of a floor line: labels and times per repetition.
const int k_max_parts = 16;
const long k_part_loops = 4000;
char g_part_labels[k_max_parts][64];
double g_part_ns[k_max_parts][k_max_reps];
int g_part_count;
int g_part_reps;
char g_exe_dir[MAX_PATH];
char g_data_dir[MAX_PATH];
char g_self[MAX_PATH];
char g_peer[MAX_PATH];
bool g_have_peer;
HANDLE g_null;

void exe_dir(char* out, size_t size) {
  GetModuleFileNameA(NULL, out, (DWORD)size);
  out[size - 1] = 0;
  char* slash = strrchr(out, '\\');
  if (slash) slash[1] = 0;
}

// Removes the files a case left behind; the directory stays.
void clear_data_dir(void) {
  char pattern[MAX_PATH + 4];
  _snprintf(pattern, sizeof pattern - 1, "%s\\*", g_data_dir);
  pattern[sizeof pattern - 1] = 0;
  WIN32_FIND_DATAA found;
  HANDLE h = FindFirstFileA(pattern, &found);
  if (h == INVALID_HANDLE_VALUE) return;
  do {
    if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
    char path[2 * MAX_PATH];
    _snprintf(path, sizeof path - 1, "%s\\%s", g_data_dir, found.cFileName);
    path[sizeof path - 1] = 0;
    DeleteFileA(path);
  } while (FindNextFileA(h, &found));
  FindClose(h);
}

bool read_result(const char* path, bench::Result* r) {
  FILE* f = fopen(path, "r");
  if (!f) return false;
  int n = fscanf(f, "%lf %lf %lf %lf %lf", &r->ns_per_line, &r->lines_per_sec,
                 &r->allocs_per_line, &r->blocks_per_line, &r->ratio);
  fclose(f);
  return n == 5;
}

// Runs one case in a child with standard output and error on the null
// device.
bool spawn(const char* exe, char* cmd) {
  STARTUPINFOA si;
  memset(&si, 0, sizeof si);
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdInput = g_null;
  si.hStdOutput = g_null;
  si.hStdError = g_null;
  PROCESS_INFORMATION pi;
  if (!CreateProcessA(exe, cmd, NULL, NULL, TRUE, 0, NULL, NULL, &si, &pi))
    return false;
  WaitForSingleObject(pi.hProcess, INFINITE);
  DWORD code = 1;
  GetExitCodeProcess(pi.hProcess, &code);
  CloseHandle(pi.hProcess);
  CloseHandle(pi.hThread);
  return code == 0;
}

void result_path(char* out, size_t size) {
  _snprintf(out, size - 1, "%s\\result.txt", g_data_dir);
  out[size - 1] = 0;
}

bool run_child(const Kind& kind, int threads, bool per_thread, long lines,
               bench::Result* r) {
  char result[MAX_PATH + 16];
  result_path(result, sizeof result);
  char cmd[4 * MAX_PATH];
  const char* exe = kind.peer ? g_peer : g_self;
  _snprintf(cmd, sizeof cmd - 1, "\"%s\" --child %s %d %d %ld \"%s\" \"%s\"",
            exe, kind.name, threads, per_thread ? 1 : 0, lines, g_data_dir,
            result);
  cmd[sizeof cmd - 1] = 0;
  bool ok = spawn(exe, cmd) && read_result(result, r);
  clear_data_dir();
  return ok;
}

// Times the pieces of a floor line in a child; stores them for run rep.
void run_parts(int rep) {
  char result[MAX_PATH + 16];
  result_path(result, sizeof result);
  char cmd[4 * MAX_PATH];
  _snprintf(cmd, sizeof cmd - 1, "\"%s\" --parts \"%s\" \"%s\" %ld", g_self,
            g_data_dir, result, k_part_loops);
  cmd[sizeof cmd - 1] = 0;
  FILE* f = spawn(g_self, cmd) ? fopen(result, "r") : NULL;
  int n = 0;
  if (f) {
    double ns;
    char label[64];
    while (n < k_max_parts && fscanf(f, "%lf %63[^\n]", &ns, label) == 2) {
      memcpy(g_part_labels[n], label, sizeof label);
      g_part_ns[n++][rep] = ns;
    }
    fclose(f);
  }
  clear_data_dir();
  if (n && (!g_part_count || n == g_part_count)) {
    g_part_count = n;
    ++g_part_reps;
  }
}

// ------------------------------------------------------------ statistics

double median(double* v, int n) {
  for (int i = 1; i < n; ++i)
    for (int j = i; j > 0 && v[j] < v[j - 1]; --j) {
      double t = v[j];
      v[j] = v[j - 1];
      v[j - 1] = t;
    }
  if (n == 0) return 0;
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// Median of one field over the successful repetitions; -1 if none.
double cell_median(const Cell& c, int reps, double bench::Result::*field) {
  double v[k_max_reps];
  int n = 0;
  for (int i = 0; i < reps; ++i)
    if (c.ok[i]) v[n++] = c.r[i].*field;
  return n ? median(v, n) : -1;
}

double cell_max(const Cell& c, int reps, double bench::Result::*field) {
  double m = -1;
  for (int i = 0; i < reps; ++i)
    if (c.ok[i] && c.r[i].*field > m) m = c.r[i].*field;
  return m;
}

// Ratio of two kinds' cost, taken per repetition (both ran close together
// in time) and summarised by median, minimum and maximum.
bool cell_ratio(const Cell& a, const Cell& b, int reps, double* med, double* lo,
                double* hi) {
  double v[k_max_reps];
  int n = 0;
  for (int i = 0; i < reps; ++i)
    if (a.ok[i] && b.ok[i] && b.r[i].ns_per_line > 0)
      v[n++] = a.r[i].ns_per_line / b.r[i].ns_per_line;
  if (!n) return false;
  *med = median(v, n);
  *lo = v[0];
  *hi = v[n - 1];
  return true;
}

// ------------------------------------------------------------ report

int kind_index(const char* name) {
  for (int k = 0; k < k_kind_count; ++k)
    if (!strcmp(k_kinds[k].name, name)) return k;
  return -1;
}

void print_row(int k, int mode, int reps) {
  printf("%-30s", k_kinds[k].label);
  double allocs = -1, blocks = -1;
  for (int t = 0; t < k_thread_counts; ++t) {
    const Cell& c = g_cells[k][mode][t];
    double ns = cell_median(c, reps, &bench::Result::ns_per_line);
    double rate = cell_median(c, reps, &bench::Result::lines_per_sec);
    double a = cell_max(c, reps, &bench::Result::allocs_per_line);
    double b = cell_max(c, reps, &bench::Result::blocks_per_line);
    if (a > allocs) allocs = a;
    if (b > blocks) blocks = b;
    if (ns < 0)
      printf(" %22s", "n/a");
    else if (ns < 1000)
      printf(" %8.1fns %9.0f/s", ns, rate);
    else
      printf(" %8.1fus %9.0f/s", ns / 1000, rate);
  }
  if (allocs < 0)
    printf("  %7s %7s\n", "n/a", "n/a");
  else
    printf("  %7.3f %7.3f\n", allocs, blocks);
}

void print_ratio_cell(double med, double lo, double hi) {
  printf(" %6.3fx (%5.3f-%5.3f) ", med, lo, hi);
}

// The ratio a paired kind measured in each run: median (min-max).
void print_pair(int k, int mode, int reps) {
  printf("%-30s", k_kinds[k].label);
  for (int t = 0; t < k_thread_counts; ++t) {
    const Cell& c = g_cells[k][mode][t];
    double v[k_max_reps];
    int n = 0;
    for (int i = 0; i < reps; ++i)
      if (c.ok[i] && c.r[i].ratio > 0) v[n++] = c.r[i].ratio;
    double med = n ? median(v, n) : 0;  // sorts v
    if (n)
      print_ratio_cell(med, v[0], v[n - 1]);
    else
      printf(" %22s", "n/a");
  }
  printf("\n");
}

void print_ratio(const char* label, const char* a, const char* b, int mode,
                 int reps) {
  if (g_skip[kind_index(a)] || g_skip[kind_index(b)]) return;
  printf("%-30s", label);
  for (int t = 0; t < k_thread_counts; ++t) {
    double med, lo, hi;
    if (cell_ratio(g_cells[kind_index(a)][mode][t],
                   g_cells[kind_index(b)][mode][t], reps, &med, &lo, &hi))
      print_ratio_cell(med, lo, hi);
    else
      printf(" %22s", "n/a");
  }
  printf("\n");
}

void print_mode(int mode, int reps) {
  printf("\n%s\n", mode ? "One file per thread" : "All threads on one file");
  printf("%-30s", "case");
  for (int t = 0; t < k_thread_counts; ++t)
    printf(" %15d thread%s", k_threads[t], k_threads[t] > 1 ? "s" : " ");
  printf("  %7s %7s\n", "allocs", "blocks");
  for (int k = 0; k < k_kind_count; ++k)
    if (!k_kinds[k].pair && !g_skip[k]) print_row(k, mode, reps);
  print_ratio("event / limit", "event", "limit", mode, reps);
  print_ratio("warning / limit of warning", "warning", "limit-warning", mode,
              reps);
  print_ratio("event / spdlog", "event", "spdlog", mode, reps);
  print_ratio("event / former design", "event", "floor", mode, reps);
  for (int k = 0; k < k_kind_count; ++k)
    if (k_kinds[k].pair && !g_skip[k]) print_pair(k, mode, reps);
}

void print_parts(void) {
  if (!g_part_count) return;
  printf(
      "\nPieces of one floor line, each timed alone on one thread "
      "(median of %d runs)\n",
      g_part_reps);
  for (int i = 0; i < g_part_count; ++i)
    printf("%-30s %8.2fus\n", g_part_labels[i],
           median(g_part_ns[i], g_part_reps) / 1000);
}

void print_machine(void) {
  typedef const char*(CDECL * version_fn)(void);
  HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  version_fn wine_version =
      (version_fn)(void*)GetProcAddress(ntdll, "wine_get_version");
  char cpu[128] = "unknown";
  DWORD size = sizeof cpu;
  RegGetValueA(HKEY_LOCAL_MACHINE,
               "HARDWARE\\DESCRIPTION\\System\\CentralProcessor\\0",
               "ProcessorNameString", RRF_RT_REG_SZ, NULL, cpu, &size);
  SYSTEM_INFO si;
  GetNativeSystemInfo(&si);
  SYSTEMTIME now;
  GetSystemTime(&now);
  printf("zorvel-bench  %04d-%02d-%02d %02d:%02d UTC  %s, %lu processors, %s\n",
         now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, cpu,
         (unsigned long)si.dwNumberOfProcessors,
         wine_version ? wine_version() : "not under Wine");
}

void print_report(int reps, long lines) {
  print_machine();
  printf(
      "Median of %d runs. Each case runs in its own process with standard\n"
      "output and error on the null device: %ld lines per case (suppressed\n"
      "devent %ldx, formatting %ldx, interleaved pairs %ldx), split over the\n"
      "threads. Cell: time of one call as its thread sees it, and lines per\n"
      "second of all threads together. allocs: heap allocations per line\n"
      "after each thread's first lines; blocks: growth of the busy heap\n"
      "blocks per line (worst run). Ratios: per run, then median (min-max).\n"
      "Interleaved: the call and its limit alternate line by line on every\n"
      "thread of one process, each call timed alone.\n",
      reps, lines, k_kinds[kind_index("devent")].scale,
      k_kinds[kind_index("format")].scale,
      k_kinds[kind_index("pair-event")].scale);
  for (int mode = 0; mode < 2; ++mode) print_mode(mode, reps);
  print_parts();
  if (!g_have_peer)
    printf(
        "\nspdlog: not built (no spdlog headers, or no posix-thread "
        "compiler).\n");
}

// ------------------------------------------------------------ parent

// Runs only the kinds named in a comma-separated list.
void select_kinds(const char* list) {
  for (int k = 0; k < k_kind_count; ++k) {
    size_t n = strlen(k_kinds[k].name);
    const char* at = list;
    bool named = false;
    while ((at = strstr(at, k_kinds[k].name)) != NULL) {
      bool starts = at == list || at[-1] == ',';
      bool ends = at[n] == 0 || at[n] == ',';
      named = named || (starts && ends);
      at += n;
    }
    g_skip[k] = !named;
  }
}

void parse_args(int argc, char** argv, int* reps, long* lines) {
  for (int i = 1; i + 1 < argc; i += 2) {
    if (!strcmp(argv[i], "--reps")) *reps = atoi(argv[i + 1]);
    if (!strcmp(argv[i], "--lines")) *lines = atol(argv[i + 1]);
    if (!strcmp(argv[i], "--kinds")) select_kinds(argv[i + 1]);
  }
  if (*reps < 1) *reps = 1;
  if (*reps > k_max_reps) *reps = k_max_reps;
  if (*lines < 64) *lines = 64;
}

bool setup_parent(void) {
  exe_dir(g_exe_dir, sizeof g_exe_dir);
  _snprintf(g_data_dir, sizeof g_data_dir - 1, "%sbenchdata", g_exe_dir);
  GetModuleFileNameA(NULL, g_self, sizeof g_self);
  _snprintf(g_peer, sizeof g_peer - 1, "%szorvel-bench-spdlog.exe", g_exe_dir);
  g_have_peer = GetFileAttributesA(g_peer) != INVALID_FILE_ATTRIBUTES;
  CreateDirectoryA(g_data_dir, NULL);
  clear_data_dir();
  SECURITY_ATTRIBUTES sa = {sizeof sa, NULL, TRUE};
  g_null = CreateFileA("NUL", GENERIC_READ | GENERIC_WRITE,
                       FILE_SHARE_READ | FILE_SHARE_WRITE, &sa, OPEN_EXISTING,
                       0, NULL);
  return g_null != INVALID_HANDLE_VALUE;
}

// Repetitions outermost, so that a change in the machine's load meets every
// case of a repetition alike; every other repetition runs the kinds in
// reverse order, so that no kind always runs just after another.
void run_all(int reps, long lines) {
  for (int rep = 0; rep < reps; ++rep) {
    fprintf(stderr, "zorvel-bench: run %d of %d\n", rep + 1, reps);
    for (int mode = 0; mode < 2; ++mode)
      for (int t = 0; t < k_thread_counts; ++t)
        for (int i = 0; i < k_kind_count; ++i) {
          int k = rep % 2 ? k_kind_count - 1 - i : i;
          Cell& c = g_cells[k][mode][t];
          if ((k_kinds[k].peer && !g_have_peer) || g_skip[k]) {
            c.ok[rep] = false;
            continue;
          }
          long per_thread = lines * k_kinds[k].scale / k_threads[t];
          c.ok[rep] = run_child(k_kinds[k], k_threads[t], mode == 1, per_thread,
                                &c.r[rep]);
          if (!c.ok[rep] && !g_skip[k])
            fprintf(stderr, "zorvel-bench: %s at %d threads failed\n",
                    k_kinds[k].name, k_threads[t]);
        }
    run_parts(rep);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && !strcmp(argv[1], "--write-lines"))
    return bench::write_lines_main(atol(argv[2]));
  if (argc > 1 && !strcmp(argv[1], "--child"))
    return bench::child_main(argc, argv, bench::find_workload);
  if (argc == 5 && !strcmp(argv[1], "--parts")) {
    bench::set_data_dir(argv[2]);
    return bench::parts_main(argv[3], atol(argv[4]));
  }
  int reps = 7;
  long lines = 4000;
  parse_args(argc, argv, &reps, &lines);
  if (!setup_parent()) {
    fprintf(stderr, "zorvel-bench: cannot open the null device\n");
    return 1;
  }
  run_all(reps, lines);
  print_report(reps, lines);
  return 0;
}

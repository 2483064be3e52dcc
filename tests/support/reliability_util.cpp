#include "reliability_util.h"

#include <stdio.h>
#include <stdlib.h>

namespace rl {

Watchdog::Watchdog(DWORD seconds, const char* what)
    : done_(CreateEventA(NULL, TRUE, FALSE, NULL)),
      thread_(NULL),
      ms_(seconds * 1000),
      what_(what) {
  thread_ = CreateThread(NULL, 0, main, this, 0, NULL);
}

Watchdog::~Watchdog() {
  SetEvent(done_);
  WaitForSingleObject(thread_, INFINITE);
  CloseHandle(thread_);
  CloseHandle(done_);
}

DWORD WINAPI Watchdog::main(LPVOID p) {
  Watchdog* self = static_cast<Watchdog*>(p);
  if (WaitForSingleObject(self->done_, self->ms_) == WAIT_OBJECT_0) return 0;
  // Straight to the handle: a hung thread may hold the runtime's locks.
  std::string text = "watchdog: " + self->what_ + " did not finish within " +
                     std::to_string(self->ms_ / 1000) + " s: hung\n";
  DWORD written;
  WriteFile(GetStdHandle(STD_ERROR_HANDLE), text.data(), (DWORD)text.size(),
            &written, NULL);
  TerminateProcess(GetCurrentProcess(), ch::kHungExit);
  return 0;
}

// ------------------------------------------------------------ threads

struct GroupMember {
  void (*fn)(int, void*);
  void* arg;
  int index;
  HANDLE start;
};

static DWORD WINAPI group_entry(LPVOID p) {
  GroupMember* m = static_cast<GroupMember*>(p);
  WaitForSingleObject(m->start, INFINITE);
  m->fn(m->index, m->arg);
  return 0;
}

bool run_group(int count, void (*fn)(int, void*), void* arg, DWORD timeout_ms) {
  HANDLE start = CreateEventA(NULL, TRUE, FALSE, NULL);
  std::vector<GroupMember> members(count);
  std::vector<HANDLE> threads;
  for (int i = 0; i < count; ++i) {
    members[i] = {fn, arg, i, start};
    threads.push_back(CreateThread(NULL, 0, group_entry, &members[i], 0, NULL));
  }
  SetEvent(start);
  DWORD deadline = GetTickCount() + timeout_ms;
  bool all = true;
  for (HANDLE h : threads) {
    DWORD now = GetTickCount();
    DWORD left = (LONG)(deadline - now) > 0 ? deadline - now : 0;
    if (WaitForSingleObject(h, left) != WAIT_OBJECT_0) all = false;
  }
  if (!all) return false;  // members stay alive: leave them their storage
  for (HANDLE h : threads) CloseHandle(h);
  CloseHandle(start);
  return true;
}

// ------------------------------------------------------------ lines

static bool well_formed(const std::string& text, tu::Line* line) {
  if (!tu::parse_line(text, line)) return false;
  // Stamp: "01 Jun 05 (Wed) 13:14:37.045"
  const std::string& s = line->stamp;
  if (s.size() != 28 || s[10] != '(' || s[14] != ')' || s[24] != '.')
    return false;
  return line->type.size() == 1 && line->pid > 0 && line->tid > 0;
}

Split parse_file(const std::string& path) {
  Split split;
  std::string text = tu::read_file(path);
  for (const std::string& raw : tu::split_lines(text)) {
    tu::Line line;
    if (well_formed(raw, &line))
      split.good.push_back(line);
    else
      split.bad.push_back(raw);
  }
  // A last line without CR LF was cut.
  if (!text.empty() && text.compare(text.size() - 2, 2, "\r\n") != 0)
    split.bad.push_back("(no line end at the end of the file)");
  return split;
}

std::string child_report(const std::string& path) {
  std::string report;
  int kept = 0;
  for (const std::string& raw : tu::split_lines(tu::read_file(path))) {
    tu::Line line;
    if (well_formed(raw, &line)) continue;
    if (++kept > 60) break;
    report += raw + "\n";
  }
  return report;
}

bool module_range(const char* name, DWORD_PTR* base, DWORD* size) {
  HMODULE module = GetModuleHandleA(name);
  if (!module) return false;
  const BYTE* image = reinterpret_cast<const BYTE*>(module);
  const IMAGE_DOS_HEADER* dos =
      reinterpret_cast<const IMAGE_DOS_HEADER*>(image);
  const IMAGE_NT_HEADERS* nt =
      reinterpret_cast<const IMAGE_NT_HEADERS*>(image + dos->e_lfanew);
  *base = (DWORD_PTR)image;
  *size = nt->OptionalHeader.SizeOfImage;
  return true;
}

}  // namespace rl

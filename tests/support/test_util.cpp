#include "test_util.h"

#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <tlhelp32.h>

#include <fstream>
#include <sstream>

namespace tu {

std::string exe_path() {
  char path[MAX_PATH];
  DWORD n = GetModuleFileNameA(NULL, path, sizeof path);
  return std::string(path, n);
}

std::string exe_dir() {
  std::string path = exe_path();
  return path.substr(0, path.rfind('\\') + 1);
}

static void remove_tree(const std::string& dir) {
  WIN32_FIND_DATAA data;
  HANDLE h = FindFirstFileA((dir + "*").c_str(), &data);
  if (h != INVALID_HANDLE_VALUE) {
    do {
      std::string name = data.cFileName;
      if (name == "." || name == "..") continue;
      std::string full = dir + name;
      if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        remove_tree(full + "\\");
        RemoveDirectoryA(full.c_str());
      } else {
        SetFileAttributesA(full.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileA(full.c_str());
      }
    } while (FindNextFileA(h, &data));
    FindClose(h);
  }
}

std::string fresh_dir(const std::string& name) {
  std::string leaf = name;
  if (leaf.empty()) {
    const testing::TestInfo* info =
        testing::UnitTest::GetInstance()->current_test_info();
    leaf = std::string(info->test_suite_name()) + "." + info->name();
  }
  // Parameterized tests carry '/' in their names.
  for (char& c : leaf)
    if (c == '/' || c == '\\') c = '_';
  std::string root = exe_dir() + "testdata\\";
  CreateDirectoryA(root.c_str(), NULL);
  std::string dir = root + leaf + "\\";
  CreateDirectoryA(dir.c_str(), NULL);
  remove_tree(dir);
  return dir;
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void write_file(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

bool file_exists(const std::string& path) {
  return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::vector<std::string> split_lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find("\r\n", start);
    if (end == std::string::npos) {
      lines.push_back(text.substr(start));
      break;
    }
    lines.push_back(text.substr(start, end - start));
    start = end + 2;
  }
  return lines;
}

static DWORD WINAPI thread_entry(LPVOID p) {
  (*static_cast<const std::function<void()>*>(p))();
  return 0;
}

DWORD run_thread(const std::function<void()>& fn) {
  HANDLE h = CreateThread(NULL, 0, thread_entry, (LPVOID)&fn, 0, NULL);
  if (!h) return (DWORD)-1;
  WaitForSingleObject(h, INFINITE);
  DWORD code = 0;
  GetExitCodeThread(h, &code);
  CloseHandle(h);
  return code;
}

// Threads of the process that have finished starting and not yet ended. The
// loader calls the program's TLS callbacks in a new thread only once the
// thread runs Windows code, that is after Wine's start-up of it.
static SRWLOCK s_started_lock = SRWLOCK_INIT;
static DWORD s_started[4096];  // thread ids, 0 for a free entry

static void started_swap(DWORD from, DWORD to) {
  AcquireSRWLockExclusive(&s_started_lock);
  for (DWORD& id : s_started) {
    if (id == from) {
      id = to;
      break;
    }
  }
  ReleaseSRWLockExclusive(&s_started_lock);
}

static bool has_started(DWORD thread) {
  AcquireSRWLockShared(&s_started_lock);
  bool found = false;
  for (DWORD id : s_started) found = found || id == thread;
  ReleaseSRWLockShared(&s_started_lock);
  return found;
}

static void NTAPI on_thread_event(PVOID, DWORD reason, PVOID) {
  if (reason == DLL_THREAD_ATTACH) started_swap(0, GetCurrentThreadId());
  if (reason == DLL_THREAD_DETACH) started_swap(GetCurrentThreadId(), 0);
}

// The MinGW runtime calls every callback placed between .CRT$XLA and
// .CRT$XLZ.
extern "C" __attribute__((section(".CRT$XLF"), used))
const PIMAGE_TLS_CALLBACK tu_thread_event_callback = on_thread_event;

// A thread of this process, other than the caller, that has not finished
// starting (or has ended and is not gone yet); 0 when there is none.
static DWORD thread_starting() {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return 0;
  THREADENTRY32 entry;
  entry.dwSize = sizeof entry;
  DWORD found = 0;
  for (BOOL more = Thread32First(snapshot, &entry); more && !found;
       more = Thread32Next(snapshot, &entry)) {
    if (entry.th32OwnerProcessID == GetCurrentProcessId() &&
        entry.th32ThreadID != GetCurrentThreadId() &&
        !has_started(entry.th32ThreadID))
      found = entry.th32ThreadID;
  }
  CloseHandle(snapshot);
  return found;
}

void wait_for_thread_starts() {
  // A thread that has not started within 20 s never will: say so and go on
  // rather than hang.
  DWORD start = GetTickCount();
  DWORD thread;
  while ((thread = thread_starting()) != 0) {
    if (GetTickCount() - start > 20000) {
      fprintf(stderr, "test main: thread %lu has not started after 20 s\n",
              thread);
      return;
    }
    Sleep(1);
  }
}

bool parse_line(const std::string& text, Line* line) {
  size_t colon = text.find(": ");
  if (colon == std::string::npos) return false;
  line->type = text.substr(0, colon);
  size_t open = text.find(" (", colon + 2);
  // The stamp itself holds "(Wed)": the ids follow the second " (".
  if (open == std::string::npos) return false;
  open = text.find(" (", open + 2);
  if (open == std::string::npos) return false;
  line->stamp = text.substr(colon + 2, open - colon - 2);
  size_t close = text.find("): ", open);
  if (close == std::string::npos) return false;
  std::string ids = text.substr(open + 2, close - open - 2);
  size_t c1 = ids.find(':');
  if (c1 == std::string::npos) return false;
  size_t c2 = ids.find(':', c1 + 1);
  line->pid = atol(ids.substr(0, c1).c_str());
  line->tid = atol(ids.substr(c1 + 1, c2 - c1 - 1).c_str());
  line->has_mark = c2 != std::string::npos;
  line->mark = line->has_mark ? ids.substr(c2 + 1) : "";
  line->rest = text.substr(close + 3);
  return true;
}

DWORD_PTR context_pc(const CONTEXT& context) {
#if defined(_WIN64)
  return context.Rip;
#else
  return context.Eip;
#endif
}

DWORD_PTR context_sp(const CONTEXT& context) {
#if defined(_WIN64)
  return context.Rsp;
#else
  return context.Esp;
#endif
}

DWORD_PTR context_frame(const CONTEXT& context) {
#if defined(_WIN64)
  return context_sp(context);
#else
  return context.Ebp;
#endif
}

void set_context_pc(CONTEXT* context, DWORD_PTR pc) {
#if defined(_WIN64)
  context->Rip = pc;
#else
  context->Eip = (DWORD)pc;
#endif
}

void resume_in(CONTEXT* context, void (*fn)(void)) {
#if defined(_WIN64)
  context->Rsp = ((context->Rsp - 128) & ~(DWORD64)15) - 8;
#else
  context->Esp = (context->Esp & ~(DWORD)15) - 4;
#endif
  set_context_pc(context, (DWORD_PTR)fn);
}

std::string addr_text(DWORD_PTR address) {
  char text[24];
  snprintf(text, sizeof text, "0x%0*llX", (int)(2 * sizeof(void*)),
           (unsigned long long)address);
  return text;
}

}  // namespace tu

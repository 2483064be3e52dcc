#include "logfiles_util.h"

#include <algorithm>

namespace lf {

void set_past_date(const std::string& path, int year, int month, int day) {
  HANDLE file = CreateFileA(path.c_str(), FILE_WRITE_ATTRIBUTES,
                            FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
  SYSTEMTIME st = {};
  st.wYear = (WORD)year;
  st.wMonth = (WORD)month;
  st.wDay = (WORD)day;
  st.wHour = 12;
  FILETIME ft;
  SystemTimeToFileTime(&st, &ft);
  SetFileTime(file, &ft, &ft, &ft);
  CloseHandle(file);
}

bool held_open(const std::string& path) {
  // An open that shares nothing fails while the library holds the file.
  HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, 0, NULL, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, NULL);
  if (h == INVALID_HANDLE_VALUE)
    return GetLastError() == ERROR_SHARING_VIOLATION;
  CloseHandle(h);
  return false;
}

std::vector<std::string> lines_with(const std::string& path,
                                    const std::string& needle) {
  std::vector<std::string> found;
  for (const std::string& line : tu::split_lines(tu::read_file(path)))
    if (line.find(needle) != std::string::npos) found.push_back(line);
  return found;
}

std::string relative(const std::string& path) {
  std::string dir = tu::exe_dir();
  return path.compare(0, dir.size(), dir) == 0 ? path.substr(dir.size()) : path;
}

std::string past_the_drive(const std::string& path) {
  std::string exe = tu::exe_path();
  size_t levels = std::count(exe.begin(), exe.end(), '\\');
  return std::string(levels + 1, '.') + path.substr(2);
}

Worker::Worker()
    : go_(CreateEventA(NULL, FALSE, FALSE, NULL)),
      done_(CreateEventA(NULL, FALSE, FALSE, NULL)),
      fn_(nullptr),
      arg_(nullptr),
      ok_(true),
      quit_(false),
      code_(0) {
  thread_ = CreateThread(NULL, 0, main, this, 0, NULL);
}

Worker::~Worker() {
  end();
  CloseHandle(go_);
  CloseHandle(done_);
}

bool Worker::run(void (*fn)(void*), void* arg, unsigned long* code) {
  fn_ = fn;
  arg_ = arg;
  SetEvent(go_);
  WaitForSingleObject(done_, INFINITE);
  if (code) *code = code_;
  return ok_;
}

void Worker::end() {
  if (!thread_) return;
  quit_ = true;
  SetEvent(go_);
  WaitForSingleObject(thread_, INFINITE);
  CloseHandle(thread_);
  thread_ = NULL;
}

DWORD WINAPI Worker::main(LPVOID p) {
  Worker* self = static_cast<Worker*>(p);
  for (;;) {
    WaitForSingleObject(self->go_, INFINITE);
    if (self->quit_) return 0;
    self->ok_ = true;
    try {
      self->fn_(self->arg_);
    } catch (unsigned long code) {
      self->ok_ = false;
      self->code_ = code;
    } catch (...) {
      self->ok_ = false;
    }
    SetEvent(self->done_);
  }
}

}  // namespace lf

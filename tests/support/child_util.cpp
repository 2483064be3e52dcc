#include "child_util.h"

namespace ch {

static HANDLE inheritable(HANDLE h) {
  HANDLE dup = NULL;
  DuplicateHandle(GetCurrentProcess(), h, GetCurrentProcess(), &dup, 0, TRUE,
                  DUPLICATE_SAME_ACCESS);
  CloseHandle(h);
  return dup;
}

// The handle a child gets for one stream; *own is closed after the start.
static HANDLE stream_handle(Stream kind, const std::string& file,
                            const std::string& dir, HANDLE* own) {
  *own = NULL;
  switch (kind) {
    case Stream::file: {
      HANDLE h = CreateFileA(file.c_str(), GENERIC_WRITE,
                             FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                             CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
      return *own = inheritable(h);
    }
    case Stream::closed:
      return NULL;
    case Stream::invalid:
      return INVALID_HANDLE_VALUE;
    case Stream::broken: {
      HANDLE r = NULL, w = NULL;
      CreatePipe(&r, &w, NULL, 0);
      CloseHandle(r);
      return *own = inheritable(w);
    }
    case Stream::read_only: {
      std::string name = dir + "readonly.stream";
      tu::write_file(name, "");
      HANDLE h = CreateFileA(name.c_str(), GENERIC_READ,
                             FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                             OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
      return *own = inheritable(h);
    }
  }
  return NULL;
}

bool start_child(const ChildJob& job, Child* child) {
  std::string cmd =
      "\"" + (job.exe.empty() ? tu::exe_path() : job.exe) +
      "\" --gtest_also_run_disabled_tests --gtest_filter=" + job.test;
  if (!job.dir.empty())
    SetEnvironmentVariableA("ZORVEL_RELIABILITY_DIR", job.dir.c_str());
  std::string env_name, env_value;
  if (!job.extra_env.empty()) {
    size_t eq = job.extra_env.find('=');
    env_name = job.extra_env.substr(0, eq);
    env_value = job.extra_env.substr(eq + 1);
    SetEnvironmentVariableA(env_name.c_str(), env_value.c_str());
  }
  HANDLE own_out, own_err;
  STARTUPINFOA si = {};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdOutput = stream_handle(job.out, job.out_file, job.dir, &own_out);
  si.hStdError = stream_handle(job.err, job.err_file, job.dir, &own_err);
  PROCESS_INFORMATION pi = {};
  std::vector<char> line(cmd.begin(), cmd.end());
  line.push_back(0);
  BOOL ok = CreateProcessA(NULL, line.data(), NULL, NULL, TRUE, 0, NULL, NULL,
                           &si, &pi);
  if (own_out) CloseHandle(own_out);
  if (own_err) CloseHandle(own_err);
  SetEnvironmentVariableA("ZORVEL_RELIABILITY_DIR", NULL);
  if (!env_name.empty()) SetEnvironmentVariableA(env_name.c_str(), NULL);
  if (!ok) return false;
  CloseHandle(pi.hThread);
  child->process = pi.hProcess;
  child->pid = pi.dwProcessId;
  return true;
}

DWORD wait_child(Child* child, DWORD timeout_ms) {
  DWORD code = kHungExit;
  if (WaitForSingleObject(child->process, timeout_ms) == WAIT_OBJECT_0)
    GetExitCodeProcess(child->process, &code);
  else
    TerminateProcess(child->process, kHungExit);
  WaitForSingleObject(child->process, 5000);
  CloseHandle(child->process);
  child->process = NULL;
  return code;
}

DWORD run_child(const ChildJob& job) {
  Child child;
  if (!start_child(job, &child)) return (DWORD)-1;
  return wait_child(&child, job.timeout_ms);
}

DWORD run_child(const std::string& test, const std::string& out_file,
                const std::string& err_file) {
  ChildJob job;
  job.test = test;
  job.out = out_file.empty() ? Stream::closed : Stream::file;
  job.err = err_file.empty() ? Stream::closed : Stream::file;
  job.out_file = out_file;
  job.err_file = err_file;
  return run_child(job);
}

std::string child_env(const char* name) {
  char value[1024];
  DWORD n = GetEnvironmentVariableA(name, value, sizeof value);
  return n > 0 && n < sizeof value ? std::string(value, n) : std::string();
}

std::string child_dir() { return child_env("ZORVEL_RELIABILITY_DIR"); }

}  // namespace ch

// zorvel-bench-spdlog: the spdlog peer of zorvel-bench, run by it as a child.
// spdlog needs std::mutex, which the win32-thread compiler of the library
// lacks, so this program is built apart with the posix-thread variant of the
// same cross compiler and linked statically; it shares no runtime DLL with
// zorvel.dll.
#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/spdlog.h>
#include <stdio.h>
#include <string.h>

#include <memory>

#include "harness.h"

namespace {

enum { max_threads = 32 };

bool g_per_thread;
std::shared_ptr<spdlog::logger> g_loggers[max_threads];

std::shared_ptr<spdlog::logger> open_logger(int i) {
  char path[MAX_PATH];
  _snprintf(path, sizeof path - 1, "%sev-%d.log", bench::data_dir(), i);
  path[sizeof path - 1] = 0;
  auto sink = std::make_shared<spdlog::sinks::basic_file_sink_mt>(path);
  auto logger = std::make_shared<spdlog::logger>("bench", sink);
  logger->flush_on(spdlog::level::trace);
  return logger;
}

void peer_init(int, bool per_thread) {
  g_per_thread = per_thread;
  if (!per_thread) g_loggers[0] = open_logger(0);
}

void peer_setup(int thread) {
  if (g_per_thread) g_loggers[thread] = open_logger(thread);
}

void peer_teardown(int thread) {
  if (g_per_thread) g_loggers[thread].reset();
}

void peer_fini(void) { g_loggers[0].reset(); }

void peer_line(int thread, long i) {
  spdlog::logger& log = *g_loggers[g_per_thread ? thread : 0];
  log.info("client {} connected, value {}", i, 7);
}

const bench::Workload k_peer = {peer_init,     peer_setup, peer_line,
                                peer_teardown, peer_fini,  nullptr};

const bench::Workload* find(const char* kind) {
  return strcmp(kind, "spdlog") ? nullptr : &k_peer;
}

}  // namespace

int main(int argc, char** argv) { return bench::child_main(argc, argv, find); }

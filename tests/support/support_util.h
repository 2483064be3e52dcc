// Helpers for the support routines' tests: buffers that end (or start) at an
// inaccessible page, and a watch that notices access violations even when
// the library catches them.
#ifndef ZORVEL_SUPPORT_UTIL_H
#define ZORVEL_SUPPORT_UTIL_H

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <string>

namespace su {

// size bytes of read-write memory with a PAGE_NOACCESS page right after the
// last byte (or, with at_start, right before the first byte).
class GuardedBuffer {
 public:
  explicit GuardedBuffer(size_t size, bool at_start = false);
  ~GuardedBuffer();
  GuardedBuffer(const GuardedBuffer&) = delete;
  GuardedBuffer& operator=(const GuardedBuffer&) = delete;

  char* data() { return data_; }
  size_t size() const { return size_; }
  // A copy of text with its terminator as the buffer's last bytes.
  static GuardedBuffer* text(const std::string& text, bool at_start = false);

 private:
  char* base_ = nullptr;
  char* data_ = nullptr;
  size_t size_ = 0;
};

// Counts access violations on any thread while it lives. It is called
// before the library's own fault handler, which comes last.
class FaultWatch {
 public:
  FaultWatch();
  ~FaultWatch();
  FaultWatch(const FaultWatch&) = delete;
  FaultWatch& operator=(const FaultWatch&) = delete;

  long count() const;
  // Address of the last access that faulted.
  ULONG_PTR last_address() const;

 private:
  PVOID handler_ = nullptr;
};

// Address of a committed page that cannot be read or written.
char* no_access_page();

}  // namespace su

#endif

#include "support_util.h"

#include <string.h>

namespace su {

static size_t page_size() {
  SYSTEM_INFO info;
  GetSystemInfo(&info);
  return info.dwPageSize;
}

static void protect(char* page) {
  DWORD old = 0;
  if (!VirtualProtect(page, page_size(), PAGE_NOACCESS, &old)) abort();
}

GuardedBuffer::GuardedBuffer(size_t size, bool at_start) : size_(size) {
  size_t page = page_size();
  size_t body = (size + page - 1) / page * page;
  if (body == 0) body = page;
  base_ = (char*)VirtualAlloc(NULL, body + 2 * page, MEM_RESERVE | MEM_COMMIT,
                              PAGE_READWRITE);
  if (!base_) abort();
  protect(base_);
  protect(base_ + page + body);
  data_ = at_start ? base_ + page : base_ + page + body - size;
  memset(data_, 0x5A, size);
}

GuardedBuffer::~GuardedBuffer() { VirtualFree(base_, 0, MEM_RELEASE); }

GuardedBuffer* GuardedBuffer::text(const std::string& text, bool at_start) {
  GuardedBuffer* buffer = new GuardedBuffer(text.size() + 1, at_start);
  memcpy(buffer->data(), text.c_str(), text.size() + 1);
  return buffer;
}

static volatile LONG s_faults;
static volatile ULONG_PTR s_last_address;

static LONG CALLBACK watch_handler(EXCEPTION_POINTERS* pointers) {
  const EXCEPTION_RECORD* record = pointers->ExceptionRecord;
  if (record->ExceptionCode == EXCEPTION_ACCESS_VIOLATION) {
    InterlockedIncrement(&s_faults);
    s_last_address =
        record->NumberParameters > 1 ? record->ExceptionInformation[1] : 0;
  }
  return EXCEPTION_CONTINUE_SEARCH;
}

FaultWatch::FaultWatch() {
  s_faults = 0;
  s_last_address = 0;
  handler_ = AddVectoredExceptionHandler(1, watch_handler);
}

FaultWatch::~FaultWatch() { RemoveVectoredExceptionHandler(handler_); }

long FaultWatch::count() const { return s_faults; }

ULONG_PTR FaultWatch::last_address() const { return s_last_address; }

char* no_access_page() {
  static char* page;
  if (!page) {
    page = (char*)VirtualAlloc(NULL, page_size(), MEM_RESERVE | MEM_COMMIT,
                               PAGE_NOACCESS);
    if (!page) abort();
  }
  return page;
}

}  // namespace su

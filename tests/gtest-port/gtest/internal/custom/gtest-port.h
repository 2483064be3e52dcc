// GoogleTest port settings for MinGW-w64's win32 thread model, which has no
// std::mutex or std::condition_variable: Notification on a Win32 event.
#ifndef ZORVEL_TESTS_GTEST_PORT_H
#define ZORVEL_TESTS_GTEST_PORT_H

#if defined(_WIN32) && !defined(_MSC_VER)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#define GTEST_HAS_NOTIFICATION_ 1

namespace testing {
namespace internal {

class Notification {
 public:
  Notification() : event_(CreateEventA(NULL, TRUE, FALSE, NULL)) {}
  ~Notification() { CloseHandle(event_); }
  Notification(const Notification&) = delete;
  Notification& operator=(const Notification&) = delete;
  void Notify() { SetEvent(event_); }
  void WaitForNotification() { WaitForSingleObject(event_, INFINITE); }

 private:
  HANDLE event_;
};

}  // namespace internal
}  // namespace testing
#endif

#endif

// The write mutex of a slot as writers meet it: one mutex for one file in
// both channels, and a mutex left owned by a thread that died counts as
// acquired by the next writer.
#include <gtest/gtest.h>

#include <string>

#include "reliability_util.h"
#include "zorvel_int.h"

namespace {

struct Slots {
  LogSlot* events = nullptr;
  LogSlot* errors = nullptr;
};

// A thread that stays attached until told to end.
class Holder {
 public:
  Holder(const std::string& events, const std::string& errors)
      : events_(events), errors_(errors) {
    ready_ = CreateEventA(NULL, TRUE, FALSE, NULL);
    quit_ = CreateEventA(NULL, TRUE, FALSE, NULL);
    thread_ = CreateThread(NULL, 0, main, this, 0, NULL);
    WaitForSingleObject(ready_, 30000);
  }
  ~Holder() {
    SetEvent(quit_);
    WaitForSingleObject(thread_, 30000);
    CloseHandle(thread_);
    CloseHandle(ready_);
    CloseHandle(quit_);
  }
  Slots slots;

 private:
  static DWORD WINAPI main(LPVOID p) {
    Holder* self = static_cast<Holder*>(p);
    util_init(self->events_.empty() ? nullptr : self->events_.c_str(),
              self->errors_.empty() ? nullptr : self->errors_.c_str(), nullptr,
              nullptr);
    self->slots.events = ctx_slot(EVENTS_CHANNEL);
    self->slots.errors = ctx_slot(ERRORS_CHANNEL);
    SetEvent(self->ready_);
    WaitForSingleObject(self->quit_, INFINITE);
    lib_thread_detach();
    return 0;
  }
  std::string events_, errors_;
  HANDLE ready_, quit_, thread_;
};

// True when owning a blocks b: the two handles name one mutex.
bool same_mutex(HANDLE a, HANDLE b) {
  if (WaitForSingleObject(a, 1000) != WAIT_OBJECT_0) return false;
  DWORD r = WAIT_FAILED;
  tu::run_thread([&] {
    r = WaitForSingleObject(b, 0);
    if (r == WAIT_OBJECT_0) ReleaseMutex(b);
  });
  ReleaseMutex(a);
  return r == WAIT_TIMEOUT;
}

TEST(WriteMutex, OneFileInBothChannelsHasOneMutexThroughReopening) {
  rl::Watchdog dog(60, "mutex sharing");
  std::string dir = tu::fresh_dir();
  std::string f = dir + "both.log", other = dir + "other.log";
  Holder* a = new Holder(f, dir + "a-err.log");  // F in the events channel
  Holder b("", f);                               // F in the errors channel
  ASSERT_TRUE(a->slots.events && b.slots.errors);
  EXPECT_TRUE(same_mutex(a->slots.events->mutex, b.slots.errors->mutex));
  Holder unrelated(other, "");
  EXPECT_FALSE(
      same_mutex(a->slots.events->mutex, unrelated.slots.events->mutex));

  // The events slot of F closes and opens again while the errors slot stays.
  delete a;
  Holder again(f, "");
  ASSERT_TRUE(again.slots.events);
  EXPECT_TRUE(same_mutex(again.slots.events->mutex, b.slots.errors->mutex));
}

// A writer that dies owning every mutex on its write path: its file slots
// and the two standard streams.
struct Victim {
  std::string events, errors;
  HANDLE owned_all;
};

DWORD WINAPI die_owning(LPVOID p) {
  Victim* v = static_cast<Victim*>(p);
  util_init(v->events.c_str(), v->errors.c_str(), "DEAD", nullptr);
  HANDLE mutexes[] = {ctx_slot(EVENTS_CHANNEL)->mutex,
                      ctx_slot(ERRORS_CHANNEL)->mutex,
                      g_tables[EVENTS_CHANNEL].slots[0].mutex,
                      g_tables[ERRORS_CHANNEL].slots[0].mutex};
  for (HANDLE m : mutexes) WaitForSingleObject(m, INFINITE);
  SetEvent(v->owned_all);
  Sleep(INFINITE);  // killed here, mid-write as far as the mutexes know
  return 0;
}

TEST(WriteMutex, MutexesOfAKilledWriterCountAsAcquired) {
  rl::Watchdog dog(60, "writers after a killed owner");
  std::string dir = tu::fresh_dir();
  Victim v{dir + "shared.log", dir + "errors.log",
           CreateEventA(NULL, TRUE, FALSE, NULL)};
  HANDLE victim = CreateThread(NULL, 0, die_owning, &v, 0, NULL);
  ASSERT_EQ(WaitForSingleObject(v.owned_all, 30000), WAIT_OBJECT_0);
  TerminateThread(victim, 9);
  WaitForSingleObject(victim, INFINITE);
  CloseHandle(victim);

  // Two writers in turn: the first meets the abandoned mutexes, the second
  // must find them free again.
  for (int i = 0; i < 2; ++i)
    tu::run_thread([&] {
      util_init(v.events.c_str(), v.errors.c_str(), "LIVE", nullptr);
      warning("after the dead owner %d", i);
      lib_thread_detach();
    });
  for (const std::string& file : {v.events, v.errors}) {
    rl::Split split = rl::parse_file(file);
    EXPECT_TRUE(split.bad.empty());
    ASSERT_EQ(split.good.size(), 2u) << file;
    EXPECT_NE(split.good[1].rest.find("after the dead owner 1"),
              std::string::npos);
  }
  CloseHandle(v.owned_all);
}

}  // namespace

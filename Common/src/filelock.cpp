// The write lock of a log file, shared by every thread and every process
// that writes the file through the library, and the lock of each standard
// stream.
//
// Contract
//
// In-process lock, one per file identity (volume serial and file index, else
// the full path) and one per standard stream. `owner`: 0 free, else the id
// of the holding thread. A thread moves 0 -> its id (compare-exchange) and
// its id -> 0 (exchange, then a wake when `waiters` is non-zero). A waiter
// counts itself in `waiters` and sleeps on `owner` for 10 ms at a time. When
// one owner has made no progress (`turns` unchanged) for 16 ms, then 32, 64,
// 128 and every 256 ms, the waiter checks whether that thread still lives
// in this process; a dead owner's id is moved to the waiter's
// (compare-exchange). A live owner is waited for: nothing outside the
// process can reach this word.
// An owner id equal to the waiter's own was left by a dead thread whose id
// the system gave again. The taker of a dead owner's lock also takes what it
// held across processes (`held`).
//
// Across processes, named files have a shared block: a named file mapping
// (in the user's private namespace where the system has them, else under
// Local\), named after the file identity, with a named auto-reset wake
// event. Fixed-width fields only, `header` (magic, version, size) first; the
// first opener sets it with one compare-exchange from 0 and every opener
// checks it. `word`: 0 free, else (process id << 32 | thread id) of the
// holder. Only the thread holding the in-process lock moves it: 0 -> its own
// value (compare-exchange), its own value -> 0 (compare-exchange, then the
// event is set when `waiters` is non-zero). A word that carries this
// process's id while we hold the in-process lock is stale (a killed thread
// of ours, or a dead process whose id was given again) and is taken, unless
// its thread lives: a second record of this process on the same file, left
// when a record followed its name onto a file that another record had
// opened already. A waiter spins briefly, counts itself in `waiters`, tries
// again, then waits on the event for 10 ms at a time, so a lost wake-up costs
// 10 ms at most. When one owner has made no progress for 16 ms, then 32, 64,
// 128 and every 256 ms, the waiter checks whether that owner's thread still
// lives in that process (OpenThread, a wait of 0, GetProcessIdOfThread); a dead
// owner's value is moved to the waiter's (compare-exchange). An owner found
// alive after kBoundMs (1 s) without progress is given up on: the waiter sets
// DEGRADED and falls back. A killed holder therefore delays the others by
// 16 ms to 256 ms after its death, never more than the 1 s bound.
//
// The file under the name: a record owns one handle of its file, which all
// its slots write through. The holder of the lock may move the record onto
// the file now under the name (file_lock_switch): it gives up the old
// file's word, opens the new file's block and takes its word, all while it
// holds the in-process lock, which is the only way to the record's handle
// and block. Whoever moves a file away from its name, by rotating it or on
// finding it gone, sets RETIRED in its block (never cleared), so every
// writer of the old file sees it as soon as it next takes the word; a move
// that no writer made is found by looking at the name at most once a
// second. `day`, the file's start date, is written under the word.
//
// Anything may have been written into the block: every move of `word` is a
// compare-exchange from the value seen, an owner value that names no live
// thread of its process counts as dead, a non-zero `waiters` (also one left
// by a waiter that was killed) only costs a SetEvent per release, `flags`
// can only cause a fallback or one opening of the name per record, and
// `day` only a rotation.
//
// Fallback: LockFileEx on one byte at 2^62, far past any real end of
// the file, which the system releases when its holder's process ends. A
// process falls back for a file, and writes one warning line, when its named
// objects cannot be had (another type under a name, no view, a header of
// another layout), when the word's owner does not let go within the bound,
// or when it sees DEGRADED after taking the word. DEGRADED is never cleared.
// Why the two kinds of writers exclude each other: a word writer writes only
// after taking the word and seeing DEGRADED clear; a byte writer that sees
// the block writes only after setting or seeing DEGRADED. So a word writer
// that overlaps a byte writer took the word before DEGRADED was set and
// still holds it: it is the live owner that the byte writer gave up on,
// which is a squatter (it writes nothing) or a writer stopped for over a
// second inside its write. Processes that cannot open the block at all
// (another logon session, another account) are not excluded from those that
// can; a squatter that keeps rewriting the block, or that takes the byte
// range itself, is out of reach, as it could write into the file as well.
#include <string.h>

#include "zorvel_int.h"

namespace {

const DWORD kBoundMs = 1000;     // a live owner without progress is given up
const DWORD kFirstCheckMs = 16;  // first check whether an owner still lives
const DWORD kMaxCheckMs = 256;   // the longest time between two checks
const DWORD kWaitStepMs = 10;    // one sleep of a waiter
const int kSpins = 64;           // tries before a waiter sleeps
const DWORD kFarOffsetHigh = 0x40000000;  // the byte range: at 2^62

const LONG64 kHeader = (LONG64)0x5A564C4BLL << 32 | 1 << 16 | 32;  // ZVLK v1
const LONG kDegraded = 1;
const LONG kRetired = 2;     // the file was moved away from its name
const DWORD kLookMs = 1000;  // how often a writer checks the name's file

// The shared block: 32-bit and 64-bit processes and later versions of the
// library read it alike.
struct SharedBlock {
  volatile LONG64 header;  // kHeader: magic, version 1, size 32
  volatile LONG64 word;    // holder: process id << 32 | thread id; 0 free
  volatile LONG waiters;   // processes waiting on the wake event
  volatile LONG flags;     // kDegraded, kRetired; never cleared
  volatile LONG turns;     // takes of the word, wrapping
  volatile LONG day;       // local date the file started, yyyymmdd; 0 unknown
};
static_assert(sizeof(SharedBlock) == 32, "fixed layout");

enum Held { HELD_NONE, HELD_WORD, HELD_BYTES };

enum { KEY_SIZE = 48 };  // "zorvel-lock-" and 25 characters, or a hash

}  // namespace

struct FileLock {
  volatile LONG owner;    // in-process holder's thread id; 0 free
  volatile LONG waiters;  // threads sleeping on owner
  volatile LONG turns;    // takes of owner, wrapping
  LONG held;              // Held: what the owner holds across processes
  LONG refs;              // slots on this record; 0: free (registry lock)
  bool seek_to_end;       // a standard stream that is a disk file
  bool fallback;          // this process writes under the byte range
  volatile LONG warn;     // 0 quiet, 1 fallback to report, 2 reported
  bool retired_seen;      // kRetired acted on: it led back to this file, or
                          // the name could not be opened
  LONG day;               // the file's start date without a block
  DWORD looked;           // tick of the last look at the name's file
  SharedBlock* block;     // null for streams and for a fallback at open
  HANDLE mapping, wake;
  HANDLE file;  // writes and the byte range; null for streams
  char key[KEY_SIZE];
  char path[PATH_SIZE];
};

namespace {

FileLock s_locks[2 * SLOT_COUNT];
FileLock s_streams[2];
SRWLOCK s_registry = SRWLOCK_INIT;
volatile LONG s_warnings;  // a fallback waits to be reported

struct RegistryGuard {
  RegistryGuard() { AcquireSRWLockExclusive(&s_registry); }
  ~RegistryGuard() { ReleaseSRWLockExclusive(&s_registry); }
};

// ------------------------------------------------------------ sleeping

typedef BOOL(WINAPI* WaitOnAddressFn)(volatile VOID*, PVOID, SIZE_T, DWORD);
typedef VOID(WINAPI* WakeByAddressFn)(PVOID);
WaitOnAddressFn s_wait_on_address;
WakeByAddressFn s_wake_by_address;

// Sleeps while *word is seen, at most ms; without WaitOnAddress (before
// Windows 8) a plain sleep.
void sleep_on(volatile LONG* word, LONG seen, DWORD ms) {
  if (s_wait_on_address)
    s_wait_on_address(word, &seen, sizeof seen, ms);
  else
    Sleep(1);
}

void wake_one(volatile LONG* word) {
  if (s_wake_by_address) s_wake_by_address((PVOID)word);
}

void spin_pause(int round) {
  if (round % 16 == 15)
    SwitchToThread();
  else
    YieldProcessor();
}

// Progress of one owner as a waiter sees it.
struct Stall {
  LONG64 owner = -1;
  LONG turns = 0;
  DWORD start = 0, next_check = 0;
  void observe(LONG64 now_owner, LONG now_turns) {
    if (now_owner == owner && now_turns == turns) return;
    owner = now_owner;
    turns = now_turns;
    start = GetTickCount();
    next_check = kFirstCheckMs;
  }
  DWORD waited() const { return GetTickCount() - start; }
  // Time to check whether the owner lives: after 16 ms, then 32, 64, 128
  // and every 256 ms, and always at the bound that gives a live owner up.
  bool check_due() {
    DWORD ms = waited();
    if (ms < next_check) return false;
    DWORD step = next_check < kMaxCheckMs ? next_check : kMaxCheckMs;
    next_check = ms + step;
    if (ms < kBoundMs && next_check > kBoundMs) next_check = kBoundMs;
    return true;
  }
};

// Whether thread tid lives and belongs to process pid. A thread that cannot
// be opened for want of rights exists.
bool thread_lives(DWORD tid, DWORD pid) {
  HANDLE thread =
      OpenThread(SYNCHRONIZE | THREAD_QUERY_LIMITED_INFORMATION, FALSE, tid);
  if (!thread) return GetLastError() == ERROR_ACCESS_DENIED;
  bool lives = WaitForSingleObject(thread, 0) == WAIT_TIMEOUT &&
               GetProcessIdOfThread(thread) == pid;
  CloseHandle(thread);
  return lives;
}

// ------------------------------------------------------------ in-process

bool own_take(FileLock* lock, LONG me) {
  return InterlockedCompareExchange(&lock->owner, me, 0) == 0;
}

// Waits for the in-process lock; takes over from a dead owner.
void own_wait(FileLock* lock, LONG me) {
  DWORD pid = GetCurrentProcessId();
  Stall stall;
  for (int round = 0;; ++round) {
    LONG owner = lock->owner;
    if (owner == 0 || owner == me) {
      if (InterlockedCompareExchange(&lock->owner, me, owner) == owner) return;
      continue;
    }
    stall.observe(owner, lock->turns);
    if (stall.check_due() && !thread_lives((DWORD)owner, pid)) {
      if (InterlockedCompareExchange(&lock->owner, me, owner) == owner) return;
      continue;
    }
    if (round < kSpins) {
      spin_pause(round);
      continue;
    }
    InterlockedIncrement(&lock->waiters);
    sleep_on(&lock->owner, owner, kWaitStepMs);
    InterlockedDecrement(&lock->waiters);
  }
}

void own_give(FileLock* lock) {
  InterlockedExchange(&lock->owner, 0);
  if (lock->waiters) wake_one(&lock->owner);
}

// ------------------------------------------------------------ shared word

LONG64 read64(volatile LONG64* value) {
  return InterlockedCompareExchange64(value, 0, 0);  // whole on 32-bit too
}

LONG64 word_of(LONG me) {
  return (LONG64)((ULONG64)GetCurrentProcessId() << 32 | (DWORD)me);
}

DWORD word_pid(LONG64 word) { return (DWORD)((ULONG64)word >> 32); }

// A word of this process's is held by a live thread only when another lock
// record of the process has the same file (one moved onto it after its old
// file was moved away); otherwise it was left by a thread that died, or by a
// dead process whose id was given again.
bool own_word_lives(LONG64 word, LONG64 mine) {
  return word != mine && thread_lives((DWORD)word, GetCurrentProcessId());
}

// Waits for the shared word; false when a live owner kept it past the bound.
bool word_wait(FileLock* lock, LONG64 mine) {
  SharedBlock* block = lock->block;
  DWORD pid = GetCurrentProcessId();
  Stall stall;
  bool counted = false, taken = false;
  LONG64 ours_alive = 0;  // a word of this process's that a live thread holds
  for (int round = 0;; ++round) {
    LONG64 word = read64(&block->word);
    if (word == 0 || (word_pid(word) == pid && word != ours_alive &&
                      !own_word_lives(word, mine))) {
      if (InterlockedCompareExchange64(&block->word, mine, word) == word) {
        taken = true;
        break;
      }
      continue;
    }
    if (word_pid(word) == pid) ours_alive = word;
    stall.observe(word, block->turns);
    bool checked = stall.check_due();
    if (checked && !thread_lives((DWORD)word, word_pid(word))) {
      if (InterlockedCompareExchange64(&block->word, mine, word) == word) {
        taken = true;
        break;
      }
      continue;
    }
    if (checked && stall.waited() >= kBoundMs) break;  // a live owner
    if (round < kSpins) {
      spin_pause(round);
    } else if (!counted) {
      InterlockedIncrement(&block->waiters);  // then look once more
      counted = true;
    } else {
      WaitForSingleObject(lock->wake, kWaitStepMs);
    }
  }
  if (counted) InterlockedDecrement(&block->waiters);
  return taken;
}

bool word_take(FileLock* lock, LONG me) {
  LONG64 mine = word_of(me);
  bool taken = InterlockedCompareExchange64(&lock->block->word, mine, 0) == 0 ||
               word_wait(lock, mine);
  if (taken) ++lock->block->turns;
  return taken;
}

void word_give(FileLock* lock, LONG me) {
  SharedBlock* block = lock->block;
  InterlockedCompareExchange64(&block->word, 0, word_of(me));
  if (block->waiters) SetEvent(lock->wake);
}

// A dead thread of ours held the word: it is ours now, unless another
// process took it over meanwhile.
bool word_adopt(FileLock* lock, LONG me) {
  LONG64 word = read64(&lock->block->word);
  return word_pid(word) == GetCurrentProcessId() &&
         InterlockedCompareExchange64(&lock->block->word, word_of(me), word) ==
             word;
}

// ------------------------------------------------------------ byte range

OVERLAPPED far_range(void) {
  OVERLAPPED at;
  memset(&at, 0, sizeof at);
  at.OffsetHigh = kFarOffsetHigh;
  return at;
}

bool bytes_take(FileLock* lock) {
  OVERLAPPED at = far_range();
  return LockFileEx(lock->file, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &at) != 0;
}

void bytes_give(FileLock* lock) {
  OVERLAPPED at = far_range();
  UnlockFileEx(lock->file, 0, 1, 0, &at);
}

void fall_back(FileLock* lock) {
  lock->fallback = true;
  if (InterlockedCompareExchange(&lock->warn, 1, 0) == 0)
    InterlockedExchange(&s_warnings, 1);
}

// Takes what spans the processes, for the in-process owner.
void shared_take(FileLock* lock, LONG me) {
  if (!lock->block && !lock->fallback) return;  // a standard stream
  if (!lock->fallback) {
    if (word_take(lock, me)) {
      if (!(lock->block->flags & kDegraded)) {
        lock->held = HELD_WORD;
        return;
      }
      word_give(lock, me);
    } else {
      InterlockedOr(&lock->block->flags, kDegraded);
    }
    fall_back(lock);
  }
  // Without the byte range the line is still written: logging never fails.
  lock->held = bytes_take(lock) ? HELD_BYTES : HELD_NONE;
}

// ------------------------------------------------------------ names

enum NamePlace { NAMES_UNKNOWN, NAMES_LOCAL, NAMES_PRIVATE, NAMES_NONE };
NamePlace s_names = NAMES_UNKNOWN;

typedef HANDLE(WINAPI* CreateBoundaryFn)(LPCWSTR, ULONG);
typedef BOOL(WINAPI* AddSidFn)(HANDLE*, PSID);
typedef VOID(WINAPI* DeleteBoundaryFn)(HANDLE);
typedef HANDLE(WINAPI* CreateNamespaceFn)(LPSECURITY_ATTRIBUTES, LPVOID,
                                          LPCWSTR);
typedef HANDLE(WINAPI* OpenNamespaceFn)(LPVOID, LPCWSTR);

FARPROC proc(HMODULE module, const char* name) {
  return module ? GetProcAddress(module, name) : NULL;
}

// The user's SID into buffer; false when it cannot be read.
bool user_sid(BYTE* buffer, DWORD size) {
  HANDLE token;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
  DWORD got = 0;
  BOOL ok = GetTokenInformation(token, TokenUser, buffer, size, &got);
  CloseHandle(token);
  return ok != 0;
}

// Opens or creates the private namespace of the user's SID. Where the system
// has none (no CreateBoundaryDescriptorW, or it gives nothing, as under
// Wine) the names live under Local\; where it has them but this process
// cannot open one, no names are used and files fall back.
// "zorvel", spelled out: WCHAR is char16_t in Wine's SDK, not wchar_t.
const WCHAR kNamespace[] = {'z', 'o', 'r', 'v', 'e', 'l', 0};

NamePlace open_namespace(void) {
  HMODULE kernel = GetModuleHandleA("kernel32.dll");
  // Never the A variant: under Wine 8 calling it ends the process.
  CreateBoundaryFn create_boundary =
      (CreateBoundaryFn)(void*)proc(kernel, "CreateBoundaryDescriptorW");
  AddSidFn add_sid =
      (AddSidFn)(void*)proc(kernel, "AddSIDToBoundaryDescriptor");
  DeleteBoundaryFn delete_boundary =
      (DeleteBoundaryFn)(void*)proc(kernel, "DeleteBoundaryDescriptor");
  CreateNamespaceFn create_namespace =
      (CreateNamespaceFn)(void*)proc(kernel, "CreatePrivateNamespaceW");
  OpenNamespaceFn open_ns =
      (OpenNamespaceFn)(void*)proc(kernel, "OpenPrivateNamespaceW");
  if (!create_boundary || !add_sid || !delete_boundary || !create_namespace ||
      !open_ns)
    return NAMES_LOCAL;
  HANDLE boundary = create_boundary(kNamespace, 0);
  if (!boundary) return NAMES_LOCAL;
  BYTE sid[256];
  HANDLE ns = NULL;
  if (user_sid(sid, sizeof sid) &&
      add_sid(&boundary, ((TOKEN_USER*)sid)->User.Sid)) {
    ns = create_namespace(NULL, boundary, kNamespace);
    if (!ns && GetLastError() == ERROR_ALREADY_EXISTS)
      ns = open_ns(boundary, kNamespace);
  }
  delete_boundary(boundary);
  // The namespace stays open for the process's life: its objects need it.
  return ns ? NAMES_PRIVATE : NAMES_NONE;
}

// Settled at load: opening the namespace looks up kernel32's exports, and
// that takes the loader lock, which must never be waited for under a table
// mutex (a thread ending holds it while it waits for one).
NamePlace name_place(void) { return s_names; }

// ------------------------------------------------------------ open

// The shared block's view when the mapping holds a block of ours. A view of
// a page fails on a section smaller than that.
SharedBlock* map_block(HANDLE mapping) {
  SharedBlock* block = (SharedBlock*)MapViewOfFile(
      mapping, FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, 4096);
  if (!block) return NULL;
  LONG64 header = InterlockedCompareExchange64(&block->header, kHeader, 0);
  if (header == 0 || header == kHeader) return block;
  UnmapViewOfFile(block);
  return NULL;
}

// Opens the file's named mapping and wake event; false when either cannot be
// had as ours (the lock then falls back).
bool attach_shared(FileLock* lock) {
  NamePlace place = name_place();
  if (place == NAMES_NONE) return false;
  const char* prefix = place == NAMES_PRIVATE ? "zorvel\\" : "Local\\";
  char name[16 + KEY_SIZE];
  str_format(name, sizeof name, "%s%s", prefix, lock->key);
  lock->mapping = CreateFileMappingA(INVALID_HANDLE_VALUE, NULL, PAGE_READWRITE,
                                     0, 4096, name);
  if (lock->mapping) lock->block = map_block(lock->mapping);
  str_format(name, sizeof name, "%s%s-wake", prefix, lock->key);
  if (lock->block) lock->wake = CreateEventA(NULL, FALSE, FALSE, name);
  return lock->block && lock->wake;
}

// Closes what belongs to the file: its shared block, wake event and handle.
void detach_file(FileLock* lock) {
  if (lock->block) UnmapViewOfFile((void*)lock->block);
  HANDLE handles[] = {lock->mapping, lock->wake, lock->file};
  for (HANDLE h : handles)
    if (h) CloseHandle(h);
  lock->block = NULL;
  lock->mapping = lock->wake = lock->file = NULL;
}

void close_record(FileLock* lock) {
  detach_file(lock);
  memset(lock, 0, sizeof *lock);
}

// Gives up what spans the processes, for the in-process owner.
void shared_give(FileLock* lock, LONG me) {
  if (lock->held == HELD_WORD) word_give(lock, me);
  if (lock->held == HELD_BYTES) bytes_give(lock);
  lock->held = HELD_NONE;
}

// Deleted while open: the system removes the file when its last handle
// closes, and until then its name opens it again (Wine) or nothing
// (Windows before its POSIX deletes).
bool doomed(HANDLE file) {
  FILE_STANDARD_INFO info;
  return GetFileInformationByHandleEx(file, FileStandardInfo, &info,
                                      sizeof info) &&
         info.DeletePending;
}

// Whether the name opens the file lock writes: false when it opens another
// file or none. A name that cannot be looked at (no rights, a sharing
// conflict) is taken to be unchanged.
bool name_holds_file(const FileLock* lock) {
  HANDLE named =
      CreateFileA(lock->path, FILE_READ_ATTRIBUTES,
                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
  if (named == INVALID_HANDLE_VALUE) {
    DWORD error = GetLastError();
    return error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND;
  }
  char key[KEY_SIZE];
  file_lock_name(named, lock->path, key, sizeof key);
  CloseHandle(named);
  return strcmp(key, lock->key) == 0;
}

FileLock* find_record(const char* key) {
  for (FileLock& lock : s_locks)
    if (lock.refs > 0 && strcmp(lock.key, key) == 0) return &lock;
  return NULL;
}

FileLock* free_record(void) {
  for (FileLock& lock : s_locks)
    if (lock.refs == 0) return &lock;
  return NULL;
}

}  // namespace

// ------------------------------------------------------------ interface

void file_lock_init(void) {
  s_names = open_namespace();
  HMODULE kernelbase = GetModuleHandleA("kernelbase.dll");
  s_wait_on_address = (WaitOnAddressFn)(void*)proc(kernelbase, "WaitOnAddress");
  s_wake_by_address =
      (WakeByAddressFn)(void*)proc(kernelbase, "WakeByAddressSingle");
  if (!s_wait_on_address || !s_wake_by_address) s_wait_on_address = NULL;
}

FileLock* file_lock_stream(Channel channel, HANDLE stream) {
  FileLock* lock = &s_streams[channel];
  memset(lock, 0, sizeof *lock);
  lock->refs = 1;
  // Others may write the same file: each line goes to its end.
  lock->seek_to_end = stream && GetFileType(stream) == FILE_TYPE_DISK;
  return lock;
}

bool file_lock_name(HANDLE file, const char* path, char* out, size_t size) {
  BY_HANDLE_FILE_INFORMATION info;
  if (GetFileInformationByHandle(file, &info)) {
    str_format(out, size, "zorvel-lock-%08lx-%08lx%08lx",
               (unsigned long)info.dwVolumeSerialNumber,
               (unsigned long)info.nFileIndexHigh,
               (unsigned long)info.nFileIndexLow);
    return true;
  }
  // Only a handle that cannot tell its file's identity falls back on the
  // full path as the system reads it, case folded and hashed.
  char full[PATH_SIZE * 4];
  DWORD n = GetFullPathNameA(path, sizeof full, full, NULL);
  const char* name = n > 0 && n < sizeof full ? full : path;
  unsigned long long hash = 14695981039346656037ULL;  // FNV-1a, 64 bits
  for (const char* p = name; *p; ++p) {
    int c = *p >= 'A' && *p <= 'Z' ? *p - 'A' + 'a' : (unsigned char)*p;
    hash = (hash ^ (unsigned)c) * 1099511628211ULL;
  }
  str_format(out, size, "zorvel-lockp-%08lx%08lx", (unsigned long)(hash >> 32),
             (unsigned long)hash);
  return false;
}

FileLock* file_lock_open(HANDLE file, const char* path) {
  char key[KEY_SIZE];
  file_lock_name(file, path, key, sizeof key);
  RegistryGuard guard;
  FileLock* lock = find_record(key);
  if (lock) {
    ++lock->refs;
    return lock;
  }
  lock = free_record();
  if (!lock) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return NULL;
  }
  memset(lock, 0, sizeof *lock);
  HANDLE self = GetCurrentProcess();
  if (!DuplicateHandle(self, file, self, &lock->file, 0, FALSE,
                       DUPLICATE_SAME_ACCESS))
    return NULL;
  lock->refs = 1;
  str_copy(lock->key, sizeof lock->key, key);
  str_copy(lock->path, sizeof lock->path, path);
  lock->looked = GetTickCount();
  if (!attach_shared(lock)) fall_back(lock);
  return lock;
}

void file_lock_close(FileLock* lock) {
  if (!lock) return;
  RegistryGuard guard;
  if (lock->refs > 0 && --lock->refs == 0) close_record(lock);
}

void file_lock_acquire(FileLock* lock) {
  if (!lock) return;
  LONG me = (LONG)GetCurrentThreadId();
  if (!own_take(lock, me)) own_wait(lock, me);
  ++lock->turns;
  // Left held by a dead owner: the word becomes ours, the byte range is
  // this process's already.
  if (lock->held == HELD_WORD && !word_adopt(lock, me)) lock->held = HELD_NONE;
  if (lock->held == HELD_NONE) shared_take(lock, me);
}

void file_lock_release(FileLock* lock) {
  if (!lock) return;
  shared_give(lock, (LONG)GetCurrentThreadId());
  own_give(lock);
}

HANDLE file_lock_file(const FileLock* lock) { return lock ? lock->file : NULL; }

bool file_lock_named(const FileLock* lock) { return lock && lock->key[0]; }

bool file_lock_stale(FileLock* lock) {
  if (!lock->key[0]) return false;  // a standard stream
  if (lock->block && (lock->block->flags & kRetired) && !lock->retired_seen)
    return true;
  DWORD now = GetTickCount();
  if (now - lock->looked < kLookMs) return false;
  lock->looked = now;
  return !lock->file || doomed(lock->file) || !name_holds_file(lock);
}

void file_lock_let_go_if_doomed(FileLock* lock) {
  if (!lock->file || !doomed(lock->file)) return;
  shared_give(lock, (LONG)GetCurrentThreadId());
  detach_file(lock);
}

void file_lock_follow_later(FileLock* lock) { lock->retired_seen = true; }

void file_lock_retire(FileLock* lock) {
  if (lock->block) InterlockedOr(&lock->block->flags, kRetired);
}

bool file_lock_switch(FileLock* lock, HANDLE fresh) {
  char key[KEY_SIZE];
  file_lock_name(fresh, lock->path, key, sizeof key);
  lock->looked = GetTickCount();
  if (doomed(fresh)) {  // kept alive by its other handles
    CloseHandle(fresh);
    return false;
  }
  if (lock->file && strcmp(key, lock->key) == 0) {  // still the same file
    CloseHandle(fresh);
    lock->retired_seen = true;
    return false;
  }
  LONG me = (LONG)GetCurrentThreadId();
  shared_give(lock, me);
  detach_file(lock);
  {
    RegistryGuard guard;  // keys are looked up under it
    str_copy(lock->key, sizeof lock->key, key);
  }
  lock->file = fresh;
  lock->fallback = false;
  lock->retired_seen = false;
  lock->day = 0;
  if (!attach_shared(lock)) fall_back(lock);
  shared_take(lock, me);
  return true;
}

LONG file_lock_day(const FileLock* lock) {
  return lock->block ? lock->block->day : lock->day;
}

void file_lock_set_day(FileLock* lock, LONG day) {
  if (lock->block)
    InterlockedExchange(&lock->block->day, day);
  else
    lock->day = day;
}

void file_lock_release_if_owner(FileLock* lock) {
  if (lock && lock->owner == (LONG)GetCurrentThreadId())
    file_lock_release(lock);
}

bool file_lock_seeks(const FileLock* lock) { return lock && lock->seek_to_end; }

bool file_lock_fell_back(const FileLock* lock) {
  return lock && lock->fallback;
}

void file_lock_report_fallbacks(void) {
  if (!s_warnings || !InterlockedExchange(&s_warnings, 0)) return;
  for (;;) {
    char path[PATH_SIZE] = "";
    {
      RegistryGuard guard;
      for (FileLock& lock : s_locks)
        if (lock.refs > 0 &&
            InterlockedCompareExchange(&lock.warn, 2, 1) == 1) {
          str_copy(path, sizeof path, lock.path);
          break;
        }
    }
    if (!path[0]) return;
    warning(
        "Writes to %s fall back to a lock on the file itself: the write "
        "lock shared with other processes could not be had.",
        path);
  }
}

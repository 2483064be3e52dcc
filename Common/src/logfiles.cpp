// Log files: daily rotation, shared reference-counted slots, util_init and
// show_message.
#include <stdio.h>
#include <string.h>

#include "zorvel_int.h"

enum {
  FIELD_SIZE = 1024,  // make_dirs' work area; a full path name
  MOVE_NAME = 2048,   // each name of a move
  ITEMS_SIZE = 2048,  // read_rotation_config's items area
  OPEN_RETRIES = 2    // opens tried again after creating directories
};

// ------------------------------------------------------------ rotation

// Reads one "rotate" or "rotate_running" entry into the slot it names
// (text.cpp).
static int rotation_entry(char* key, char* value, DWORD_PTR item,
                          void* context) {
  (void)item;
  LogSlot* slot = (LogSlot*)context;
  int keep = 0;
  unsigned long long limit = 0;
  if (rotation_match(key, value, slot->path, &keep)) {
    slot->rotate = true;
    slot->keep = (SHORT)keep;
  } else if (running_rotation_match(key, value, slot->path, &keep, &limit)) {
    slot->running = true;
    slot->running_keep = (SHORT)keep;
    slot->limit = limit;
  }
  return 0;
}

void read_rotation_config(LogSlot* slot, const char* profile) {
  slot->rotate = false;
  slot->keep = 0;
  slot->running = false;
  slot->running_keep = 0;
  slot->limit = 0;
  if (!profile || !profile[0]) return;
  char items[ITEMS_SIZE];
  DWORD capacity = ITEMS_SIZE;
  read_profile_section(profile, "logfile", (DWORD_PTR)items, &capacity,
                       rotation_entry, NULL, slot);
}

static bool file_exists(const char* path) {
  WIN32_FIND_DATAA data;
  HANDLE find = FindFirstFileA(path, &data);
  if (find == INVALID_HANDLE_VALUE) return false;
  FindClose(find);
  return true;
}

// The file's creation date as the file system stores it, unconverted.
static bool creation_date(const char* path, SYSTEMTIME* date) {
  WIN32_FIND_DATAA data;
  HANDLE find = FindFirstFileA(path, &data);
  if (find == INVALID_HANDLE_VALUE) return false;
  FindClose(find);
  return FileTimeToSystemTime(&data.ftCreationTime, date) != 0;
}

static void numbered_name(char* out, const char* path, int number) {
  str_format(out, MOVE_NAME, "%s.%d", path, number);
}

// Copy i becomes copy i + 1 for i from keep - 1 down to 1, then the file
// becomes copy 1. Failed moves are ignored; true when the file itself moved.
static bool shift_copies(const char* path, int keep) {
  char from[MOVE_NAME];
  char to[MOVE_NAME];
  for (int i = keep - 1; i >= 1; --i) {
    numbered_name(from, path, i);
    if (!file_exists(from)) continue;
    numbered_name(to, path, i + 1);
    MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED);
  }
  str_format(to, MOVE_NAME, "%s.1", path);
  return MoveFileExA(path, to,
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED) != 0;
}

bool rotate_if_due(LogSlot* slot, const char* profile) {
  read_rotation_config(slot, profile);
  if (!slot->rotate) return false;
  SYSTEMTIME created;
  if (!creation_date(slot->path, &created)) return false;
  SYSTEMTIME today;
  GetLocalTime(&today);
  if (created.wYear == today.wYear && created.wMonth == today.wMonth &&
      created.wDay == today.wDay)
    return false;
  if (slot->keep >= 1)
    shift_copies(slot->path, slot->keep);
  else
    DeleteFileA(slot->path);
  return true;
}

// Where make_dirs starts looking for separators: after a UNC prefix, a drive
// root, a bare drive, or the first character.
static size_t first_separator_search(const char* dir) {
  if (dir[0] == '\\' && dir[1] == '\\') return 2;
  if (dir[0] && dir[1] == ':' && dir[2] == '\\') return 3;
  if (dir[0] && dir[1] == ':') return 2;
  return 1;
}

void make_dirs(const char* path) {
  char dir[FIELD_SIZE];
  str_copy(dir, sizeof dir, path);
  char* last = strrchr(dir, '\\');
  if (!last) return;
  last[1] = 0;
  for (char* p = dir + first_separator_search(dir); *p; ++p) {
    if (*p != '\\') continue;
    *p = 0;
    BOOL made = CreateDirectoryA(dir, NULL);
    DWORD error = made ? 0 : GetLastError();
    *p = '\\';
    if (!made && error != ERROR_ALREADY_EXISTS) return;
  }
}

// ------------------------------------------------------------ slots

static LogTable* table_of(Channel channel) { return &g_tables[channel]; }

// Slots 1 to 39 hold named files; slot 0 (the standard stream) never matches.
static int find_in_table(const LogTable* table, const char* name) {
  for (int i = 1; i < SLOT_COUNT; ++i)
    if (table->slots[i].in_use && _stricmp(table->slots[i].path, name) == 0)
      return i;
  return -1;
}

int slot_find(Channel channel, const char* name) {
  if (!name || !name[0]) return -1;
  TableLock lock(channel);
  return find_in_table(table_of(channel), name);
}

// The name comes resolved and is stored as it came: resolving it again
// would change a name that climbed past the drive ("\x.log"), which
// slot_find would then never match, and would read the executable's path
// under the table mutex.
static void slot_set_path(LogSlot* slot, const char* name) {
  str_copy(slot->path, PATH_SIZE, name);
}

// The creation time, set to the local time unconverted, is how the next
// opening tells the day the file started.
static void stamp_creation_time(HANDLE file) {
  SYSTEMTIME now;
  FILETIME created;
  GetLocalTime(&now);
  if (SystemTimeToFileTime(&now, &created)) SetFileTime(file, &created, 0, 0);
}

// Append-only: every write lands at the end of the file without a seek.
// Reading, and the creation time a rotation sets, need their own rights.
static const DWORD LOG_FILE_ACCESS =
    GENERIC_READ | FILE_APPEND_DATA | FILE_WRITE_ATTRIBUTES | SYNCHRONIZE;
// Others may move or delete the file while it is open: a rotation in another
// process, an operator's tool.
static const DWORD LOG_FILE_SHARING =
    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Opens or creates the slot's file, creating missing directories on the
// way; *created tells which. Returns INVALID_HANDLE_VALUE with the last
// error set on failure.
static HANDLE open_log_file(const char* path, bool* created) {
  for (int attempt = 0;; ++attempt) {
    HANDLE file = CreateFileA(path, LOG_FILE_ACCESS, LOG_FILE_SHARING, NULL,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file != INVALID_HANDLE_VALUE) {
      *created = GetLastError() != ERROR_ALREADY_EXISTS;
      return file;
    }
    DWORD error = GetLastError();
    bool missing_dir =
        error == ERROR_PATH_NOT_FOUND || error == ERROR_INVALID_NAME;
    if (!missing_dir || attempt >= OPEN_RETRIES) return file;
    make_dirs(path);
    SetLastError(error);
  }
}

// ------------------------------------------------------------ while open
// Everything here runs under the slot's write lock.

static void start_day_now(FileLock* lock) {
  file_lock_acquire(lock);
  file_lock_set_day(lock, msg_local_day());
  file_lock_release(lock);
}

// The local date a file started, as its creation time stores it (see
// stamp_creation_time); 0 when it cannot be read.
static LONG creation_day(HANDLE file) {
  FILETIME created;
  SYSTEMTIME date;
  if (!GetFileTime(file, &created, NULL, NULL) ||
      !FileTimeToSystemTime(&created, &date))
    return 0;
  return date.wYear * 10000 + date.wMonth * 100 + date.wDay;
}

static LONG start_day(FileLock* lock) {
  LONG day = file_lock_day(lock);
  if (!day) {
    day = creation_day(file_lock_file(lock));
    if (day) file_lock_set_day(lock, day);
  }
  return day;
}

// A line of a later day than the file's start, or one that would take a
// non-empty file past the size limit. A line stamped before the file
// started (a thread that stamped it before midnight and wrote after the
// rotation) stays in it.
static bool rotation_due(LogSlot* slot, DWORD bytes) {
  if (slot->retry_tick && (LONG)(GetTickCount() - slot->retry_tick) < 0)
    return false;
  slot->retry_tick = 0;
  LONG start = start_day(slot->lock);
  if (start && msg_local_day() > start) return true;
  LARGE_INTEGER size;
  return slot->limit && GetFileSizeEx(file_lock_file(slot->lock), &size) &&
         size.QuadPart > 0 && (ULONGLONG)size.QuadPart + bytes > slot->limit;
}

// Without copies the file goes. Under another name first: a file open
// elsewhere is only deleted when its last handle closes, and its name would
// stand in the way of the fresh file until then.
static bool remove_open_file(const char* path) {
  char doomed[MOVE_NAME];
  str_format(doomed, sizeof doomed, "%s.%lu-%lu.deleted", path,
             (unsigned long)GetCurrentProcessId(),
             (unsigned long)GetTickCount());
  if (!MoveFileExA(path, doomed, MOVEFILE_REPLACE_EXISTING)) return false;
  DeleteFileA(doomed);
  return true;
}

// Moves onto the file now under the slot's name, created when there is
// none; without one the writes stay where they were. A file deleted while
// open is let go first: only then can the name be had.
static void follow_name(LogSlot* slot, bool rotating) {
  file_lock_let_go_if_doomed(slot->lock);
  bool created = false;
  HANDLE fresh = open_log_file(slot->path, &created);
  if (fresh == INVALID_HANDLE_VALUE) {
    file_lock_follow_later(slot->lock);
    return;
  }
  bool starts = rotating || (slot->running && created);
  if (starts) stamp_creation_time(fresh);
  if (file_lock_switch(slot->lock, fresh) && starts)
    file_lock_set_day(slot->lock, msg_local_day());
}

// Shifts the copies as an opening rotation does, or deletes the file, then
// starts a fresh one that every writer moves to. A rotation that could not
// move the file is tried again a second later at the earliest.
static void rotate_open_file(LogSlot* slot) {
  bool moved = slot->running_keep >= 1
                   ? shift_copies(slot->path, slot->running_keep)
                   : remove_open_file(slot->path);
  if (!moved) {
    slot->retry_tick = (GetTickCount() + 1000) | 1;
    return;
  }
  file_lock_retire(slot->lock);
  follow_name(slot, true);
}

// Follows the name until the lock holds the file under it: the file found
// can itself be rotated away by another process before its lock is had, and
// a rotation must never move a file other than its own. A few rounds at
// most; a squatter's mark leads back to the same file once.
static void keep_up_with_name(LogSlot* slot) {
  for (int round = 0; round < 4 && file_lock_stale(slot->lock); ++round) {
    file_lock_retire(slot->lock);
    follow_name(slot, false);
  }
}

HANDLE log_file_target(LogSlot* slot, DWORD bytes) {
  keep_up_with_name(slot);
  if (file_lock_file(slot->lock) && slot->running &&
      rotation_due(slot, bytes)) {
    rotate_open_file(slot);
    keep_up_with_name(slot);
  }
  return file_lock_file(slot->lock);
}

// Frees a claimed slot after a failure and throws the error code.
static void slot_fail(LogSlot* slot, DWORD error) {
  if (slot->file != INVALID_HANDLE_VALUE && slot->file) CloseHandle(slot->file);
  slot->file = NULL;
  slot->in_use = 0;
  throw static_cast<unsigned long>(error);
}

static int first_free_slot(const LogTable* table) {
  for (int i = 1; i < SLOT_COUNT; ++i)
    if (!table->slots[i].in_use) return i;
  return -1;
}

int slot_open(Channel channel, const char* name, const char* profile) {
  if (strlen(name) >= PATH_SIZE)  // would not be the name compared
    throw static_cast<unsigned long>(ERROR_FILENAME_EXCED_RANGE);
  LogTable* table = table_of(channel);
  TableLock lock(channel);
  int index = first_free_slot(table);
  if (index < 0) return -1;
  LogSlot* slot = &table->slots[index];
  memset(slot, 0, sizeof *slot);
  slot->in_use = 1;
  slot_set_path(slot, name);

  bool rotated = rotate_if_due(slot, profile);
  bool created = false;
  slot->file = open_log_file(slot->path, &created);
  if (slot->file == INVALID_HANDLE_VALUE) slot_fail(slot, GetLastError());
  // A file rotated while open starts its day when the library makes it.
  bool starts = slot->running && created;
  if (rotated || starts) stamp_creation_time(slot->file);

  // The lock belongs to the file, not to the name: every writer of the file
  // takes the same one, also through another name (an 8.3 short name, a hard
  // link, "x.log." for "x.log") or in another process. Writes go through its
  // own handle, which follows the name when the file is moved away.
  slot->lock = file_lock_open(slot->file, slot->path);
  if (!slot->lock) slot_fail(slot, GetLastError());
  CloseHandle(slot->file);
  slot->file = NULL;
  if (starts) start_day_now(slot->lock);

  slot->index = index;
  ctx_set_slot(channel, slot);
  return index;
}

void slot_addref(Channel channel, int index) {
  TableLock lock(channel);
  ++table_of(channel)->counts[index];
}

void slot_release(Channel channel) {
  LogSlot* slot = ctx_slot(channel);
  if (slot) slot_drop(channel, slot);
}

// ------------------------------------------------------------ util_init

// Resolves a name for comparison and opening, once: the slot keeps this
// very text. A name that cannot be resolved into a slot's path is refused
// with the error a file open would give: too long, or not a file name at
// all (a dotted name without '\').
void resolve_name(char* resolved, const char* name) {
  if (resolve_path(resolved, name) == 0 && resolved[0]) return;
  const char* exe = exe_path();
  size_t dir_length = exe ? strlen(exe) : 0;
  bool too_long = dir_length + strlen(name) >= PATH_SIZE;
  throw static_cast<unsigned long>(too_long ? ERROR_FILENAME_EXCED_RANGE
                                            : ERROR_INVALID_NAME);
}

// Find, open and count of one name form one step: the channel's table stays
// locked across them. The name comes resolved: nothing under the lock asks
// the loader, whose lock a thread ending holds while it waits for this
// table's mutex. Returns false when the channel's table is full.
static bool attach_slot(Channel channel, const char* name,
                        const char* profile) {
  TableLock lock(channel);
  if (ctx_slot(channel)) {
    slot_release(channel);
    ctx_set_slot(channel, NULL);  // never left on a slot that may be freed
  }
  int index = slot_find(channel, name);
  if (index >= 0)
    ctx_set_slot(channel, &table_of(channel)->slots[index]);
  else
    index = slot_open(channel, name, profile);
  if (index < 0) return false;
  slot_addref(channel, index);
  return true;
}

static void attach_channel(Channel channel, const char* name,
                           const char* profile) {
  if (!name || !name[0]) return;
  char resolved[RESOLVED_NAME_SIZE];
  resolve_name(resolved, name);
  LogSlot* current = ctx_slot(channel);
  if (current && _stricmp(current->path, resolved) == 0) return;
  if (!attach_slot(channel, resolved, profile))
    warning(
        "No free log slot for %s: its lines go to the standard stream "
        "only.",
        resolved);
}

int __cdecl util_init(const char* events_file, const char* errors_file,
                      const char* mark, const char* profile_file) {
  char profile[RESOLVED_NAME_SIZE] = "";
  if (profile_file && profile_file[0]) resolve_path(profile, profile_file);
  attach_channel(EVENTS_CHANNEL, events_file, profile);
  attach_channel(ERRORS_CHANNEL, errors_file, profile);
  if (mark) ctx_set_mark(mark);
  return 0;
}

// The text is a format whose only conversion is "%%". Any other '%' is
// printed as it stands instead of reading arguments that were never passed.
static void escape_percents(char* out, const char* text) {
  while (*text) {
    if (text[0] == '%' && text[1] == '%') {
      *out++ = *text++;
    } else if (text[0] == '%') {
      *out++ = '%';
    }
    *out++ = *text++;
  }
  *out = 0;
}

void __stdcall show_message(const char* text) {
  util_init(".\\events.log", "", "EXT", NULL);
  if (!text) return;
  // Longer texts exceed the append limit whatever they hold.
  if (strlen(text) > 2 * APPEND_LIMIT) {
    event("%s", text);
    return;
  }
  char format[4 * APPEND_LIMIT + 1];
  escape_percents(format, text);
#if defined(__GNUC__) || defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-security"
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
#endif
  event(format);
#if defined(__GNUC__) || defined(__clang__)
#pragma GCC diagnostic pop
#endif
}

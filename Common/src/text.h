// The library's pure text routines (text.cpp): no Windows call, no
// allocation, no throw. They build natively as well, for the native unit
// tests and the fuzz targets; their Windows callers hold the rest.
#ifndef ZORVEL_TEXT_H
#define ZORVEL_TEXT_H

#include <stdarg.h>
#include <stddef.h>

#if defined(__MINGW32__)
#define ZV_TEXT_PRINTF(fmt, args) __attribute__((format(ms_printf, fmt, args)))
#elif defined(__GNUC__)
#define ZV_TEXT_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define ZV_TEXT_PRINTF(fmt, args)
#endif

enum {
  PATH_SIZE = 260,      // a resolved path and its terminator
  MESSAGE_SIZE = 4000,  // the thread's line buffer
  APPEND_LIMIT = 2000,  // one formatted append
  STAGE_SIZE = 2000,    // CR LF staging area of one write
  ROTATION_NAME = 1024  // a rotation entry's file name and its terminator
};

// Copies at most size - 1 characters and terminates; returns the length.
size_t str_copy(char* dst, size_t size, const char* src);
// Formats into dst, always terminated; returns the length, or -1 when the
// text was cut.
int str_vformat(char* dst, size_t size, const char* format, va_list args);
int str_format(char* dst, size_t size, const char* format, ...)
    ZV_TEXT_PRINTF(3, 4);
// The part of path after its last backslash, '/' or ':'; "" for null.
const char* base_name(const char* path);

// Trim blanks (space, tab, CR, LF) in place.
void trim_left(char* text);
void trim_right(char* text);
void trim(char* text);

// The field scanner's driver, on writable texts: src loses the blanks it
// trims before separated fields, fmt gets back every byte it had. One
// destination pointer per conversion from args; a null one is skipped.
void scan_fields(char* src, char* fmt, va_list* args);

// resolve_path's joiner: src against the directory of the executable whose
// full path is exe (null: not known), into dst (PATH_SIZE bytes, may be src).
// 1 when the name cannot be resolved or would not fit; dst is then as it was
// or partly written.
int path_build(char* dst, const char* src, const char* exe);

// The bounded append at cursor, with room bytes left in the buffer: at most
// APPEND_LIMIT - 1 characters and never past the room, always terminated
// when there is room. A text too long is replaced by the overflow text.
// Returns the length appended.
int msg_format_at(char* cursor, size_t room, const char* format, va_list args);

// Copies [text, end) into stage (STAGE_SIZE bytes) with LF as CR LF; a line
// too long for it is cut and still ends with CR LF. Returns the staged
// length.
size_t msg_stage(const char* text, const char* end, char* stage);

// One profile entry for the rotation of the file at slot_path: key and value
// are trimmed in place. True when it is a "rotate" entry "name,count" whose
// name names that file; *keep is then its count.
bool rotation_match(char* key, char* value, const char* slot_path, int* keep);
// The same for a "rotate_running" entry, "name,count" or "name,count,size":
// *limit is the size in bytes (K, M or G: times 1024 each; 0 when there is
// none). A size that cannot be read ignores the entry.
bool running_rotation_match(char* key, char* value, const char* slot_path,
                            int* keep, unsigned long long* limit);

#endif

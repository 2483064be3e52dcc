/*
 * zorvel: shared event and error logs, typed errors and crash reports for the
 * threads of a Windows server process (x86; an x86_64 build beside it).
 *
 * Every function below is exported from zorvel.dll. The C++ error classes at
 * the end are thrown by value across the DLL boundary; host and DLL must be
 * built with the same compiler family so that they agree on the exception
 * runtime. MinGW-w64: GCC 12 of the win32 thread model, as the DLL. MSVC: the
 * library is built with /EHs, not /EHsc, because its extern "C" functions
 * throw; a host must use /EHs too, or a catch around those calls may be
 * optimized away (the CMake package adds it).
 *
 * C hosts: util_init, show_message and util_set_dump report failure by
 * throwing a C++ exception (unsigned long), and the kxraise family always
 * throws (the error classes below); C code cannot catch them, and none may
 * reach a C frame.
 * The other functions never throw, except seh_translator, which exists to
 * throw (C++ hosts only). A C host calls the throwing ones through
 * a small C++ file of its own that catches, linked with the C++ compiler:
 *   extern "C" int app_attach(const char* ev, const char* er, const char* m) {
 *     try { return util_init(ev, er, m, 0); }
 *     catch (unsigned long code) { return (int)code; }
 *   }
 */
#ifndef ZORVEL_H
#define ZORVEL_H

/* The library's version; the DLL's version resource and the CMake package
 * carry the same numbers. */
#define ZORVEL_VERSION_MAJOR 1
#define ZORVEL_VERSION_MINOR 0
#define ZORVEL_VERSION_PATCH 0

#include <stdarg.h>
#include <stddef.h>

#if defined(ZORVEL_BUILDING) || defined(ZORVEL_STATIC)
#define ZORVEL_API
#else
#define ZORVEL_API __declspec(dllimport)
#endif

#if defined(__GNUC__)
#define ZORVEL_NORETURN __attribute__((noreturn))
/* The library formats with the Microsoft C runtime. */
#if defined(__MINGW32__)
#define ZORVEL_PRINTF(fmt, args) __attribute__((format(ms_printf, fmt, args)))
#else
#define ZORVEL_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))
#endif
#define ZORVEL_FORMAT_STRING
#elif defined(_MSC_VER)
#include <sal.h>
#define ZORVEL_NORETURN __declspec(noreturn)
/* clang-cl checks formats against the Microsoft runtime's (I64 and all);
 * Visual Studio's /analyze reads the annotation instead. */
#if defined(__clang__)
#define ZORVEL_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define ZORVEL_PRINTF(fmt, args)
#endif
#define ZORVEL_FORMAT_STRING _Printf_format_string_
#else
#define ZORVEL_NORETURN
#define ZORVEL_PRINTF(fmt, args)
#define ZORVEL_FORMAT_STRING
#endif

struct _EXCEPTION_POINTERS;

#ifdef __cplusplus
extern "C" {
#endif

/* Logging. Each call writes one line; none of them fails its caller, also
 * when standard output or error is closed, invalid or a broken pipe.
 * Limits: one formatted piece longer than 1999 characters is replaced by
 * "!!! MAX_BUF_SIZE is exceeded"; a line is cut at 1996 characters and
 * still ends with CR LF (text of many LFs is cut inside its run of line
 * ends). Lines of all threads and all processes that write one file through
 * the library arrive whole and in each writer's order: the write lock
 * belongs to the file (named after its volume's serial number and its file
 * index, per logon session), not to a handle. A writer killed inside a write
 * (TerminateThread, TerminateProcess) holds up the others for at most a
 * second: the next writer finds it dead and takes the lock over. */
ZORVEL_API void __cdecl event(ZORVEL_FORMAT_STRING const char* format, ...)
    ZORVEL_PRINTF(1, 2);
ZORVEL_API void __cdecl devent(int level,
                               ZORVEL_FORMAT_STRING const char* format, ...)
    ZORVEL_PRINTF(2, 3);
ZORVEL_API void __cdecl warning(ZORVEL_FORMAT_STRING const char* format, ...)
    ZORVEL_PRINTF(1, 2);
ZORVEL_API void __cdecl error(ZORVEL_FORMAT_STRING const char* format, ...)
    ZORVEL_PRINTF(1, 2);
ZORVEL_API void __cdecl oserrori(ZORVEL_FORMAT_STRING const char* format, ...)
    ZORVEL_PRINTF(1, 2);
ZORVEL_API void __cdecl socerrori(ZORVEL_FORMAT_STRING const char* format, ...)
    ZORVEL_PRINTF(1, 2);

/* Debug level for devent; a negative level only queries. Returns the old
 * level. */
ZORVEL_API int __cdecl SetDebugLevel(int level);

/* Thread context. A mark longer than 7 characters keeps its first 6; a
 * banner keeps 255 characters and a place file 299. */
ZORVEL_API char* __cdecl getsmark(void);
ZORVEL_API void __cdecl util_set_mark(const char* mark);
ZORVEL_API void __cdecl setbanner(const char* banner);
ZORVEL_API void __cdecl place(const char* file, int line);
ZORVEL_API void __cdecl seterror(unsigned long code);

/* Attaches the calling thread to its events and errors files. A file or
 * profile name may be null or empty to leave that part as it is; a null mark
 * leaves the mark, an empty one clears it. Throws the last OS error
 * as an unsigned long when a file cannot be opened. Always returns 0.
 * Names: relative names resolve against the executable's directory. Thrown:
 * 206 (ERROR_FILENAME_EXCED_RANGE) when the resolved name exceeds 259
 * characters; 123 for a dotted name with no '\' after its dots (".."); 5 for
 * a directory or a file the user may not write; 3 for a missing directory
 * named with '/' (missing directories are created only along '\'). The
 * system drops trailing dots and blanks ("x.log." writes x.log). A 40th file
 * of a channel throws nothing: the thread writes the warning "No free log
 * slot for ...", and its lines of that channel go to the standard stream
 * only until it attaches again.
 * Profile: only what fits 2048 bytes of section "logfile" is read; entries
 * without '=', with a key or value over 511 characters, or with a count
 * that is not a number or lies outside 16 bits are skipped; a missing, binary
 * or huge file rotates nothing. "rotate=name,count" rotates a file when
 * it is opened on a later day; "rotate_running=name,count[,size]" while it
 * is open, at the first line of a later day and, with a size (bytes, or
 * K, M, G), before a line that would pass it; every process writing the
 * file follows. Files are shared for deleting: a file moved away is
 * followed to a fresh one under its name within a second. A thread ended
 * by TerminateThread never
 * releases its files: they stay open, counted, until the process ends. */
ZORVEL_API int __cdecl util_init(const char* events_file,
                                 const char* errors_file, const char* mark,
                                 const char* profile_file);
/* Minidumps: off until turned on. When on, a structured exception that
 * reaches ExcFilter, ExcFilterI or seh_translator leaves, after its report,
 * a minidump in directory named <exe>-<pid>-<tid>-<yyyymmdd>-<hhmmss>.dmp
 * ("-2" and on when taken), and one more F line that names it or says why
 * there is none. The directory resolves as a log file name does and is
 * created when missing. Kinds: ZORVEL_DUMP_SMALL (threads, their stacks,
 * modules, the exception) and ZORVEL_DUMP_WITH_DATA (also the modules' data
 * segments). A null or empty directory turns dumps off. Any thread, any
 * time. Turning on loads dbghelp.dll and starts one writer thread, which
 * holds the library loaded until dumps are turned off. Throws an unsigned
 * long: 87 for an unknown kind, util_init's codes for the name, the last OS
 * error when dbghelp or the thread cannot be had. A dump holds the process's
 * memory: stacks, and with data segments the modules' globals. */
#define ZORVEL_DUMP_SMALL 0
#define ZORVEL_DUMP_WITH_DATA 1
ZORVEL_API void __cdecl util_set_dump(const char* directory, int kind);

/* Attaches the thread to .\events.log with mark EXT and writes text as an
 * event (text is a format: write %% for a percent sign). */
ZORVEL_API void __stdcall show_message(const char* text);

/* Raising: each formats a message, fills an error object and throws it. */
ZORVEL_API ZORVEL_NORETURN void __cdecl kxraise(
    ZORVEL_FORMAT_STRING const char* format, ...) ZORVEL_PRINTF(1, 2);
ZORVEL_API ZORVEL_NORETURN void __cdecl kxraisec(
    unsigned long code, ZORVEL_FORMAT_STRING const char* format, ...)
    ZORVEL_PRINTF(2, 3);
ZORVEL_API ZORVEL_NORETURN void __cdecl kxraiseos(
    ZORVEL_FORMAT_STRING const char* format, ...) ZORVEL_PRINTF(1, 2);
ZORVEL_API ZORVEL_NORETURN void __cdecl kxraisesoc(
    ZORVEL_FORMAT_STRING const char* format, ...) ZORVEL_PRINTF(1, 2);

/* Exception hooks: an unhandled-exception filter that reports and ends the
 * thread, a handler's filter that reports and returns 1, and a
 * structured-exception translator that reports and throws CSEHError.
 * Threads may fault at once: each report is written whole, line by line,
 * and report lines of several threads interleave in events.log. */
ZORVEL_API long __stdcall ExcFilter(struct _EXCEPTION_POINTERS* pointers);
ZORVEL_API long __stdcall ExcFilterI(struct _EXCEPTION_POINTERS* pointers);
ZORVEL_API void __cdecl seh_translator(unsigned int code,
                                       struct _EXCEPTION_POINTERS* pointers);

#ifdef __cplusplus
} /* extern "C" */

#include <stdio.h>

/* Error classes. Members, their order and widths are part of the interface;
 * objects own no heap memory and copy without allocating. */
class CEmptyError {
 public:
  unsigned long code;
  char message[4096];

  CEmptyError() : code(0) { message[0] = 0; }
  CEmptyError(const CEmptyError& other) : code(other.code) {
    copy_text(message, sizeof message, other.message);
  }
  CEmptyError& operator=(const CEmptyError& other) {
    code = other.code;
    copy_text(message, sizeof message, other.message);
    return *this;
  }
  ~CEmptyError() {}

 protected:
  /* Copies at most size - 1 characters and always terminates. */
  static void copy_text(char* dst, size_t size, const char* src) {
    size_t i = 0;
    if (src)
      for (; i + 1 < size && src[i]; ++i) dst[i] = src[i];
    dst[i] = 0;
  }
  void format_message(const char* format, va_list args) {
    message[0] = 0;
    if (!format) return;
      /* A cut result may be left unterminated by the Microsoft runtime. */
#if defined(_MSC_VER)
    (void)vsnprintf(message, sizeof message, format, args);
#else
    (void)_vsnprintf(message, sizeof message - 1, format, args);
#endif
    message[sizeof message - 1] = 0;
  }
};

class CError : public CEmptyError {
 public:
  char file[512];
  int line;

  /* Marks the constructor that takes the format's arguments as a list. */
  enum ArgList { arg_list };

  CError(unsigned long code_, int line_, const char* file_) : line(line_) {
    code = code_;
    copy_text(file, sizeof file, file_);
  }
  CError(unsigned long code_, int line_, const char* file_,
         ZORVEL_FORMAT_STRING const char* format, ...) ZORVEL_PRINTF(5, 6)
      : line(line_) {
    code = code_;
    copy_text(file, sizeof file, file_);
    va_list args;
    va_start(args, format);
    format_message(format, args);
    va_end(args);
  }
  CError(ArgList, unsigned long code_, int line_, const char* file_,
         const char* format, va_list args)
      : line(line_) {
    code = code_;
    copy_text(file, sizeof file, file_);
    format_message(format, args);
  }
  CError(const CError& other) : CEmptyError(other), line(other.line) {
    copy_text(file, sizeof file, other.file);
  }
  CError& operator=(const CError& other) {
    CEmptyError::operator=(other);
    copy_text(file, sizeof file, other.file);
    line = other.line;
    return *this;
  }
  ~CError() {}

 protected:
  /* Builds the base part only, without a source place. */
  CError(const CEmptyError& base, int line_) : CEmptyError(base), line(line_) {
    file[0] = 0;
  }
};

class COSError : public CError {
 public:
  COSError(unsigned long code_, int line_, const char* file_)
      : CError(code_, line_, file_) {}
  ~COSError() {}
};

class CSocError : public CError {
 public:
  CSocError(unsigned long code_, int line_, const char* file_)
      : CError(code_, line_, file_) {}
  ~CSocError() {}
};

class CSEHError : public CError {
 public:
  explicit CSEHError(unsigned long code_) : CError(code_, 0, 0) {
    message[0] = 0;
  }
  /* A copy never carries a source place. */
  CSEHError(const CSEHError& other)
      : CError(static_cast<const CEmptyError&>(other), 0) {}
  CSEHError& operator=(const CSEHError& other) {
    CEmptyError::operator=(other);
    file[0] = 0;
    line = 0;
    return *this;
  }
  ~CSEHError() {}
};

#if defined(__GNUC__) || defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winvalid-offsetof"
#endif
static_assert(sizeof(unsigned long) == 4, "code is 32 bits");
static_assert(offsetof(CEmptyError, code) == 0, "CEmptyError::code");
static_assert(offsetof(CEmptyError, message) == 4, "CEmptyError::message");
static_assert(sizeof(CEmptyError) == 4100, "CEmptyError size");
static_assert(offsetof(CError, file) == 4100, "CError::file");
static_assert(offsetof(CError, line) == 4612, "CError::line");
static_assert(sizeof(CError) == 4616, "CError size");
static_assert(sizeof(COSError) == sizeof(CError), "COSError adds nothing");
static_assert(sizeof(CSocError) == sizeof(CError), "CSocError adds nothing");
static_assert(sizeof(CSEHError) == sizeof(CError), "CSEHError adds nothing");
#if defined(__GNUC__) || defined(__clang__)
#pragma GCC diagnostic pop
#endif

#endif /* __cplusplus */

#endif /* ZORVEL_H */

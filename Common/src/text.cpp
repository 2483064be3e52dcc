// Pure text routines of every subsystem: bounded copies and formatting,
// base_name, trimming, the field scanner's driver, the path joiner of
// resolve_path, the bounded append and the CR LF stager of a line, and a
// rotation entry. Nothing here calls Windows, allocates or throws, so it
// builds natively too (tests/native, fuzz/). Every copy and every formatting
// into a field stops at the field's size minus one and terminates the text.
#include "text.h"

#include <locale.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

// Each platform's own case folding, as the runtime compares names.
#if defined(_WIN32)
#define text_stricmp _stricmp
#define text_strnicmp _strnicmp
#else
#include <strings.h>
#define text_stricmp strcasecmp
#define text_strnicmp strncasecmp
#endif

// ============================================================ bounded copies

size_t str_copy(char* dst, size_t size, const char* src) {
  size_t i = 0;
  if (size == 0) return 0;
  for (; i + 1 < size && src[i]; ++i) dst[i] = src[i];
  dst[i] = 0;
  return i;
}

int str_vformat(char* dst, size_t size, const char* format, va_list args) {
  if (size == 0) return -1;
#if defined(_MSC_VER) || !defined(_WIN32)
  int n = vsnprintf(dst, size, format, args);
  if (n < 0 || (size_t)n >= size) {
    dst[size - 1] = 0;
    return -1;
  }
  return n;
#else
  // The Microsoft runtime leaves an exactly fitting text unterminated.
  int n = _vsnprintf(dst, size - 1, format, args);
  dst[size - 1] = 0;
  if (n < 0) return -1;
  dst[n] = 0;
  return n;
#endif
}

int str_format(char* dst, size_t size, const char* format, ...) {
  va_list args;
  va_start(args, format);
  int n = str_vformat(dst, size, format, args);
  va_end(args);
  return n;
}

// Windows reads '/' as a separator too; build paths often use it.
const char* base_name(const char* path) {
  if (!path) return "";
  const char* name = path;
  for (const char* p = path; *p; ++p)
    if (*p == '\\' || *p == '/' || *p == ':') name = p + 1;
  return name;
}

// ============================================================ trimming

static bool is_blank(char c) {
  return c == ' ' || c == '\r' || c == '\n' || c == '\t';
}

void trim_left(char* text) {
  char* first = text;
  while (is_blank(*first)) ++first;
  if (first != text) memmove(text, first, strlen(first) + 1);
}

void trim_right(char* text) {
  size_t n = strlen(text);
  while (n > 0 && is_blank(text[n - 1])) text[--n] = 0;
}

void trim(char* text) {
  trim_right(text);
  trim_left(text);
}

// ============================================================ field scanner

struct FieldSpec {
  int type;           // type letter; 0 when the format ended before one
  int width;          // 0: none
  int has_precision;  // a '.' was written
  int precision;
  char separator;  // ends the field in the source; 0: none
};

static const char s_type_letters[] = "CScdfhs";

// Decimal value of [begin, end) as atoi reads it. The end character is
// stood in for by a terminator while reading; end may be the terminator.
static int read_number(char* begin, char* end) {
  char saved = *end;
  *end = 0;
  int value = atoi(begin);
  *end = saved;
  return value;
}

// First character of text that is in set, or the terminator.
static char* find_any(char* text, const char* set) {
  while (*text && !strchr(set, *text)) ++text;
  return text;
}

// Width: the number before the first '.' or type letter. A signed width
// would place a field's end before its start; it counts as none.
static char* read_width(char* pos, FieldSpec* conv) {
  char* stop = find_any(pos, ".CScdfhs");
  conv->width = read_number(pos, stop);
  if (conv->width < 0) conv->width = 0;
  return stop;
}

// Precision: after a '.', the number up to the type letter. A negative one
// would cut before the decimal point's place; it counts as none.
static char* read_precision(char* pos, FieldSpec* conv) {
  if (*pos == '.') {
    conv->has_precision = 1;
    ++pos;
  }
  char* stop = find_any(pos, s_type_letters);
  if (conv->has_precision) {
    conv->precision = read_number(pos, stop);
    if (conv->precision < 0) conv->has_precision = conv->precision = 0;
  }
  return stop;
}

// Reads the conversion that starts after a '%'. Returns the position of the
// separator character, where the search for the next '%' resumes; when the
// format ends before a type letter, the position of its terminator.
static char* parse_spec(char* pos, FieldSpec* conv) {
  pos = read_precision(read_width(pos, conv), conv);
  conv->type = (signed char)*pos;
  if (!*pos) return pos;
  ++pos;
  conv->separator = *pos;
  if (pos[0] == '%' && pos[1] != '%') conv->separator = 0;
  return pos;
}

// Text of the next conversion: the character after the next '%', or null.
static char* next_spec(char* fmt) {
  char* percent = strchr(fmt, '%');
  return percent ? percent + 1 : NULL;
}

// Cuts a floating text precision places after its decimal point (the point
// itself is place 0), unless the cut would fall at or past the end.
static char* cut_precision(char* field, int precision) {
  const lconv* conv = localeconv();
  char* point = NULL;
  if (conv && conv->decimal_point && conv->decimal_point[0])
    point = strchr(field, conv->decimal_point[0]);
  if (!point && conv && conv->mon_decimal_point && conv->mon_decimal_point[0])
    point = strchr(field, conv->mon_decimal_point[0]);
  if (!point || (size_t)precision >= strlen(point)) return NULL;
  return point + precision;
}

static double read_float(char* field, const FieldSpec* conv) {
  char* cut = conv->has_precision ? cut_precision(field, conv->precision) : 0;
  if (!cut) return atof(field);
  char saved = *cut;
  *cut = 0;
  double value = atof(field);
  *cut = saved;
  return value;
}

static void store_text(char* dst, const char* field, size_t length,
                       const FieldSpec* conv) {
  if (conv->width != 0 && (size_t)conv->width < length) {
    memcpy(dst, field, conv->width);  // exactly width, no terminator
    return;
  }
  memcpy(dst, field, length + 1);
}

// Converts the terminated field into dst by the conversion's type letter.
static void convert_field(char* field, size_t length, void* dst,
                          const FieldSpec* conv) {
  switch (conv->type) {
    case 'C':
    case 'c':
      *(char*)dst = field[0];
      break;
    case 'S':
    case 's':
      store_text((char*)dst, field, length, conv);
      break;
    case 'd':
      *(int*)dst = atoi(field);
      break;
    case 'h':
      *(short*)dst = (short)(atoi(field) & 0xFFFF);
      break;
    case 'f':
      *(double*)dst = read_float(field, conv);
      break;
    default:
      break;
  }
}

// Converts one field at src into dst. Returns where the next field starts,
// or null when the expected separator is missing (the scan ends).
static char* scan_field(char* src, void* dst, const FieldSpec* conv) {
  char* found = NULL;
  if (conv->separator) {
    trim_left(src);
    found = strchr(src, conv->separator);
  }
  size_t remaining = strlen(src);
  size_t length = found ? (size_t)(found - src) : remaining;
  if (!found && conv->width != 0 && (size_t)conv->width <= remaining)
    length = conv->width;
  char* end = src + length;
  char saved = *end;
  *end = 0;
  convert_field(src, length, dst, conv);
  *end = saved;
  if (found) return found + 1;
  return conv->separator ? NULL : end;
}

// One conversion per step, one destination per conversion. A null
// destination stores nothing and leaves the source where it is.
void scan_fields(char* src, char* fmt, va_list* args) {
  while (src && *src && fmt && *fmt) {
    char* spec_text = next_spec(fmt);
    if (!spec_text) return;
    FieldSpec conv = {0, 0, 0, 0, 0};
    fmt = parse_spec(spec_text, &conv);
    // A '%' without a type letter ends the format; it takes no destination.
    if (conv.type == 0) return;
    void* dst = va_arg(*args, void*);
    if (dst) src = scan_field(src, dst, &conv);
  }
}

static void scan_text(char* src, char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  scan_fields(src, fmt, &args);
  va_end(args);
}

// ============================================================ paths

enum { PATH_AREA = 512 };

// Joins the first head_length characters of head and all of tail into dst.
// Refuses (returns 1) a name that would not fit a PATH_SIZE field.
static int path_join(char* dst, const char* head, size_t head_length,
                     const char* tail) {
  size_t tail_length = strlen(tail);
  if (head_length + tail_length >= PATH_SIZE) return 1;
  // Built apart from dst, which may be the source itself.
  char result[PATH_AREA];
  memcpy(result, head, head_length);
  memcpy(result + head_length, tail, tail_length + 1);
  memcpy(dst, result, head_length + tail_length + 1);
  return 0;
}

// A plain name goes after the executable's directory (its last backslash
// kept); without a known executable it is used as given.
static int path_plain(char* dst, const char* src, const char* exe) {
  if (!exe) return path_join(dst, "", 0, src);
  const char* slash = strrchr(exe, '\\');
  size_t dir_length = slash ? (size_t)(slash - exe) + 1 : 0;
  return path_join(dst, exe, dir_length, src);
}

// A dotted name: each leading dot climbs one backslash of the executable's
// path, counted from its end. The name's text after the dots up to its first
// backslash is dropped; a name with no backslash there names no file and is
// refused.
static int path_dotted(char* dst, const char* src, const char* exe) {
  if (!exe) return 1;
  int i = (int)strlen(exe) - 1;
  size_t j = 0;
  while (i >= 0 && src[j] == '.') {
    if (exe[i] == '\\') ++j;
    --i;
  }
  while (src[j] && src[j] != '\\') ++j;
  if (!src[j]) return 1;
  return path_join(dst, exe, (size_t)(i + 1), src + j);
}

int path_build(char* dst, const char* src, const char* exe) {
  if (!src || !src[0]) {
    dst[0] = 0;
    return 0;
  }
  if (src[1] == ':') return path_join(dst, "", 0, src);
  if (src[0] != '.') return path_plain(dst, src, exe);
  return path_dotted(dst, src, exe);
}

// ============================================================ line assembly

static const char s_overflow_text[] = "!!! MAX_BUF_SIZE is exceeded";

int msg_format_at(char* cursor, size_t room, const char* format, va_list args) {
  if (room == 0) return 0;
  size_t limit = room < (size_t)APPEND_LIMIT ? room : (size_t)APPEND_LIMIT;
  int n = str_vformat(cursor, limit, format, args);
  if (n < 0) n = str_format(cursor, limit, "%s", s_overflow_text);
  if (n < 0) {
    *cursor = 0;
    n = 0;
  }
  return n;
}

// Up to STAGE_SIZE - 2 bytes, one more when the last LF lands on the bound.
// A line too long for that is cut two bytes earlier and still ends with
// CR LF, so the next line written to the file starts on a line of its own.
size_t msg_stage(const char* text, const char* end, char* stage) {
  const size_t limit = STAGE_SIZE - 2;
  size_t n = 0;
  while (text < end && n < limit) {
    if (*text == '\n') stage[n++] = '\r';
    stage[n++] = *text++;
  }
  if (text == end) return n;
  if (n > limit - 2) n = limit - 2;
  if (n >= 2 && stage[n - 2] == '\r' && stage[n - 1] == '\n') return n;
  if (n > 0 && stage[n - 1] == '\r') --n;  // never split a CR LF pair
  stage[n++] = '\r';
  stage[n++] = '\n';
  return n;
}

// ============================================================ rotation entry

// Part of a name after its last '\'; the whole name when it has none.
static const char* rotation_base(const char* name) {
  const char* slash = strrchr(name, '\\');
  return slash ? slash + 1 : name;
}

// A count is a decimal number, blanks and a sign allowed before it. A typo
// read as 0 would delete the log instead of keeping copies.
static bool count_is_number(const char* text) {
  while (*text == ' ' || *text == '\t') ++text;
  if (*text == '-' || *text == '+') ++text;
  return *text >= '0' && *text <= '9';
}

// An entry without a comma, without a numeric count, with a count outside 16
// bits or with a value too long for the name field is ignored rather than
// guessed at. The value is "name,count"; anything after a second comma is
// left to the caller.
static bool entry_names_file(const char* value, const char* slot_path,
                             int* keep) {
  const char* comma = strchr(value, ',');
  if (!comma || !count_is_number(comma + 1)) return false;
  if (strlen(value) >= ROTATION_NAME) return false;

  // The scanner works on copies it may change.
  char text[ROTATION_NAME];
  char format[] = "%s,%d";
  char name[ROTATION_NAME] = "";
  int count = 0;
  str_copy(text, sizeof text, value);
  scan_text(text, format, name, &count);
  if (count < -32768 || count > 32767) return false;
  trim(name);

  const char* slot_base = rotation_base(slot_path);
  if (text_strnicmp(rotation_base(name), slot_base, strlen(slot_base)) != 0)
    return false;
  *keep = count;
  return true;
}

bool rotation_match(char* key, char* value, const char* slot_path, int* keep) {
  trim(key);
  trim(value);
  return text_stricmp(key, "rotate") == 0 &&
         entry_names_file(value, slot_path, keep);
}

// A size: decimal digits, then K, M or G (each 1024 times the one before),
// blanks around both. False for anything else or more than 2^62 bytes.
static bool size_limit(const char* text, unsigned long long* bytes) {
  const unsigned long long most = 1ULL << 62;
  while (*text == ' ' || *text == '\t') ++text;
  if (*text < '0' || *text > '9') return false;
  unsigned long long n = 0;
  for (; *text >= '0' && *text <= '9'; ++text) {
    n = n * 10 + (unsigned)(*text - '0');
    if (n > most) return false;
  }
  while (*text == ' ' || *text == '\t') ++text;
  const char* units = "KMG";
  char upper = (char)(*text & ~0x20);
  const char* unit = upper ? strchr(units, upper) : NULL;
  if (unit) {
    for (const char* u = units; u <= unit; ++u) {
      if (n > most / 1024) return false;
      n *= 1024;
    }
    ++text;
  }
  while (*text == ' ' || *text == '\t') ++text;
  if (*text) return false;
  *bytes = n;
  return true;
}

bool running_rotation_match(char* key, char* value, const char* slot_path,
                            int* keep, unsigned long long* limit) {
  trim(key);
  trim(value);
  if (text_stricmp(key, "rotate_running") != 0) return false;
  const char* comma = strchr(value, ',');
  const char* second = comma ? strchr(comma + 1, ',') : NULL;
  unsigned long long bytes = 0;
  if (second && !size_limit(second + 1, &bytes)) return false;
  int count = 0;
  if (!entry_names_file(value, slot_path, &count)) return false;
  *keep = count;
  *limit = bytes;
  return true;
}

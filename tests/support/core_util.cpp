#include "core_util.h"

#include <stdio.h>
#include <string.h>

#include "child_util.h"

namespace cu {

static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                      "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
static const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed",
                                    "Thu", "Fri", "Sat"};

Capture capture_child(const std::string& test_name) {
  std::string dir = tu::fresh_dir();
  Capture c;
  GetLocalTime(&c.before);
  c.code = ch::run_child(test_name, dir + "out.txt", dir + "err.txt");
  GetLocalTime(&c.after);
  c.out = tu::read_file(dir + "out.txt");
  c.err = tu::read_file(dir + "err.txt");
  return c;
}

static bool digits(const std::string& s, size_t at, size_t count, int* value) {
  *value = 0;
  for (size_t i = at; i < at + count; ++i) {
    if (s[i] < '0' || s[i] > '9') return false;
    *value = *value * 10 + (s[i] - '0');
  }
  return true;
}

static int name_index(const std::string& s, size_t at, const char* const* names,
                      int count) {
  for (int i = 0; i < count; ++i)
    if (s.compare(at, 3, names[i]) == 0) return i;
  return -1;
}

bool parse_stamp(const std::string& s, SYSTEMTIME* t) {
  // 01 Jun 05 (Wed) 13:14:37.045
  // 0123456789012345678901234567
  if (s.size() != 28) return false;
  static const struct {
    size_t at;
    char c;
  } kFixed[] = {{2, ' '},  {6, ' '},  {9, ' '},  {10, '('}, {14, ')'},
                {15, ' '}, {18, ':'}, {21, ':'}, {24, '.'}};
  for (const auto& f : kFixed)
    if (s[f.at] != f.c) return false;
  int day, year, hour, minute, second, millis;
  if (!digits(s, 0, 2, &day) || !digits(s, 7, 2, &year) ||
      !digits(s, 16, 2, &hour) || !digits(s, 19, 2, &minute) ||
      !digits(s, 22, 2, &second) || !digits(s, 25, 3, &millis))
    return false;
  int month = name_index(s, 3, kMonths, 12);
  int weekday = name_index(s, 11, kDays, 7);
  if (month < 0 || weekday < 0) return false;
  SYSTEMTIME st = {};
  st.wYear = (WORD)(2000 + year);
  st.wMonth = (WORD)(month + 1);
  st.wDay = (WORD)day;
  st.wHour = (WORD)hour;
  st.wMinute = (WORD)minute;
  st.wSecond = (WORD)second;
  st.wMilliseconds = (WORD)millis;
  FILETIME ft;
  if (!SystemTimeToFileTime(&st, &ft) || !FileTimeToSystemTime(&ft, &st))
    return false;
  if (st.wDayOfWeek != weekday) return false;
  *t = st;
  return true;
}

static long long as_millis(const SYSTEMTIME& t) {
  FILETIME ft;
  SystemTimeToFileTime(&t, &ft);
  ULARGE_INTEGER u;
  u.LowPart = ft.dwLowDateTime;
  u.HighPart = ft.dwHighDateTime;
  return (long long)(u.QuadPart / 10000);
}

long long millis_between(const SYSTEMTIME& a, const SYSTEMTIME& b) {
  return as_millis(b) - as_millis(a);
}

std::vector<std::string> library_lines(const std::string& text) {
  std::vector<std::string> result;
  for (const std::string& line : tu::split_lines(text)) {
    tu::Line parsed;
    SYSTEMTIME t;
    if (tu::parse_line(line, &parsed) && parse_stamp(parsed.stamp, &t))
      result.push_back(line);
  }
  return result;
}

std::vector<std::string> typed_rests(const std::string& text) {
  std::vector<std::string> result;
  for (const std::string& s : library_lines(text)) {
    tu::Line line;
    tu::parse_line(s, &line);
    result.push_back(line.type + "|" + line.rest);
  }
  return result;
}

std::string rebuild_line(const tu::Line& l) {
  std::string ids = std::to_string(l.pid) + ":" + std::to_string(l.tid);
  if (l.has_mark) ids += ":" + l.mark;
  return l.type + ": " + l.stamp + " (" + ids + "): " + l.rest;
}

}  // namespace cu

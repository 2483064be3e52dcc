// Writes the fuzz targets' seed corpus from the rule tables:
// fuzz_seeds DIR makes DIR/<target>/<number> in each target's input layout.
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include <string>

#include "text.h"
#include "text_cases.h"

namespace {

std::string g_root;

void write_seed(const char* target, int number, const std::string& bytes) {
  std::string dir = g_root + "/" + target;
  mkdir(g_root.c_str(), 0777);
  mkdir(dir.c_str(), 0777);
  char name[16];
  snprintf(name, sizeof name, "/%03d", number);
  FILE* f = fopen((dir + name).c_str(), "wb");
  if (!f || fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size()) {
    perror(dir.c_str());
    exit(1);
  }
  fclose(f);
}

std::string texts(std::initializer_list<std::string> parts) {
  std::string out;
  for (const std::string& p : parts) out += p + std::string(1, '\0');
  out.pop_back();
  return out;
}

void scan_seeds() {
  int n = 0;
  for (const tc::ScanCase& c : tc::kScanCases) {
    char nulls = 0;
    for (int i = 0; c.kinds[i]; ++i)
      if (c.kinds[i] == '-') nulls |= (char)(1 << i);
    write_seed("scan", ++n, std::string(1, nulls) + texts({c.fmt, c.src}));
  }
}

void path_seeds() {
  int n = 0;
  for (const tc::PathCase& c : tc::kPathCases)
    write_seed(
        "path", ++n,
        std::string(1, c.exe ? 1 : 0) + texts({c.exe ? c.exe : "", c.src}));
}

void base_name_seeds() {
  int n = 0;
  for (const tc::BaseNameCase& c : tc::kBaseNameCases)
    write_seed("base_name", ++n, c.path);
}

void rotation_seeds() {
  int n = 0;
  for (const tc::RotationCase& c : tc::kRotationCases)
    write_seed("rotation", ++n, texts({c.key, c.value, c.path}));
  for (const tc::TrimCase& c : tc::kTrimCases)
    write_seed("rotation", ++n, texts({c.text, c.text, ""}));
}

void stage_seeds() {
  int n = 0;
  for (const tc::StageCase& c : tc::kStageCases)
    write_seed("stage", ++n, std::string(c.fill_count, c.fill) + c.tail);
}

// Offset bytes for the room of each case, the format "%s", the argument.
void append_seeds() {
  int n = 0;
  for (const tc::AppendCase& c : tc::kAppendCases) {
    if (c.length > 12000 - 3) continue;  // past the target's longest input
    const int offset = MESSAGE_SIZE - c.room;
    std::string bytes;
    bytes += (char)(offset & 0xFF);
    bytes += (char)(offset >> 8);
    bytes += '\0';
    write_seed("append", ++n, bytes + std::string(c.length, 'a'));
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: fuzz_seeds DIR\n");
    return 2;
  }
  g_root = argv[1];
  scan_seeds();
  path_seeds();
  base_name_seeds();
  rotation_seeds();
  stage_seeds();
  append_seeds();
  return 0;
}

// The driver of the host programs' check groups.
#include "check.h"

int g_checks;
int g_failures;

int run_group(const CheckGroup* groups, int count, int argc, char** argv) {
  if (argc < 2) {
    printf("usage: %s GROUP\n", argv[0]);
    return 2;
  }
  for (int i = 0; i < count; ++i) {
    if (strcmp(groups[i].name, argv[1]) != 0) continue;
    groups[i].run();
    printf("%s: %d checks, %d failed\n", groups[i].name, g_checks, g_failures);
    // A group that checked nothing has proven nothing.
    return g_failures == 0 && g_checks > 0 ? 0 : 1;
  }
  printf("no group %s\n", argv[1]);
  return 2;
}

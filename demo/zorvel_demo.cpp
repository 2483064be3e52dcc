#include <zorvel.h>
int main() { event("hello %d", 1); return 0; }

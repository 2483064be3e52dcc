// Must not compile: the header asks the compiler to check the formats of
// the printf-style functions. The test Format.MisuseIsAnError builds it.
#include <zorvel.h>

void misuse(void) { event("%s of %d", 7, "text"); }

// A faulting function of its own translation unit: the compiler cannot see
// that it never throws, so a try around a direct call to it stays.
int* volatile g_null_target;

void fault_write(void) { *g_null_target = 3; }

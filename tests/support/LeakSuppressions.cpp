// The font library keeps a cache for the life of the process; that is not
// ours to free. Read by the leak checker of sanitizer builds only.
extern "C" const char *__lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }

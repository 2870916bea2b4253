// Leak suppressions for the window tests under LeakSanitizer. Fontconfig,
// which Qt loads for its fonts, keeps a few allocations of its
// configuration until process exit and never frees them; the suppressions
// name that library only, so leaks of our own code are still reported.
// LeakSanitizer asks for this function by name when it starts.
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }

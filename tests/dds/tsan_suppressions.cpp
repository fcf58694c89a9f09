// Cyclone DDS comes as Debian builds it, without ThreadSanitizer's instrumentation, so the tool
// sees its threads' memory accesses without the atomics that order them. What the library does
// inside itself is not reported; everything of this project's, the sertype's callbacks that
// Cyclone DDS calls included, still is.
extern "C" const char* __tsan_default_suppressions();

extern "C" const char* __tsan_default_suppressions() {
    return "called_from_lib:libddsc.so.0debian\n";
}

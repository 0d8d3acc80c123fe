// glibc's newlocale splits LOCPATH into a list it never frees (one small
// block per call). The tests set LOCPATH to run under the locales generated
// for them, so LeakSanitizer would report that block; nothing of ours leaks
// there. Linked into the test programs that use ScopedLocale. (GCC's
// runtime names glibc's function __argz_add_sep, clang's argz_add_sep: a
// suppression matches any function whose name contains it.)
extern "C" const char* __lsan_default_suppressions();

extern "C" const char* __lsan_default_suppressions() {
    return "leak:argz_add_sep\n"
           "leak:argz_create_sep\n";
}

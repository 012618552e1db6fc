// Qt Core is not instrumented, and LeakSanitizer sees no references held inside it; Qt 5.15's JSON
// parser also loses the array of a key that an object repeats. Leaks are looked for in what this
// project's own code allocates.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libQt5Core.so\n";
}

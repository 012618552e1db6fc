// A keyboard-hook library for tests: it exports the hook procedure and passes every key on.
extern "C" __attribute__((visibility("default"))) long GrapnelProc(int code, unsigned long wParam,
                                                                   long lParam) {
    (void)code;
    (void)wParam;
    (void)lParam;
    return 0;
}

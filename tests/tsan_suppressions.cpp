// Linked into every test program of a ThreadSanitizer build.
//
// The distribution's Qt is not built with ThreadSanitizer. A QThread whose
// thread ended on its own (its instrument went away) is later destroyed after
// QThread::wait(), which then returns through Qt's own futex-based lock alone:
// the sanitizer cannot see that hand-over, and reports the thread's last
// wake-up of its internal QWaitCondition against the destruction of that
// condition. The library's own locks and conditions are standard ones, which
// it does see, so only this Qt-internal pair is set aside.
// The sanitizer's runtime looks the hook up in the program's dynamic symbols,
// so it must stay visible under the build's hidden default.
extern "C" __attribute__((visibility("default"))) const char *__tsan_default_suppressions()
{
    return "race:QWaitCondition::~QWaitCondition\n";
}

// Linked into every test program of a ThreadSanitizer build: what the
// sanitizer reports about Qt's internals, which it cannot see synchronise
// because the distribution's Qt is not built with it. The library's own locks
// and conditions are standard ones, which it does see.
//
// - Qt hands posted events from the posting thread to the receiving one under
//   its own futex-based lock; every read of an event's contents on delivery,
//   and its deletion afterwards, would otherwise be reported as a race with
//   its construction on the protocol thread.
// - A QThread whose thread ended on its own (its instrument went away) is
//   destroyed after QThread::wait(), which then returns through that same kind
//   of lock alone; the thread's last wake-up of its internal QWaitCondition
//   would be reported against the destruction of that condition.
//
// The runtime looks the hook up in the program's dynamic symbols, so it stays
// visible under the build's hidden default.
extern "C" __attribute__((visibility("default"))) const char *__tsan_default_suppressions()
{
    return "race:QCoreApplication::notifyInternal2\n"
           "race:QCoreApplicationPrivate::sendPostedEvents\n"
           "race:QWaitCondition::~QWaitCondition\n";
}

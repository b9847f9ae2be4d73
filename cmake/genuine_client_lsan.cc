// Linked into genuine clients in AddressSanitizer builds only. Installed
// set-group-ID, a client runs in secure-execution mode, where the sanitizers
// ignore their options from the environment, and LeakSanitizer cannot stop
// the threads of a process whose group is not its user's own: it would end
// every run by another user with a fatal error. The client's code is checked
// for leaks by its own tests instead.
#include <sys/auxv.h>

// The name is the sanitizer runtime's, which calls it at exit.
extern "C" int __lsan_is_turned_off() {  // NOLINT(bugprone-reserved-identifier)
  return getauxval(AT_SECURE) != 0 ? 1 : 0;
}

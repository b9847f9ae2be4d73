// A library that announces itself when loaded: it creates the file named by
// KORVANE_PROBE_FILE. Used to show that nothing can be preloaded into the
// genuine client.
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

[[gnu::constructor]] static void announce() {
  if (const char* path = ::getenv("KORVANE_PROBE_FILE")) {
    int fd = ::open(path, O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd >= 0) ::close(fd);
  }
}

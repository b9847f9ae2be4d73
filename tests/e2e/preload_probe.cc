// A library to load into programs with LD_PRELOAD. With KORVANE_PROBE_FILE
// set it announces itself by creating that file (to show that nothing loads
// into the genuine client). With KORVANE_PROBE_CONNECT set it is an
// attacker's code: it waits for a line on standard input, connects to the
// daemon and ends the process with status 0 when the daemon admitted it
// (sent its first frame), 1 when the daemon closed the connection, 2 when
// it could not connect. It never returns into the program, whose file may
// have been rewritten meanwhile.
#include <fcntl.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

[[gnu::constructor]] static void announce() {
  if (const char* path = ::getenv("KORVANE_PROBE_FILE")) {
    int fd = ::open(path, O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd >= 0) ::close(fd);
  }
  if (::getenv("KORVANE_PROBE_CONNECT") != nullptr) {
    char buffer[64];
    while (::read(0, buffer, 1) == 1 && buffer[0] != '\n') {
    }
    const sockaddr_un address{AF_UNIX, "/run/com.korvane.helper.socket"};
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) _exit(2);
    _exit(::read(fd, buffer, sizeof buffer) > 0 ? 0 : 1);
  }
}

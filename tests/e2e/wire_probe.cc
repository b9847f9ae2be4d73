// wire_probe BODY-HEX: installed as the genuine client is (the daemon admits
// nothing else), waits to be admitted on the helper's socket, sends one frame
// with the given body and prints "admitted", then "closed" (the daemon ended
// the connection) or "answered". Exit status 0 once admitted, 1 when refused.
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "platform/fd_io.h"
#include "platform/unique_fd.h"
#include "platform/unix_address.h"
#include "transport/message.h"

int main(int argc, char** argv) {
  std::string body;
  for (const char* hex = argc > 1 ? argv[1] : ""; hex[0] != '\0' && hex[1] != '\0'; hex += 2) {
    body += static_cast<char>(std::stoi(std::string(hex, 2), nullptr, 16));
  }
  sockaddr_un address;
  platform::unixSocketAddress("/run/com.korvane.helper.socket", &address);
  platform::UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  char reply[64];
  if (!fd || ::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::read(fd.get(), reply, sizeof reply) <= 0) {
    return 1;
  }
  std::puts("admitted");
  platform::sendAll(fd.get(), transport::frameHeader(body.size()) + body);
  std::puts(::read(fd.get(), reply, sizeof reply) == 0 ? "closed" : "answered");
  return 0;
}

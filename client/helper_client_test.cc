#include "client/helper_client.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "transport/message.h"

namespace client {
namespace {

// A process of another user listening on the path and claiming to admit
// everyone: the client must not talk to it.
TEST(HelperClient, RefusesASocketNotServedByRoot) {
  auto dir = std::filesystem::temp_directory_path() / ("squatter." + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  std::filesystem::permissions(dir, std::filesystem::perms::all);
  const std::string path = (dir / "s.socket").string();
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  pid_t squatter = ::fork();
  if (squatter == 0) {
    if (::setresgid(65534, 65534, 65534) != 0 || ::setresuid(65534, 65534, 65534) != 0) _exit(1);
    int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd, 1) != 0) {
      _exit(2);
    }
    ::close(ready[0]);
    ::close(ready[1]);
    int conn = ::accept(fd, nullptr, nullptr);
    const std::string frame = transport::frame(transport::encodeAdmitted());
    ::send(conn, frame.data(), frame.size(), MSG_NOSIGNAL);
    char buf[64];
    // Reports whether the client sent anything at all.
    _exit(::read(conn, buf, sizeof buf) > 0 ? 3 : 0);
  }
  ::close(ready[1]);
  char c;
  ASSERT_EQ(::read(ready[0], &c, 1), 0);  // the squatter listens
  ::close(ready[0]);
  std::string error;
  EXPECT_EQ(HelperClient::connect(path, &error), nullptr);
  EXPECT_NE(error.find("not served by root"), std::string::npos) << error;
  int status = 0;
  ASSERT_EQ(::waitpid(squatter, &status, 0), squatter);
  EXPECT_EQ(WEXITSTATUS(status), 0);
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace client

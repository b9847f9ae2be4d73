#include "client/helper_client.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdio>

#include "testsupport/testsupport.h"
#include "transport/message.h"

namespace client {
namespace {

// A process of another user listening on the path and claiming to admit
// everyone: the client must not talk to it. Its exit status says whether
// the client sent anything at all.
TEST(HelperClient, RefusesASocketNotServedByRoot) {
  const testsupport::TempDir dir;
  ASSERT_EQ(::chmod(dir.path().c_str(), 0777), 0);
  const std::string path = dir.file("s.socket");
  std::string admitted;
  for (unsigned char c : transport::frame(transport::encodeAdmitted())) {
    admitted += "0123456789abcdef"[c >> 4];
    admitted += "0123456789abcdef"[c & 15];
  }
  const std::string script =
      "import socket, sys\n"
      "s = socket.socket(socket.AF_UNIX); s.bind(sys.argv[1]); s.listen(1); print(flush=True)\n"
      "c = s.accept()[0]\n"
      "try: c.sendall(bytes.fromhex(sys.argv[2])); sent = c.recv(64)\n"
      "except OSError: sent = None\n"  // a reset: it closed without reading, queued nothing
      "sys.exit(3 if sent else 0)";
  std::FILE* squatter =
      ::popen(("/usr/bin/setpriv --reuid=65534 --regid=65534 --clear-groups /usr/bin/python3 -c '" +
               script + "' " + path + " " + admitted)
                  .c_str(),
              "r");
  ASSERT_NE(squatter, nullptr);
  ASSERT_EQ(std::fgetc(squatter), '\n');  // it listens
  std::string error;
  ConnectFailure failure;
  EXPECT_EQ(HelperClient::connect(path, &failure, &error), nullptr);
  EXPECT_EQ(failure, ConnectFailure::kUntrustedSocket);
  EXPECT_NE(error.find("not served by root"), std::string::npos) << error;
  const int status = ::pclose(squatter);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_EQ(HelperClient::connect(path + ".none", &failure, &error), nullptr);
  EXPECT_EQ(failure, ConnectFailure::kNoHelper);
}

}  // namespace
}  // namespace client

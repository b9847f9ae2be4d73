#include "transport/xpc.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <thread>

#include "platform/fd_io.h"
#include "transport/msgpack.h"
#include "platform/unique_fd.h"
#include "transport/message.h"

namespace transport {
namespace {

using platform::UniqueFd;
using platform::readExactly;
using platform::sendAll;

using common::Array;
using common::Nil;
using common::Value;

const char* kEcho = "echo:completion:";
const char* kEchoEncoding = "v32@0:8@\"NSString\"16@?<v@?B@\"NSString\">24";

// Replies to echo: with (true, the string argument as it came, nil included).
class Echo final : public ExportedObject {
 public:
  void invoke(Invocation& inv) override { inv.reply(Array{Value(true), inv.arguments.at(0)}); }
};

class Forgetful final : public ExportedObject {
 public:
  void invoke(Invocation&) override {}
};

class Delegate final : public ListenerDelegate {
 public:
  bool shouldAcceptNewConnection(Listener&, Connection& connection) override {
    ++asked;
    std::this_thread::sleep_for(std::chrono::milliseconds(validationMs.load()));
    if (auto* t = connection.auditToken()) peerPid = t->pid;
    if (!accept) return false;
    connection.setExportedInterface(Interface::withMethods({{kEcho, kEchoEncoding}}));
    if (forgetful) {
      connection.setExportedObject(std::make_unique<Forgetful>());
    } else {
      connection.setExportedObject(std::make_unique<Echo>());
    }
    connection.resume();
    return true;
  }
  std::atomic<int> asked{0};
  std::atomic<pid_t> peerPid{0};
  bool accept = true;
  bool forgetful = false;
  std::atomic<int> validationMs{0};
};

class XpcTransport : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() / ("xpc_test." + std::to_string(::getpid()));
    std::filesystem::create_directories(dir_);
    path_ = (dir_ / "service.socket").string();
    std::string error;
    listener_ = Listener::listenAtPath(path_, &error);
    ASSERT_TRUE(listener_) << error;
    listener_->setDelegate(&delegate_);
    listener_->resume();
  }
  void TearDown() override {
    listener_.reset();
    std::filesystem::remove_all(dir_);
  }

  UniqueFd connectClient() {
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path_.c_str());
    EXPECT_EQ(::connect(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    timeval timeout{10, 0};
    ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    return fd;
  }

  static void sendRaw(int fd, std::string_view bytes) { ASSERT_TRUE(sendAll(fd, bytes)); }
  static void sendFrame(int fd, std::string_view body) { sendRaw(fd, frame(body)); }
  // The next frame's body, or nullopt at the end of the connection.
  static std::optional<std::string> readFrame(int fd) {
    unsigned char header[4];
    if (!readExactly(fd, reinterpret_cast<char*>(header), 4)) return std::nullopt;
    std::string body(parseFrameHeader(header), '\0');
    if (!readExactly(fd, body.data(), body.size())) return std::nullopt;
    return body;
  }
  static std::string echoRequest(std::uint64_t id, Value argument) {
    return encodeRequest(Request{id, kEcho, kEchoEncoding, Array{std::move(argument)}});
  }
  void expectAdmitted(int fd) {
    auto admitted = readFrame(fd);
    ASSERT_TRUE(admitted);
    EXPECT_TRUE(isAdmitted(*admitted));
  }
  void expectServesNextConnection() {
    UniqueFd fd = connectClient();
    expectAdmitted(fd.get());
    sendFrame(fd.get(), echoRequest(9, Value("again")));
    auto reply = readFrame(fd.get());
    ASSERT_TRUE(reply);
    EXPECT_EQ(decodeReply(*reply)->parameters, (Array{Value(true), Value("again")}));
  }

  std::filesystem::path dir_;
  std::string path_;
  Delegate delegate_;
  std::unique_ptr<Listener> listener_;
};

TEST_F(XpcTransport, AdmitsThenAnswersRequestsInOrderKeepingNilDistinct) {
  UniqueFd fd = connectClient();
  expectAdmitted(fd.get());
  EXPECT_EQ(delegate_.asked, 1);
  EXPECT_EQ(delegate_.peerPid, ::getpid());
  sendFrame(fd.get(), echoRequest(1, Value("")));
  sendFrame(fd.get(), echoRequest(2, Value(Nil{})));
  auto first = decodeReply(*readFrame(fd.get()));
  auto second = decodeReply(*readFrame(fd.get()));
  ASSERT_TRUE(first && second);
  EXPECT_EQ(first->id, 1u);
  EXPECT_EQ(first->parameters, (Array{Value(true), Value("")}));
  EXPECT_EQ(second->id, 2u);
  EXPECT_EQ(second->parameters, (Array{Value(true), Value(Nil{})}));
}

TEST_F(XpcTransport, RefusedConnectionIsClosedUnread) {
  delegate_.accept = false;
  UniqueFd fd = connectClient();
  EXPECT_FALSE(readFrame(fd.get()));
  EXPECT_EQ(delegate_.asked, 1);
}

TEST_F(XpcTransport, BadRequestsCloseOnlyTheirConnection) {
  const std::string cases[] = {
      frame("\x01\x02\x03"),  // not MessagePack
      frame(encodeRequest(Request{1, "rm:completion:", kEchoEncoding, Array{Value("x")}})),
      frame(encodeRequest(Request{1, kEcho, "v32@0:8@\"NSString\"16@?<v@?c@\"NSString\">24",
                                  Array{Value("x")}})),  // the other BOOL form
      frame(
          encodeRequest(Request{1, kEcho, kEchoEncoding, Array{Value(5)}})),  // wrong argument type
      frame(encodeRequest(Request{1, kEcho, kEchoEncoding, Array{}})),        // missing argument
      frame(transport::msgpack::encode(Value(Array{Value(1), Value(kEcho)}))),  // not a request
      frameHeader(kMaxRequestBody + 1),  // oversized: refused from its header alone
  };
  for (const auto& bytes : cases) {
    UniqueFd fd = connectClient();
    expectAdmitted(fd.get());
    sendRaw(fd.get(), bytes);
    EXPECT_FALSE(readFrame(fd.get()));
  }
  expectServesNextConnection();
}

TEST_F(XpcTransport, BytesSentBeforeAdmissionCloseTheConnection) {
  // The request is queued while the signature check runs, as a process that
  // writes and then execs a genuine client would do.
  delegate_.validationMs = 200;
  UniqueFd fd = connectClient();
  sendFrame(fd.get(), echoRequest(1, Value("queued early")));
  EXPECT_FALSE(readFrame(fd.get()));
  delegate_.validationMs = 0;
  expectServesNextConnection();
}

TEST_F(XpcTransport, RequestFromAnotherProcessOnTheSameSocketEndsTheConnection) {
  UniqueFd fd = connectClient();
  expectAdmitted(fd.get());
  const std::string bytes = frame(echoRequest(1, Value("from the child")));
  pid_t child = ::fork();
  if (child == 0) {
    ssize_t n = ::send(fd.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL);
    ::_exit(n == static_cast<ssize_t>(bytes.size()) ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_EQ(status, 0);
  EXPECT_FALSE(readFrame(fd.get()));
}

// Runs `body` in a child process as `real` and `effective` uid; its result.
int asUser(uid_t real, uid_t effective, const std::function<int()>& body) {
  pid_t child = ::fork();
  if (child == 0) {
    if (::setresgid(65534, 65534, 65534) != 0 || ::setresuid(real, effective, effective) != 0) {
      ::_exit(100);
    }
    ::_exit(body());
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 200;
}

TEST_F(XpcTransport, ClientWhoseRealAndEffectiveUidsDifferIsServed) {
  // A set-user-ID client: SO_PEERCRED reports its effective uid, each
  // message its real one. Only the process identity must match.
  EXPECT_EQ(asUser(65534, 0,
                   [&] {
                     UniqueFd fd = connectClient();
                     auto admitted = readFrame(fd.get());
                     if (!admitted || !isAdmitted(*admitted)) return 1;
                     sendFrame(fd.get(), echoRequest(3, Value("setuid")));
                     auto reply = readFrame(fd.get());
                     return reply && decodeReply(*reply) ? 0 : 2;
                   }),
            0);
}

TEST_F(XpcTransport, OneUserCannotHoldEverySlot) {
  // Eight connections of one user are served; the ninth is closed at once,
  // while another user still gets in.
  EXPECT_EQ(asUser(65534, 65534,
                   [&] {
                     std::vector<UniqueFd> held;
                     for (int i = 0; i < 8; ++i) {
                       held.push_back(connectClient());
                       if (!readFrame(held.back().get())) return 1;
                     }
                     UniqueFd ninth = connectClient();
                     return readFrame(ninth.get()) ? 2 : 0;
                   }),
            0);
  EXPECT_EQ(asUser(4242, 4242, [&] { return readFrame(connectClient().get()) ? 0 : 1; }), 0);
}

TEST_F(XpcTransport, ObjectThatDoesNotReplyEndsTheConnection) {
  delegate_.forgetful = true;
  UniqueFd fd = connectClient();
  expectAdmitted(fd.get());
  sendFrame(fd.get(), echoRequest(1, Value("x")));
  EXPECT_FALSE(readFrame(fd.get()));
}

TEST(XpcListener, UsesTheSocketSystemdHandsOver) {
  auto dir =
      std::filesystem::temp_directory_path() / ("xpc_activated." + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  const std::string path = (dir / "activated.socket").string();
  // In a child: descriptor 3 and LISTEN_PID belong to one process.
  pid_t child = ::fork();
  if (child == 0) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd, 4) != 0 ||
        ::dup2(fd, 3) != 3) {
      ::_exit(1);
    }
    ::setenv("LISTEN_PID", std::to_string(::getpid()).c_str(), 1);
    ::setenv("LISTEN_FDS", "1", 1);
    std::string error;
    auto listener = Listener::initWithMachServiceName("com.korvane.activation-test", &error);
    if (!listener || std::getenv("LISTEN_FDS") != nullptr) ::_exit(2);
    if (std::filesystem::exists(Listener::socketPathForService("com.korvane.activation-test"))) {
      ::_exit(3);
    }
    Delegate delegate;
    listener->setDelegate(&delegate);
    listener->resume();
    UniqueFd client(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (::connect(client.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) ::_exit(4);
    unsigned char header[4];
    ::_exit(::read(client.get(), header, sizeof header) == 4 ? 0 : 5);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  std::filesystem::remove_all(dir);
}

TEST(XpcListener, ReplacesAStaleSocketButNotALiveOne) {
  auto dir = std::filesystem::temp_directory_path() / ("xpc_stale." + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  const std::string path = (dir / "s.socket").string();
  {
    // A socket file nobody listens on, as a crashed run leaves behind.
    UniqueFd stale(::socket(AF_UNIX, SOCK_STREAM, 0));
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
    ASSERT_EQ(::bind(stale.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  }
  std::string error;
  auto first = Listener::listenAtPath(path, &error);
  ASSERT_TRUE(first) << error;
  EXPECT_EQ(std::filesystem::status(path).permissions() & std::filesystem::perms::all,
            static_cast<std::filesystem::perms>(0666));
  EXPECT_FALSE(Listener::listenAtPath(path, &error));
  EXPECT_NE(error.find("already listens"), std::string::npos);
  first.reset();
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace transport

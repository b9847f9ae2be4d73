#include <grp.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <new>
#include <thread>

#include "platform/fd_io.h"
#include "platform/unique_fd.h"
#include "platform/unix_address.h"
#include "testsupport/testsupport.h"
#include "transport/message.h"
#include "transport/msgpack.h"
#include "transport/xpc.h"

namespace transport {
namespace {

using common::Array;
using common::Nil;
using common::Value;
using platform::UniqueFd;
using std::chrono::seconds;

const char* kEcho = "echo:completion:";
const char* kEchoEncoding = "v32@0:8@\"NSString\"16@?<v@?B@\"NSString\">24";
constexpr gid_t kGroup = 4243;  // the group that may connect besides root

// Echoes its argument, except the arguments that make it misbehave.
class Echo final : public ExportedObject {
 public:
  void invoke(Invocation& inv) override {
    const Value& arg = inv.arguments.at(0);
    if (arg == Value("throw")) throw std::bad_alloc();
    if (arg == Value("forget")) return;
    inv.reply(Array{Value(true), arg == Value("big") ? Value(std::string(8 << 20, 'x')) : arg});
  }
};

class Delegate final : public ListenerDelegate {
 public:
  bool shouldAcceptNewConnection(Listener&, Connection& connection) override {
    std::this_thread::sleep_for(std::chrono::milliseconds(validationMs.load()));
    if (!accept) return false;
    connection.setExportedInterface(MethodTable::withMethods({{kEcho, kEchoEncoding}}));
    connection.setExportedObject(std::make_unique<Echo>());
    connection.resume();
    return true;
  }
  std::atomic<int> validationMs{0};
  std::atomic<bool> accept{true};
};

// Six slots, two a user, two kept for root; idling (30 s) outlasts a client's
// wait (10 s), so each close seen is the one provoked.
class XpcTransport : public testing::Test {
 protected:
  void SetUp() override {
    listener_ = listen("service", {kGroup, 6, 2, 2, seconds(30), seconds(1)});
    ASSERT_TRUE(listener_) << error_;
  }

  std::unique_ptr<Listener> listen(const char* name, const ListenerOptions& options) {
    auto listener = Listener::listenInFolder(dir_.path(), name, options, &error_);
    if (listener) listener->setDelegate(&delegate_);
    if (listener) listener->resume();
    return listener;
  }
  // Effective ids only, like a set-user-ID client whose real uid stays root.
  UniqueFd connectAs(uid_t uid, const char* name = "service.socket") {
    EXPECT_TRUE(::setgroups(uid == 0 ? 0 : 1, &kGroup) == 0 &&
                ::setegid(uid == 0 ? 0 : 65534) == 0 && ::seteuid(uid) == 0);
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un addr;
    platform::unixSocketAddress(dir_.file(name), &addr);
    if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) fd.reset();
    EXPECT_TRUE(::seteuid(0) == 0 && ::setegid(0) == 0 && ::setgroups(0, nullptr) == 0);
    timeval timeout{10, 0};
    ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    return fd;
  }

  static std::string readFrame(int fd) {
    unsigned char header[4];
    if (!platform::readExactly(fd, reinterpret_cast<char*>(header), 4)) return "";
    std::string body(parseFrameHeader(header), '\0');
    return platform::readExactly(fd, body.data(), body.size()) ? body : "";
  }
  static std::string echoFrame(std::uint64_t id, Value argument) {
    return frame(encodeRequest(Request{id, kEcho, kEchoEncoding, Array{std::move(argument)}}));
  }
  static bool admitted(int fd) { return isAdmitted(readFrame(fd)); }
  static bool echoes(int fd, const char* text) {
    if (!platform::sendAll(fd, echoFrame(9, Value(text)))) return false;
    auto reply = decodeReply(readFrame(fd));
    return reply && reply->parameters == Array{Value(true), Value(text)};
  }
  // Closed by the daemon, not the client's time-out (reset: bytes were unread).
  static bool closedByDaemon(int fd) {
    char byte;
    const ssize_t n = ::read(fd, &byte, 1);
    return n == 0 || (n < 0 && errno == ECONNRESET);
  }

  testsupport::TempDir dir_;
  std::string error_;
  Delegate delegate_;
  std::unique_ptr<Listener> listener_;
};

TEST_F(XpcTransport, AnswersInOrderAndClosesOnlyConnectionsThatMisbehave) {
  UniqueFd good = connectAs(0);
  ASSERT_TRUE(admitted(good.get()));
  ASSERT_TRUE(platform::sendAll(good.get(), echoFrame(1, Value("")) + echoFrame(2, Value(Nil{}))));
  EXPECT_EQ(readFrame(good.get()), encodeReply(Reply{1, {Value(true), Value("")}}));
  EXPECT_EQ(readFrame(good.get()), encodeReply(Reply{2, {Value(true), Value(Nil{})}}));
  const std::string cases[] = {
      frame("\x01\x02\x03"),  // not MessagePack
      frame(encodeRequest(Request{1, "rm:completion:", kEchoEncoding, Array{Value("x")}})),
      frame(encodeRequest(Request{1, kEcho, "v32@0:8@\"NSString\"16@?<v@?c@\"NSString\">24",
                                  Array{Value("x")}})),  // the other BOOL form
      frame(encodeRequest(Request{1, kEcho, kEchoEncoding, Array{Value(5)}})),  // wrong type
      frame(encodeRequest(Request{1, kEcho, kEchoEncoding, Array{}})),          // missing argument
      frame(msgpack::encode(Value(Array{Value(1), Value(kEcho)}))),             // not a request
      frameHeader(kMaxRequestBody + 1),  // oversized: refused from its header alone
      echoFrame(1, Value("throw")),      // the object throws
      echoFrame(1, Value("forget")),     // the object does not reply
  };
  for (const auto& bytes : cases) {
    UniqueFd fd = connectAs(0);
    ASSERT_TRUE(admitted(fd.get()));
    ASSERT_TRUE(platform::sendAll(fd.get(), bytes));
    EXPECT_TRUE(closedByDaemon(fd.get()));
  }
  // Refused, speaking before admission (then exec'ing a genuine client), or from another process.
  delegate_.accept = false;
  EXPECT_TRUE(closedByDaemon(connectAs(0).get()));
  delegate_.accept = true;
  delegate_.validationMs = 200;
  UniqueFd early = connectAs(0);
  ASSERT_TRUE(platform::sendAll(early.get(), echoFrame(1, Value("queued early"))));
  EXPECT_TRUE(closedByDaemon(early.get()));
  delegate_.validationMs = 0;
  UniqueFd fd = connectAs(0);
  ASSERT_TRUE(admitted(fd.get()));
  ASSERT_EQ(testsupport::runInChild(
                [&] { return platform::sendAll(fd.get(), echoFrame(1, Value("child"))) ? 0 : 1; }),
            0);
  EXPECT_TRUE(closedByDaemon(fd.get()));
  // An idle peer is closed; so is one reading 8 MiB at ~800 KiB/s (a reply has 1 s).
  auto quick = listen("quick", {kGroup, 6, 2, 2, seconds(1), seconds(1)});
  ASSERT_TRUE(quick) << error_;
  UniqueFd idle = connectAs(0, "quick.socket");
  ASSERT_TRUE(admitted(idle.get()));
  EXPECT_TRUE(closedByDaemon(idle.get()));
  UniqueFd slow = connectAs(0);
  ASSERT_TRUE(admitted(slow.get()));
  ASSERT_TRUE(platform::sendAll(slow.get(), echoFrame(1, Value("big"))));
  std::size_t got = 0;
  char buf[4096];
  for (ssize_t n; (n = ::read(slow.get(), buf, sizeof buf)) != 0; got += n) {
    ASSERT_GT(n, 0);  // closed, not reset or timed out
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_LT(got, 8u << 20);
  EXPECT_TRUE(echoes(good.get(), "still serving"));
}

TEST_F(XpcTransport, SlotsArePerUserKeptForRootFreeTheMomentTheirPeerLeavesAndNoGroupIsRootOnly) {
  std::vector<UniqueFd> held;
  auto firstFrame = [&](uid_t uid) {
    held.push_back(connectAs(uid));
    return readFrame(held.back().get());
  };
  const std::pair<uid_t, bool> steps[] = {{65534, true}, {65534, true}, {65534, false},
                                          {4242, true},  {4242, true},  {4343, false},
                                          {0, true},     {0, true},     {0, false}};
  for (auto [uid, served] : steps) {
    const std::string first = firstFrame(uid);
    EXPECT_TRUE(served ? isAdmitted(first) : isBusy(first)) << uid;
    if (!served) held.pop_back();
  }
  // Connected as nobody and writing as root, as a set-user-ID client does.
  EXPECT_TRUE(echoes(held[0].get(), "set-user-ID"));
  held[1].reset();
  EXPECT_TRUE(isAdmitted(firstFrame(65534)));
  // Without a group the socket is root's alone. (With one it is 0666 root:group and one
  // instance runs: FirewallE2E; the socket systemd hands over: packaging/systemd_test.sh.)
  const auto alone = Listener::listenInFolder(dir_.path(), "alone", {}, &error_);
  ASSERT_TRUE(alone) << error_;
  struct stat st {};
  ASSERT_EQ(::stat(dir_.file("alone.socket").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
}

}  // namespace
}  // namespace transport

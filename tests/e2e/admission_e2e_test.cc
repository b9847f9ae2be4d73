// Caller validation end to end: copies of korvane-helperctl signed or
// installed in every way the admission rule must tell apart, and the attacks
// of an unprivileged user (nobody) on the genuine client, against the real
// daemon. Each refused caller gets no interface, and the daemon writes
// exactly the lines of its failure, then the rejection warning.

#include <elf.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/ptrace.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/user.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <functional>
#include <thread>

#include "codesign/security.h"
#include "codesign/testsupport/build_identity.h"
#include "codesign/testsupport/test_pki.h"
#include "tests/e2e/sandbox.h"

namespace e2e {
namespace {

namespace fs = std::filesystem;
namespace sec = codesign;
using sec::testing::LeafOptions;
using sec::testing::TestCertificateAuthority;
using sec::testing::TestPki;

constexpr uid_t kNobody = 65534;
const char* kGenuine = "com.korvane.Korvane-Activity-Console";
const std::string kWarning = "🚨 SECURITY WARNING: Rejected unauthorized XPC connection.\n";
const std::string kNoCode = "🚨 Failed to get SecCode for incoming connection.\n";

std::string auditFailed(int status) {
  return "🚨 SECURITY AUDIT FAILED: Status code " + std::to_string(status) +
         "\n🚨 Make sure your Team ID and Bundle ID are correct and you are signing with an Apple "
         "Dev cert.\n";
}

// Writes `bytes` to `path`, installed the way README says the genuine client
// is (root:korvane-client, 2755), or with another owner or mode.
void install(const fs::path& path, const std::string& bytes, uid_t owner = 0, mode_t mode = 02755) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
  const group* client = ::getgrnam(KORVANE_CLIENT_GROUP);
  ASSERT_TRUE(client != nullptr && ::chown(path.c_str(), owner, client->gr_gid) == 0 &&
              ::chmod(path.c_str(), mode) == 0)
      << path;
}

// How many leading bytes of `path` its signature covers.
std::uint64_t signedLength(const fs::path& path) {
  sec::SecCodeRef code;
  EXPECT_EQ(sec::SecStaticCodeCreateWithPath(path, sec::kSecCSDefaultFlags, &code), 0);
  sec::SigningInformation info;
  EXPECT_EQ(sec::SecCodeCopySigningInformation(code.get(), sec::kSecCSDefaultFlags, &info), 0);
  return info.signedLength;
}

// Whether an ELF image names a dynamic loader (a PT_INTERP segment).
bool hasInterpreter(const std::string& image) {
  Elf64_Ehdr header;
  if (image.size() < sizeof header) return false;
  std::memcpy(&header, image.data(), sizeof header);
  for (int i = 0; i < header.e_phnum; ++i) {
    Elf64_Phdr segment;
    const std::size_t at = header.e_phoff + static_cast<std::size_t>(i) * header.e_phentsize;
    if (at + sizeof segment > image.size()) return false;
    std::memcpy(&segment, image.data() + at, sizeof segment);
    if (segment.p_type == PT_INTERP) return true;
  }
  return false;
}

// A child process running `body` as nobody, its exit status `body`'s
// result; killed and reaped with its owner.
class AsNobody {
 public:
  explicit AsNobody(const std::function<int()>& body) : pid_(::fork()) {
    if (pid_ != 0) return;
    // Dumpable, as any process nobody starts would be.
    if (::setgroups(0, nullptr) != 0 || ::setresgid(kNobody, kNobody, kNobody) != 0 ||
        ::setresuid(kNobody, kNobody, kNobody) != 0 || ::prctl(PR_SET_DUMPABLE, 1) != 0) {
      _exit(125);
    }
    _exit(body());
  }
  ~AsNobody() {
    if (pid_ > 0) ::kill(pid_, SIGKILL);
    wait();
  }
  pid_t pid() const { return pid_; }
  // Its exit status, -1 when it was killed.
  int wait() {
    int status = 0;
    while (pid_ > 0 && ::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    if (std::exchange(pid_, -1) <= 0) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private:
  pid_t pid_;
};

class AdmissionE2E : public DaemonTest {
 protected:
  void SetUp() override {
    ASSERT_NE(::getgrnam(KORVANE_CLIENT_GROUP), nullptr) << "run scripts/setup.sh first";
    DaemonTest::SetUp();
    if (HasFatalFailure()) return;
    genuine_ = readFile(helperctlPath());
    unsigned_ = genuine_.substr(0, signedLength(helperctlPath()));
  }

  // What the daemon wrote while `what` ran.
  std::string daemonLinesOf(const std::function<void()>& what) {
    const std::size_t before = daemon_->output().size();
    what();
    return daemon_->output().substr(before);
  }

  TempDir dir_;
  std::string genuine_, unsigned_;
};

TEST_F(AdmissionE2E, OnlyTheGenuineClientInstalledByRootIsAdmitted) {
  for (const auto uid : {std::optional<uid_t>(), std::optional<uid_t>(kNobody)}) {
    RunResult r = helperctl({"process-data"}, uid);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_FALSE(r.out.empty());
  }
  EXPECT_EQ(daemon_->output(), "");

  const TestPki pki = TestPki::make();
  const std::string keys = dir_.path().string();
  const auto devRoot = TestCertificateAuthority::fromPem(
      readFile(sec::testing::buildRootKeyFile()), readFile(sec::testing::buildTrustAnchorFile()));
  LeafOptions otherTeam;
  otherTeam.commonName = "Other Team (ZZ9ZZ9ZZ9Z)";
  otherTeam.organizationalUnits = {"ZZ9ZZ9ZZ9Z"};
  auto copy = [&](const std::string& name, const std::string& bytes, uid_t owner = 0,
                  mode_t mode = 02755) {
    install(dir_.path() / name, bytes, owner, mode);
    return (dir_.path() / name).string();
  };
  auto signedCopy = [&](const std::string& name, const std::string& identity,
                        const std::string& identifier) {
    const std::string path = copy(name, unsigned_);
    RunResult r = run(
        {KORVANE_CODESIGN_TOOL, "sign", "--identity", identity, "--identifier", identifier, path});
    EXPECT_EQ(r.status, 0) << r.err;
    install(path, readFile(path));  // signing replaced the file
    return path;
  };
  // A byte of the program's own text, inside the signed bytes: it still runs.
  // Then the signature block: manifest, CMS, a 12-byte header with their
  // lengths, the 34-byte magic; garbled in the manifest's first byte, the
  // CMS signature's last byte and a length in the header.
  auto changed = [&](std::size_t offset) {
    std::string bytes = genuine_;
    bytes[offset] ^= 0x5A;
    return bytes;
  };
  const std::size_t header = genuine_.size() - 34 - 12;
  ASSERT_NE(genuine_.find("Exit status: 0 success"), std::string::npos);

  // Installed wrongly, or run where the daemon cannot vouch for its file.
  fs::create_directory(dir_.path() / "overlay");
  const std::string onOverlay = copy("overlay/client", genuine_);
  overlay((dir_.path() / "overlay").string());

  struct Case {
    const char* name;
    std::vector<std::string> argv;
    std::string lines;
    std::optional<uid_t> uid = std::nullopt;
  };
  const Case cases[] = {
      {"unsigned", {copy("unsigned", unsigned_)}, auditFailed(-67062)},
      {"untrusted root",
       {signedCopy("untrusted", pki.untrusted.writeFiles(keys, "u"), kGenuine)},
       auditFailed(-67050)},
      {"other identifier",
       {signedCopy("other-id", sec::testing::buildSigningIdentityFiles(), "com.example.other")},
       auditFailed(-67050)},
      {"other OU",
       {signedCopy("other-ou", devRoot.issueLeaf(otherTeam).writeFiles(keys, "o"), kGenuine)},
       auditFailed(-67050)},
      {"tampered byte",
       {copy("tampered", changed(genuine_.find("Exit status: 0 success")))},
       auditFailed(-67061)},
      {"garbled manifest", {copy("garbled-m", changed(unsigned_.size()))}, auditFailed(-67061)},
      {"garbled CMS", {copy("garbled-c", changed(header - 1))}, auditFailed(-67061)},
      {"garbled header", {copy("garbled-h", changed(header + 5))}, auditFailed(-67061)},
      {"truncated block",
       {copy("truncated", genuine_.substr(0, genuine_.size() - 3))},
       auditFailed(-67062)},
      {"not set-group-ID", {copy("plain", genuine_, 0, 0755)}, auditFailed(-67063), kNobody},
      {"owned by nobody", {copy("nobodys", genuine_, kNobody)}, kNoCode, kNobody},
      {"writable by its group", {copy("writable", genuine_, 0, 02775)}, kNoCode, kNobody},
      {"on an overlay", {onOverlay}, kNoCode, kNobody},
      {"in another mount namespace", {"/usr/bin/unshare", "--mount", helperctlPath()}, kNoCode},
      // There even an unprivileged user holds CAP_SYS_ADMIN: enough to point
      // /proc/<pid>/exe at the genuine client while running other code.
      {"in another user namespace",
       {"/usr/bin/unshare", "--user", "--map-root-user", helperctlPath()},
       kNoCode},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> argv = c.argv;
    argv.push_back("process-data");
    RunResult r;
    EXPECT_EQ(daemonLinesOf([&] { r = run(argv, c.uid); }), c.lines + kWarning);
    EXPECT_EQ(r.status, 2);
    EXPECT_TRUE(r.out.empty());
    EXPECT_NE(r.err.find("did not admit"), std::string::npos) << r.err;
  }
  EXPECT_EQ(helperctl({"process-data"}).status, 0);

  // Nothing loads into the genuine client (when it is linked statically).
  const fs::path marker = dir_.path() / "probe-was-loaded";
  for (const std::string& program : {helperctlPath(), std::string("/bin/true")}) {
    if (program != "/bin/true" && hasInterpreter(genuine_)) continue;  // sanitizer builds
    run({"/usr/bin/env", "LD_PRELOAD=" KORVANE_PRELOAD_PROBE,
         "KORVANE_PROBE_FILE=" + marker.string(), program, "process-data"});
    EXPECT_EQ(fs::exists(marker), program == "/bin/true") << program;
  }
}

#if defined(__x86_64__)
// Runs in a process of nobody's: starts korvane-helperctl under ptrace (the
// child asks for it with PTRACE_TRACEME, or is seized before its exec),
// stopped at the exec before the client's first instruction, and makes it run
// code of ours instead: socket(), connect() to the daemon, read() of the
// daemon's first frame. As the probe library: 0 when the daemon sent a frame
// (admitted our code), 1 when it closed the connection, more when the attack
// itself went wrong.
int runOurCodeInTracedClient(const std::string& client, bool seize) {
  int go[2];
  if (::pipe(go) != 0) return 2;
  const pid_t child = ::fork();
  if (child == 0) {
    char byte;
    ::close(go[1]);
    if (seize ? ::read(go[0], &byte, 1) != 1 : ::ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0) {
      _exit(126);
    }
    ::execl(client.c_str(), client.c_str(), "process-data", nullptr);
    _exit(127);
  }
  ::close(go[0]);
  struct Reaper {
    pid_t pid;
    ~Reaper() {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, nullptr, 0);
    }
  } reaper{child};
  int status = 0;
  if ((seize && (::ptrace(PTRACE_SEIZE, child, nullptr, PTRACE_O_TRACEEXEC) != 0 ||
                 ::write(go[1], "x", 1) != 1)) ||
      ::waitpid(child, &status, 0) != child || !WIFSTOPPED(status) || WSTOPSIG(status) != SIGTRAP) {
    return 3;
  }
  // A seized tracee stops inside execve, whose return would then overwrite
  // a register we set: let the call end first.
  if (seize && (::ptrace(PTRACE_SYSCALL, child, nullptr, nullptr) != 0 ||
                ::waitpid(child, &status, 0) != child || !WIFSTOPPED(status))) {
    return 3;
  }
  ::ptrace(PTRACE_SETOPTIONS, child, nullptr, PTRACE_O_EXITKILL);
  user_regs_struct entry{};
  ::ptrace(PTRACE_GETREGS, child, nullptr, &entry);
  // "syscall; int3" at the entry point; the daemon's address below the stack.
  long text = ::ptrace(PTRACE_PEEKTEXT, child, entry.rip, nullptr);
  ::ptrace(PTRACE_POKETEXT, child, entry.rip, (text & ~0xffffffL) | 0xcc050f);
  const sockaddr_un address{AF_UNIX, "/run/com.korvane.helper.socket"};
  long words[(sizeof address + sizeof(long) - 1) / sizeof(long)] = {};
  std::memcpy(words, &address, sizeof address);
  const unsigned long long scratch = entry.rsp - 1024;
  for (std::size_t i = 0; i < std::size(words); ++i) {
    ::ptrace(PTRACE_POKEDATA, child, scratch + i * sizeof(long), words[i]);
  }
  auto call = [&](unsigned long long number, unsigned long long a, unsigned long long b,
                  unsigned long long c) {
    user_regs_struct regs = entry;
    regs.rax = number;
    regs.orig_rax = ~0ULL;  // not inside a system call: nothing to restart
    regs.rdi = a;
    regs.rsi = b;
    regs.rdx = c;
    int stop = 0;
    if (::ptrace(PTRACE_SETREGS, child, nullptr, &regs) != 0 ||
        ::ptrace(PTRACE_CONT, child, nullptr, nullptr) != 0 ||
        ::waitpid(child, &stop, 0) != child || !WIFSTOPPED(stop) ||
        ::ptrace(PTRACE_GETREGS, child, nullptr, &regs) != 0) {
      return -1LL;
    }
    return static_cast<long long>(regs.rax);
  };
  const long long fd = call(SYS_socket, AF_UNIX, SOCK_STREAM, 0);
  const long long connected = call(SYS_connect, fd, scratch, sizeof address);
  const long long got = call(SYS_read, fd, scratch, 64);
  if (fd < 0 || connected != 0 || got < 0) return 4;
  return got > 0 ? 0 : 1;
}
#endif

TEST_F(AdmissionE2E, NobodysAttacksOnTheGenuineClientAreRefused) {
  // A program whose file is rewritten behind it: nobody mounts an overlay in
  // a user namespace of its own; a second process of nobody's, in the
  // daemon's namespaces, runs a program from it (reached through the first
  // one's /proc/<pid>/root) with our code preloaded; the overlay's lower file
  // is then rewritten in place with the genuine client's bytes, which is what
  // /proc/<pid>/exe then reads, and our code connects.
  const fs::path base = dir_.path() / "attack";
  for (const char* folder : {"", "/lower", "/upper", "/work", "/merged"}) {
    fs::create_directory(base.string() + folder);
    ASSERT_EQ(::chown((base.string() + folder).c_str(), kNobody, kNobody), 0);
  }
  fs::copy_file("/bin/true", base / "lower/program");
  ASSERT_EQ(::chown((base / "lower/program").c_str(), kNobody, kNobody), 0);
  int ready[2], go[2];
  ASSERT_EQ(::pipe(ready) | ::pipe(go), 0);
  AsNobody mounter([&] {
    if (::unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) return 1;
    std::ofstream("/proc/self/setgroups") << "deny";
    std::ofstream("/proc/self/uid_map") << "0 65534 1";
    std::ofstream("/proc/self/gid_map") << "0 65534 1";
    const std::string options = "lowerdir=" + (base / "lower").string() +
                                ",upperdir=" + (base / "upper").string() +
                                ",workdir=" + (base / "work").string();
    if (::mount("overlay", (base / "merged").c_str(), "overlay", 0, options.c_str()) != 0) return 2;
    if (::write(ready[1], "x", 1) != 1) return 3;
    ::pause();
    return 0;
  });
  ::close(ready[1]);
  char byte;
  ASSERT_EQ(::read(ready[0], &byte, 1), 1) << "no overlay in a user namespace here";
  const std::string program =
      "/proc/" + std::to_string(mounter.pid()) + "/root" + (base / "merged/program").string();
  AsNobody attacker([&] {
    ::dup2(go[0], 0);
    ::close(go[1]);
    ::setenv("LD_PRELOAD", KORVANE_PRELOAD_PROBE, 1);
    ::setenv("KORVANE_PROBE_CONNECT", "1", 1);
    ::execl(program.c_str(), program.c_str(), nullptr);
    return 127;
  });
  // Our code waits in read(0, ...) for the go.
  const std::string syscall = "/proc/" + std::to_string(attacker.pid()) + "/syscall";
  for (int i = 0; i < 1000 && readFile(syscall).rfind("0 0x0 ", 0) != 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  RunResult rewrite = run({"/bin/cp", helperctlPath(), (base / "lower/program").string()}, kNobody);
  ASSERT_EQ(rewrite.status, 0) << rewrite.err;
  ASSERT_EQ(readFile("/proc/" + std::to_string(attacker.pid()) + "/exe"), genuine_);
  int verdict = -1;
  EXPECT_EQ(daemonLinesOf([&] {
              EXPECT_EQ(::write(go[1], "\n", 1), 1);
              verdict = attacker.wait();
            }),
            kNoCode + kWarning);
  EXPECT_EQ(verdict, 1);  // refused: our code in the rewritten program was not admitted
  for (int fd : {ready[0], go[0], go[1]}) ::close(fd);

    // The genuine client reprogrammed at its start: a traced exec gets no
    // elevated group, so the daemon refuses the guest as invalid.
#if defined(__x86_64__)
  const std::string client = helperctlPath();
  for (const bool seize : {false, true}) {
    SCOPED_TRACE(seize ? "seized around the exec" : "PTRACE_TRACEME");
    verdict = -1;
    EXPECT_EQ(daemonLinesOf([&] {
                verdict = AsNobody([&] { return runOurCodeInTracedClient(client, seize); }).wait();
              }),
              auditFailed(-67063) + kWarning);
    EXPECT_EQ(verdict, 1);
  }
#endif
}

}  // namespace
}  // namespace e2e

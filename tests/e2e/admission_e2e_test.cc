// Wrong installs of the client and nobody's attacks, each refused with its lines.

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <liburing.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/ptrace.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <functional>

#include "platform/unique_fd.h"
#include "tests/e2e/sandbox.h"

namespace e2e {
namespace {

namespace fs = std::filesystem;
using platform::UniqueFd;

constexpr uid_t kNobody = 65534;
const std::string kWarning = "🚨 SECURITY WARNING: Rejected unauthorized XPC connection.\n";
const std::string kNoCode = "🚨 Failed to get SecCode for incoming connection.\n";

std::string auditFailed(int status) {
  return "🚨 SECURITY AUDIT FAILED: Status code " + std::to_string(status) +
         "\n🚨 Make sure your Team ID and Bundle ID are correct and you are signing with an Apple "
         "Dev cert.\n";
}

// `body` in a child as root or as nobody (in korvane-helper, dumpable).
class Forked : public OwnedProcess {
 public:
  explicit Forked(const std::function<int()>& body, uid_t uid = kNobody) : OwnedProcess(::fork()) {
    if (pid_ != 0) return;
    const group* helper = ::getgrnam("korvane-helper");
    const bool dropped =
        uid == 0 || (helper != nullptr && ::setgroups(1, &helper->gr_gid) == 0 &&
                     ::setresgid(uid, uid, uid) == 0 && ::setresuid(uid, uid, uid) == 0 &&
                     ::prctl(PR_SET_DUMPABLE, 1) == 0);
    _exit(dropped ? body() : 125);
  }
};

int inNewNamespaces(const char* flags, const std::string& script) {
  return ::execl("/usr/bin/unshare", "unshare", flags, "sh", "-c", script.c_str(), nullptr);
}

// `client process-data` traced (a tracer could rewrite its code), to its exit status.
int runTraced(const std::string& client, bool seize) {
  int go[2];
  if (::pipe(go) != 0) return -1;
  const pid_t child = ::fork();
  if (child == 0) {
    char byte;
    if (seize ? ::read(go[0], &byte, 1) == 1 : ::ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) == 0) {
      ::execl(client.c_str(), client.c_str(), "process-data", nullptr);
    }
    _exit(127);
  }
  if (seize) ::ptrace(PTRACE_SEIZE, child, nullptr, PTRACE_O_EXITKILL);
  if (::write(go[1], "x", 1) != 1) return -1;
  int status = 0;
  while (::waitpid(child, &status, 0) == child && WIFSTOPPED(status)) {
    const int signal = WSTOPSIG(status) == SIGTRAP ? 0 : WSTOPSIG(status);
    ::ptrace(PTRACE_CONT, child, nullptr, signal);
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Pins the page of `path` holding byte `at` (nothing left open for writing, so
// the file can run) and later reads one byte from `source` into it.
int pinAndRewrite(const std::string& path, std::size_t at, int source) {
  const std::size_t page = at & ~std::size_t{4095};
  UniqueFd file(::open(path.c_str(), O_RDWR));
  char* map = static_cast<char*>(::mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED,
                                        file.get(), static_cast<off_t>(page)));
  const iovec buffer{map, 4096};
  io_uring ring;
  if (io_uring_queue_init(1, &ring, 0) != 0 || io_uring_register_buffers(&ring, &buffer, 1) != 0) {
    return 1;
  }
  ::munmap(map, 4096);
  file.reset();
  io_uring_prep_read_fixed(io_uring_get_sqe(&ring), source, map + (at - page), 1, 0, 0);
  io_uring_cqe* done = nullptr;
  return io_uring_submit_and_wait(&ring, 1) == 1 && io_uring_peek_cqe(&ring, &done) == 0 &&
                 done->res == 1
             ? 0
             : 1;
}

using AdmissionE2E = DaemonTest;

TEST_F(AdmissionE2E, OnlyTheGenuineClientRunAsInstalledIsAdmitted) {
  const std::string genuine = readFile(helperctlPath());
  const TempDir temp;
  const fs::path& dir = temp.path();
  const std::string probe = "/run/preload_probe.so";  // where nobody reaches it, as the client
  fs::copy_file(KORVANE_PRELOAD_PROBE, probe);
  auto daemonLinesOf = [&](const std::function<void()>& what) {
    const std::size_t before = daemon_->output().size();
    what();
    return daemon_->output().substr(before);
  };
  EXPECT_EQ(run({helperctlPath(), "process-data"}).status, 0);
  EXPECT_EQ(run(asMember({helperctlPath(), "process-data"})).status, 0);
  EXPECT_EQ(daemon_->output(), "");

  const std::string settled = install(dir / "settled", genuine);
  fs::create_directory(dir / "overlay");
  const std::string onOverlay = install(dir / "overlay/client", genuine);
  overlay((dir / "overlay").string());
  const std::string bind = "mount --bind " + dir.string() + " " + dir.string();
  Forked binder([&] { return inNewNamespaces("-m", bind + " && exec sleep 1000"); }, 0);
  const std::string binderProc = procPath(binder.pid()),
                    elsewhere = binderProc + "/root" + install(dir / "bound", genuine);
  ASSERT_TRUE(eventually(
      [&] { return readFile(binderProc + "/mountinfo").find(dir.string()) != std::string::npos; }));
  struct Case {
    const char* name;
    std::vector<std::string> argv;
    std::string lines;
  };
  const Case cases[] = {
      {"not set-group-ID", asMember({install(dir / "plain", genuine, 0, 0755)}),
       auditFailed(-67063)},
      {"owned by nobody", asMember({install(dir / "nobodys", genuine, kNobody)}), kNoCode},
      {"writable by its group", asMember({install(dir / "writable", genuine, 0, 02775)}), kNoCode},
      {"on an overlay", asMember({onOverlay}), kNoCode},
      {"on a mount of another namespace", {elsewhere}, kNoCode},
      {"in another user namespace", {"/usr/bin/unshare", "-Ur", helperctlPath()}, kNoCode},
  };
  for (const auto& c : cases) {
    std::vector<std::string> argv = c.argv;
    argv.push_back("process-data");
    EXPECT_EQ(daemonLinesOf([&] { run(argv); }), c.lines + kWarning) << c.name;
  }
  ::umount2((dir / "overlay").c_str(), MNT_DETACH);

  // Nothing is preloaded into the set-group-ID client; the probe does load elsewhere.
  const fs::path marker = dir / "probe-was-loaded";
  for (const std::string& program : {helperctlPath(), std::string("/bin/true")}) {
    run({"/usr/bin/env", "LD_PRELOAD=" + probe, "KORVANE_PROBE_FILE=" + marker.string(), program,
         "process-data"});
    EXPECT_EQ(fs::exists(marker), program == "/bin/true") << program;
  }

  // Nobody's program on nobody's overlay, its lower file rewritten behind it with
  // the genuine client's bytes (which /proc/<pid>/exe then reads), then connecting.
  const std::string base = (dir / "attack").string();
  fs::create_directory(base);
  fs::permissions(base, fs::perms::all);  // for nobody's overlay folders
  int go[2];
  ASSERT_EQ(::pipe(go), 0);
  const std::string mountOverlay =
      "cd " + base +
      " && mkdir lower upper work merged && cp /bin/true lower/program && mount -t "
      "overlay overlay -o lowerdir=lower,upperdir=upper,workdir=work merged && exec sleep 1000";
  Forked mounter([&] { return inNewNamespaces("-Urm", mountOverlay); });
  const std::string program = procPath(mounter.pid()) + "/root" + base + "/merged/program";
  ASSERT_TRUE(eventually([&] { return fs::exists(program); })) << "no overlay in a user namespace";
  Forked attacker([&] {
    ::dup2(go[0], 0);
    ::close(go[1]);
    ::setenv("LD_PRELOAD", probe.c_str(), 1);
    ::setenv("KORVANE_PROBE_CONNECT", "1", 1);
    return ::execl(program.c_str(), program.c_str(), nullptr);
  });
  const std::string proc = procPath(attacker.pid());
  ASSERT_TRUE(eventually([&] {  // our code waits in read(0, ...)
    return readFile(proc + "/syscall").rfind("0 0x0 ", 0) == 0;
  }));
  ASSERT_EQ(run({"/bin/cp", helperctlPath(), base + "/lower/program"}, kNobody).status, 0);
  ASSERT_EQ(readFile(proc + "/exe"), genuine);
  int verdict = -1;
  EXPECT_EQ(daemonLinesOf([&] {
              if (::write(go[1], "\n", 1) == 1) verdict = attacker.reap();
            }),
            kNoCode + kWarning);
  EXPECT_EQ(verdict, 1);
  for (int fd : go) ::close(fd);

  // A traced exec gets no elevated group, so the daemon finds the guest invalid.
  for (const bool seize : {false, true}) {
    EXPECT_EQ(daemonLinesOf([&] {
                verdict = Forked([&] { return runTraced(helperctlPath(), seize); }).reap();
              }),
              auditFailed(-67063) + kWarning)
        << seize;
    EXPECT_EQ(verdict, 69) << seize;
  }

  // A settled install is known by its file's identity until rewritten in place.
  struct stat st {};
  ASSERT_EQ(::stat(settled.c_str(), &st), 0);
  ASSERT_TRUE(eventually([&] { return ::time(nullptr) > st.st_ctim.tv_sec + 2; }));
  EXPECT_EQ(run({settled, "process-data"}).status, 0);
  EXPECT_EQ(run({settled, "process-data"}).status, 0);
  const std::size_t at = genuine.find("Exit status: 0 success");
  std::fstream(settled, std::ios::binary | std::ios::in | std::ios::out)
      .seekp(at)
      .put(static_cast<char>(genuine[at] ^ 0x20));
  EXPECT_EQ(daemonLinesOf([&] { run({settled, "process-data"}); }), auditFailed(-67061) + kWarning);

  // Nor is a tmpfs file: a page nobody pinned rewrites it with no change of time.
  const fs::path tmpfs = dir / "tmpfs";
  fs::create_directory(tmpfs);
  ASSERT_EQ(::mount("tmpfs", tmpfs.c_str(), "tmpfs", 0, "mode=1777"), 0);
  const std::string pinned = install(tmpfs / "client", genuine, kNobody, 0755);
  int byte[2];
  ASSERT_EQ(::pipe(byte), 0);
  Forked pinner([&] { return pinAndRewrite(pinned, at, byte[0]); });
  ASSERT_TRUE(eventually([&] {  // waiting in io_uring_enter
    return readFile(procPath(pinner.pid()) + "/syscall")
        .starts_with(std::to_string(__NR_io_uring_enter) + " ");
  }));
  ASSERT_TRUE(::chown(pinned.c_str(), 0, ::getgrnam(KORVANE_CLIENT_GROUP)->gr_gid) == 0 &&
              ::chmod(pinned.c_str(), 02755) == 0);  // taken over in place, as README warns not to
  ASSERT_EQ(::stat(pinned.c_str(), &st), 0);
  ASSERT_TRUE(eventually([&] { return ::time(nullptr) > st.st_ctim.tv_sec + 2; }));
  EXPECT_EQ(run(asMember({pinned, "process-data"})).status, 0);
  const char flipped = static_cast<char>(genuine[at] ^ 0x20);
  ASSERT_EQ(::write(byte[1], &flipped, 1), 1);
  EXPECT_EQ(pinner.reap(), 0);
  EXPECT_NE(readFile(pinned), genuine);
  EXPECT_EQ(daemonLinesOf([&] {
              run(asMember({pinned, "process-data"}));
            }),
            auditFailed(-67061) + kWarning);
  for (int fd : byte) ::close(fd);
  ::umount2(tmpfs.c_str(), MNT_DETACH);
}

}  // namespace
}  // namespace e2e

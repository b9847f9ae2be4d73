#include "control/app_removal.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <filesystem>
#include <fstream>
#include <functional>

#include "platform/unique_fd.h"

namespace control {
namespace {

namespace fs = std::filesystem;

bool exists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

void writeFile(const std::string& path, const std::string& text = "x") {
  std::ofstream(path) << text;
}

std::string readFile(const std::string& path) {
  std::ifstream in(path);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

class UninstallAppTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/korvane-removal-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    // The removal refuses paths through symbolic links; TMPDIR-style links
    // must not make the tests fail.
    char resolved[PATH_MAX];
    ASSERT_NE(::realpath(pattern, resolved), nullptr);
    dir_ = resolved;
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }

  // A bundle with files, a symlink to a folder outside, one to a file
  // outside, a dangling one, and a read-only folder. Returns its path.
  std::string makeBundle() {
    const std::string app = dir_ + "/Sample.app";
    fs::create_directories(app + "/Contents/MacOS");
    fs::create_directories(app + "/Contents/Resources/en.lproj");
    fs::create_directories(dir_ + "/outside/folder");
    writeFile(app + "/Contents/Info.plist");
    writeFile(app + "/Contents/MacOS/Sample");
    writeFile(app + "/Contents/Resources/en.lproj/Main.strings");
    writeFile(dir_ + "/outside/folder/keep", "kept");
    writeFile(dir_ + "/outside/file", "kept");
    fs::create_directory_symlink(dir_ + "/outside/folder", app + "/Contents/Frameworks");
    fs::create_symlink(dir_ + "/outside/file", app + "/Contents/Resources/file-link");
    fs::create_symlink(dir_ + "/nowhere", app + "/Contents/dangling");
    ::chmod((app + "/Contents/Resources/en.lproj").c_str(), 0500);
    return app;
  }

  void expectOutsideIntact() {
    EXPECT_EQ(readFile(dir_ + "/outside/folder/keep"), "kept");
    EXPECT_EQ(readFile(dir_ + "/outside/file"), "kept");
  }

  std::string dir_;
};

TEST(RemovalRefusal, RefusesUnsafePaths) {
  struct Case {
    std::string path;
    const char* reason;
  };
  const Case cases[] = {
      {"", "empty path"},
      {"Applications/App.app", "not absolute"},
      {"App.app", "not absolute"},
      {"~/App.app", "not absolute"},
      {"/", "root folder"},
      {"//", "root folder"},
      {"/usr", "in the root folder"},
      {"/etc/", "in the root folder"},
      {"//home//", "in the root folder"},
      {"/.dockerenv", "in the root folder"},
      {"/opt/./App.app", "\".\" or \"..\""},
      {"/opt/../etc", "\".\" or \"..\""},
      {"/opt/App.app/..", "\".\" or \"..\""},
      {"/opt/App.app/.", "\".\" or \"..\""},
      {"/..", "\".\" or \"..\""},
      {std::string("/tmp/x\0/y", 9), "NUL"},
  };
  for (const auto& c : cases) {
    const auto refusal = removalRefusal(c.path);
    ASSERT_TRUE(refusal) << c.path;
    EXPECT_NE(refusal->find(c.reason), std::string::npos) << *refusal;
  }
  for (const char* accepted : {"/opt/App.app", "/Applications/App.app/", "//opt//a..b/.c"}) {
    EXPECT_EQ(removalRefusal(accepted), std::nullopt) << accepted;
  }
}

TEST_F(UninstallAppTest, RemovesABundleButNothingItsLinksPointTo) {
  const std::string app = makeBundle();
  EXPECT_EQ(uninstallApp(app), (common::FlagMessage{true, std::nullopt}));
  EXPECT_FALSE(exists(app));
  expectOutsideIntact();
}

TEST_F(UninstallAppTest, RemovesALinkAsALink) {
  makeBundle();
  for (const char* target : {"/outside/folder", "/outside/file"}) {
    const std::string link = dir_ + "/link";
    fs::create_symlink(dir_ + target, link);
    EXPECT_TRUE(uninstallApp(link).success) << target;
    EXPECT_FALSE(exists(link));
  }
  expectOutsideIntact();
}

TEST_F(UninstallAppTest, RemovesAPlainFile) {
  writeFile(dir_ + "/file");
  EXPECT_EQ(uninstallApp(dir_ + "/file"), (common::FlagMessage{true, std::nullopt}));
  EXPECT_FALSE(exists(dir_ + "/file"));
}

TEST_F(UninstallAppTest, RefusesAPathThroughALink) {
  const std::string app = makeBundle();
  fs::create_directory_symlink(dir_, dir_ + "/via");
  const auto reply = uninstallApp(dir_ + "/via/Sample.app");
  EXPECT_FALSE(reply.success);
  EXPECT_EQ(reply.message, "Could not remove \"" + dir_ + "/via/Sample.app\": \"" + dir_ +
                               "/via\" is a symbolic link");
  EXPECT_TRUE(exists(app + "/Contents/Info.plist"));
}

TEST_F(UninstallAppTest, ReportsAMissingItemByName) {
  for (const std::string& path : {dir_ + "/Missing.app", dir_ + "/no/such/Missing.app"}) {
    EXPECT_EQ(uninstallApp(path),
              (common::FlagMessage{
                  false, "Could not remove \"" + path + "\": No such file or directory"}));
  }
}

TEST_F(UninstallAppTest, RefusedPathsTouchNothing) {
  const std::string app = makeBundle();
  for (const std::string& path :
       {app + "/Contents/..", app + "/.", dir_ + "/./Sample.app", app.substr(1)}) {
    const auto reply = uninstallApp(path);
    EXPECT_FALSE(reply.success) << path;
    EXPECT_TRUE(reply.message && reply.message->starts_with("Refusing to remove")) << path;
  }
  EXPECT_TRUE(exists(app + "/Contents/Info.plist"));
}

TEST_F(UninstallAppTest, RemovesATreeDeeperThanAnyPathCanName) {
  // 3000 levels: 6000 bytes of path, beyond PATH_MAX and any sane recursion.
  const std::string top = dir_ + "/deep";
  ASSERT_EQ(::mkdir(top.c_str(), 0755), 0);
  platform::UniqueFd fd(::open(top.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  for (int i = 0; i < 3000 && fd; ++i) {
    ASSERT_EQ(::mkdirat(fd.get(), "d", 0755), 0);
    platform::UniqueFd file(::openat(fd.get(), "f", O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
    fd.reset(::openat(fd.get(), "d", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  }
  ASSERT_TRUE(fd);
  fd.reset();
  EXPECT_EQ(uninstallApp(top), (common::FlagMessage{true, std::nullopt}));
  EXPECT_FALSE(exists(top));
}

// Runs `body` in a child process inside a private mount namespace, so that
// the mounts it makes vanish with it. Skips when namespaces are not allowed.
void inPrivateMountNamespace(const std::function<bool()>& body) {
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    if (::unshare(CLONE_NEWNS) != 0) ::_exit(77);
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) ::_exit(77);
    ::_exit(body() ? 0 : 1);
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "no private mount namespace";
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST_F(UninstallAppTest, StopsAtMountPointsAndLeavesThemIntact) {
  const std::string app = makeBundle();
  const std::string tmpfs = app + "/Contents/Volumes/tmpfs";
  // A bind mount from the same file system: st_dev alone would not show it.
  const std::string bind = dir_ + "/Other.app/Contents/bind";
  const std::string top = dir_ + "/Mounted.app";
  for (const auto& folder : {tmpfs, bind, top}) fs::create_directories(folder);
  inPrivateMountNamespace([&] {
    if (::mount("none", tmpfs.c_str(), "tmpfs", 0, nullptr) != 0 ||
        ::mount("none", top.c_str(), "tmpfs", 0, nullptr) != 0 ||
        ::mount((dir_ + "/outside").c_str(), bind.c_str(), nullptr, MS_BIND, nullptr) != 0) {
      return false;
    }
    writeFile(tmpfs + "/keep", "kept");
    writeFile(top + "/keep", "kept");
    const auto refused = [](const std::string& item) {
      return common::FlagMessage{
          false, "Could not remove \"" + item + "\": another file system is mounted there"};
    };
    return uninstallApp(app) == refused(tmpfs) &&
           uninstallApp(dir_ + "/Other.app") == refused(bind) &&
           uninstallApp(top) == refused(top) && readFile(tmpfs + "/keep") == "kept" &&
           readFile(top + "/keep") == "kept" && readFile(bind + "/folder/keep") == "kept" &&
           readFile(dir_ + "/outside/file") == "kept";
  });
}

}  // namespace
}  // namespace control

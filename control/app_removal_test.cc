#include "control/app_removal.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include "platform/unique_fd.h"
#include "testsupport/testsupport.h"

namespace control {
namespace {

namespace fs = std::filesystem;
using testsupport::readFile;
using testsupport::writeFile;

korvane::FlagMessage failure(const std::string& item, const std::string& reason) {
  return {false, "Could not remove \"" + item + "\": " + reason};
}

// A bundle with links to a folder and a file outside it, a dangling link and
// a read-only folder; and the helper's own files, one named through a link.
class UninstallApp : public ::testing::Test {
 protected:
  UninstallApp() {
    fs::create_directories(dir_ + "/Helper/run");
    writeFile(own_[0], "socket");
    writeFile(dir_ + "/Helper/exe", "exe");
    fs::create_symlink(dir_ + "/Helper/exe", own_[1]);
    fs::create_directories(app_ + "/Contents/Resources/en.lproj");
    fs::create_directories(dir_ + "/outside/folder");
    writeFile(app_ + "/Contents/Info.plist", "x");
    writeFile(dir_ + "/outside/folder/keep", "kept");
    writeFile(dir_ + "/outside/file", "kept");
    fs::create_directory_symlink(dir_ + "/outside/folder", app_ + "/Contents/Frameworks");
    fs::create_symlink(dir_ + "/outside/file", app_ + "/Contents/Resources/file-link");
    fs::create_symlink(dir_ + "/nowhere", app_ + "/Contents/dangling");
    fs::permissions(app_ + "/Contents/Resources/en.lproj", fs::perms::owner_read);
  }
  bool outsideIntact() {
    return readFile(dir_ + "/outside/folder/keep") == "kept" &&
           readFile(dir_ + "/outside/file") == "kept";
  }

  testsupport::TempDir temp_;
  const std::string dir_ = fs::canonical(temp_.path());  // paths through links are refused
  const std::string app_ = dir_ + "/Sample.app";
  const std::vector<std::string> own_ = {dir_ + "/Helper/run/own.socket", dir_ + "/exe-link"};
};

TEST(CheckRemovalPath, RefusesUnsafePaths) {
  const std::pair<std::string, const char*> refused[] = {{"", "empty path"},
                                                         {"~/App.app", "not absolute"},
                                                         {"/", "root folder is never"},
                                                         {"/usr", "in the root folder"},
                                                         {"//home//", "in the root folder"},
                                                         {"/.dockerenv", "in the root folder"},
                                                         {"/opt/./App.app", "\".\" or \"..\""},
                                                         {"/opt/../etc", "\".\" or \"..\""},
                                                         {std::string("/tmp/x\0/y", 9), "NUL"}};
  std::string refusal;
  for (const auto& [path, reason] : refused) {
    ASSERT_FALSE(checkRemovalPath(path, &refusal)) << path;
    EXPECT_NE(refusal.find(reason), std::string::npos) << refusal;
  }
  EXPECT_TRUE(checkRemovalPath("//opt//a..b/.c/", &refusal));
}

TEST_F(UninstallApp, RefusesItsOwnFilesRemovesItemsAndDeepTreesButNeverWhatLinksPointTo) {
  const std::string helper = dir_ + "/Helper", socket = own_[0], exe = dir_ + "/Helper/exe";
  const std::pair<std::string, std::string> refused[] = {
      {socket, "it is the helper's own file \"" + socket + "\""},
      {exe, "it is the helper's own file \"" + exe + "\""},  // through the link
      {dir_ + "//Helper//run/", "it holds the helper's own file \"" + socket + "\""},
      {helper, "it holds the helper's own file \"" + socket + "\""},
      {dir_, "it holds the helper's own file \"" + socket + "\""}};
  for (const auto& [path, reason] : refused) {
    EXPECT_EQ(uninstallApp(path, own_),
              (korvane::FlagMessage{false, "Refusing to remove \"" + path + "\": " + reason}));
  }
  EXPECT_EQ(readFile(socket), "socket");
  EXPECT_EQ(readFile(exe), "exe");
  EXPECT_TRUE(fs::exists(app_ + "/Contents/Info.plist"));  // nothing was touched
  // (Paths through a link or "..": CheckRemovalPath and the end-to-end test.)
  for (const auto& missing : {dir_ + "/Missing.app", dir_ + "/no/such/Missing.app"}) {
    EXPECT_EQ(uninstallApp(missing, own_), failure(missing, "No such file or directory"));
  }

  // 3000 levels, 6000 bytes of path: beyond PATH_MAX and any sane recursion.
  platform::UniqueFd fd(::open((app_ + "/Contents").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  for (int i = 0; i < 3000 && fd; ++i) {
    ASSERT_EQ(::mkdirat(fd.get(), "d", 0755), 0);
    platform::UniqueFd file(::openat(fd.get(), "d/f", O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
    fd.reset(::openat(fd.get(), "d", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  }
  ASSERT_TRUE(fd);
  // At the bottom, a hard link to the helper's socket ends the removal; its
  // path, 6000 bytes, is shown by its last 4096 and the depth they start at.
  ASSERT_EQ(::linkat(AT_FDCWD, own_[0].c_str(), fd.get(), "hard", 0), 0);
  std::string tail;
  for (int i = 0; i < 2046; ++i) tail += "d/";
  EXPECT_EQ(uninstallApp(app_, own_),
            (korvane::FlagMessage{
                false, "Could not remove \"" + tail + "hard\", 956 levels below \"" + app_ +
                           "\": it is the helper's own file \"" + own_[0] + "\""}));
  ASSERT_EQ(::unlinkat(fd.get(), "hard", 0), 0);
  fs::create_directory_symlink(dir_, dir_ + "/via");
  fs::create_directory_symlink(dir_ + "/outside/folder", dir_ + "/folder-link");
  fs::create_symlink(dir_ + "/outside/file", dir_ + "/file-link");
  for (const auto& item : {dir_ + "/folder-link", dir_ + "/file-link", dir_ + "/via", app_}) {
    EXPECT_EQ(uninstallApp(item, own_), (korvane::FlagMessage{true, std::nullopt})) << item;
    EXPECT_FALSE(fs::exists(fs::symlink_status(item))) << item;
  }
  EXPECT_TRUE(outsideIntact());
}

TEST_F(UninstallApp, StopsAtMountPointsAndLeavesThemIntact) {
  const std::string tmpfs = app_ + "/Contents/Volumes/tmpfs";
  // A bind mount within the same file system: st_dev alone would not show it.
  const std::string bind = dir_ + "/Other.app/Contents/bind";
  const std::string top = dir_ + "/Mounted.app";
  const std::string bound = dir_ + "/Bound";  // the helper's run folder, bound again
  for (const auto& folder : {tmpfs, bind, top, bound}) fs::create_directories(folder);
  // The mounts live in a child's private mount namespace and vanish with it.
  const int status = testsupport::runInChild([&] {
    if (::unshare(CLONE_NEWNS) != 0 ||
        ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
      return 77;
    }
    const bool mounted =
        ::mount("none", tmpfs.c_str(), "tmpfs", 0, nullptr) == 0 &&
        ::mount("none", top.c_str(), "tmpfs", 0, nullptr) == 0 &&
        ::mount((dir_ + "/outside").c_str(), bind.c_str(), nullptr, MS_BIND, nullptr) == 0 &&
        ::mount((dir_ + "/Helper/run").c_str(), bound.c_str(), nullptr, MS_BIND, nullptr) == 0;
    writeFile(tmpfs + "/keep", "kept");
    writeFile(top + "/keep", "kept");
    const std::string reason = "another file system is mounted there";
    const std::string socket = bound + "/own.socket";
    return mounted && uninstallApp(app_, own_) == failure(tmpfs, reason) &&
                   uninstallApp(dir_ + "/Other.app", own_) == failure(bind, reason) &&
                   uninstallApp(top, own_) == failure(top, reason) &&
                   !uninstallApp(socket, own_).success && readFile(socket) == "socket" &&
                   readFile(tmpfs + "/keep") == "kept" && readFile(top + "/keep") == "kept" &&
                   outsideIntact()
               ? 0
               : 1;
  });
  if (status == 77) GTEST_SKIP() << "no mount namespace";
  EXPECT_EQ(status, 0);
}

}  // namespace
}  // namespace control

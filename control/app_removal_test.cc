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

common::FlagMessage failure(const std::string& item, const std::string& reason) {
  return {false, "Could not remove \"" + item + "\": " + reason};
}

// A bundle with links to a folder and a file outside it, a dangling link and
// a read-only folder.
class UninstallApp : public ::testing::Test {
 protected:
  UninstallApp() {
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

TEST_F(UninstallApp, RemovesItemsAndDeepTreesButNeverWhatTheirLinksPointTo) {
  // (Paths through a link or "..": CheckRemovalPath and the end-to-end test.)
  for (const auto& missing : {dir_ + "/Missing.app", dir_ + "/no/such/Missing.app"}) {
    EXPECT_EQ(uninstallApp(missing), failure(missing, "No such file or directory"));
  }

  // A tree 3000 levels deep in the bundle: 6000 bytes of path, beyond
  // PATH_MAX and any sane recursion.
  platform::UniqueFd fd(::open((app_ + "/Contents").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  for (int i = 0; i < 3000 && fd; ++i) {
    ASSERT_EQ(::mkdirat(fd.get(), "d", 0755), 0);
    platform::UniqueFd file(::openat(fd.get(), "d/f", O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
    fd.reset(::openat(fd.get(), "d", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  }
  ASSERT_TRUE(fd);
  fs::create_directory_symlink(dir_, dir_ + "/via");
  fs::create_directory_symlink(dir_ + "/outside/folder", dir_ + "/folder-link");
  fs::create_symlink(dir_ + "/outside/file", dir_ + "/file-link");
  for (const auto& item : {dir_ + "/folder-link", dir_ + "/file-link", dir_ + "/via", app_}) {
    EXPECT_EQ(uninstallApp(item), (common::FlagMessage{true, std::nullopt})) << item;
    EXPECT_FALSE(fs::exists(fs::symlink_status(item))) << item;
  }
  EXPECT_TRUE(outsideIntact());
}

TEST_F(UninstallApp, StopsAtMountPointsAndLeavesThemIntact) {
  const std::string tmpfs = app_ + "/Contents/Volumes/tmpfs";
  // A bind mount within the same file system: st_dev alone would not show it.
  const std::string bind = dir_ + "/Other.app/Contents/bind";
  const std::string top = dir_ + "/Mounted.app";
  for (const auto& folder : {tmpfs, bind, top}) fs::create_directories(folder);
  // The mounts live in a child's private mount namespace and vanish with it.
  const int status = testsupport::runInChild([&] {
    if (::unshare(CLONE_NEWNS) != 0 ||
        ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
      return 77;
    }
    const bool mounted =
        ::mount("none", tmpfs.c_str(), "tmpfs", 0, nullptr) == 0 &&
        ::mount("none", top.c_str(), "tmpfs", 0, nullptr) == 0 &&
        ::mount((dir_ + "/outside").c_str(), bind.c_str(), nullptr, MS_BIND, nullptr) == 0;
    writeFile(tmpfs + "/keep", "kept");
    writeFile(top + "/keep", "kept");
    const std::string reason = "another file system is mounted there";
    return mounted && uninstallApp(app_) == failure(tmpfs, reason) &&
                   uninstallApp(dir_ + "/Other.app") == failure(bind, reason) &&
                   uninstallApp(top) == failure(top, reason) &&
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

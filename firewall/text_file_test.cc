#include "firewall/text_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <set>
#include <string>

#include "firewall/test_folder.h"

namespace firewall {
namespace {

mode_t modeOf(const std::string& path) {
  struct stat st {};
  ::stat(path.c_str(), &st);
  return st.st_mode & 07777;
}

TEST(WriteUtf8FileAtomically, CreatesNewFilesWith0644AndKeepsTheModeOfExistingOnes) {
  TestFolder dir;
  const std::string fresh = dir / "fresh";
  ASSERT_EQ(writeUtf8FileAtomically(fresh, "caf\xC3\xA9\n"), std::nullopt);
  EXPECT_EQ(readFile(fresh), "caf\xC3\xA9\n");
  EXPECT_EQ(modeOf(fresh), 0644u);

  for (mode_t mode : {0600u, 0755u}) {
    const std::string existing = dir / "existing";
    writeFile(existing, "old content that is longer than the new one\n");
    ASSERT_EQ(::chmod(existing.c_str(), mode), 0);
    ASSERT_EQ(writeUtf8FileAtomically(existing, ""), std::nullopt);
    EXPECT_EQ(readFile(existing), "");
    EXPECT_EQ(modeOf(existing), mode);
  }
  EXPECT_EQ(entriesOf(dir.path()), (std::set<std::string>{"existing", "fresh"}))
      << "no temporary file is left behind";
}

TEST(WriteUtf8FileAtomically, FailsNamingTheFileAndLeavesEverythingAsItWas) {
  TestFolder dir;
  // A non-empty folder in the target's place makes the final rename fail.
  const std::string target = dir / "target";
  std::filesystem::create_directory(target);
  writeFile(target + "/inside", "kept");
  std::optional<std::string> error = writeUtf8FileAtomically(target, "new\n");
  ASSERT_TRUE(error);
  EXPECT_NE(error->find("\"" + target + "\" (rename): "), std::string::npos) << *error;
  EXPECT_EQ(readFile(target + "/inside"), "kept");

  const std::string file = dir / "file";
  EXPECT_EQ(writeUtf8FileAtomically(file, "bad \xFF"),
            "Could not write \"" + file + "\": the text is not valid UTF-8.");
  EXPECT_EQ(entriesOf(dir.path()), (std::set<std::string>{"target"}));
}

TEST(ReadUtf8File, ReadsWholeValidFilesAndRefusesEverythingElse) {
  TestFolder dir;
  std::string big(100000, 'a');
  big += "\xF0\x9F\x9A\xA8 end";
  writeFile(dir / "big", big);
  EXPECT_EQ(readUtf8File(dir / "big").text, big);
  writeFile(dir / "empty", "");
  EXPECT_EQ(readUtf8File(dir / "empty").text, "");

  writeFile(dir / "latin1", "caf\xE9\n");
  std::filesystem::create_directory(dir / "folder");
  struct Case {
    std::string path;
    std::string error;
  };
  const Case cases[] = {
      {dir / "missing",
       "Could not read \"" + (dir / "missing") + "\" (open): No such file or directory."},
      {dir / "latin1",
       "Could not read \"" + (dir / "latin1") + "\": the file is not valid UTF-8 text."},
      {dir / "folder", "Could not read \"" + (dir / "folder") + "\" (read): Is a directory."},
  };
  for (const Case& c : cases) {
    TextRead read = readUtf8File(c.path);
    EXPECT_FALSE(read.text) << c.path;
    EXPECT_EQ(read.error, c.error);
  }
}

}  // namespace
}  // namespace firewall

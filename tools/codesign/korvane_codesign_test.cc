#include <gtest/gtest.h>
#include <sys/stat.h>

#include "platform/codesign/code_signer.h"
#include "platform/codesign/file_io.h"
#include "platform/codesign/testsupport/test_pki.h"
#include "platform/codesign/testsupport/test_process.h"

namespace {

namespace sec = platform::security;
using sec::testing::ProgramResult;
using sec::testing::runProgram;

class CodesignTool : public ::testing::Test {
 protected:
  CodesignTool() : pki_(sec::testing::TestPki::make()) {
    std::vector<std::uint8_t> program;
    std::string error;
    EXPECT_TRUE(sec::readWholeFile("/bin/true", &program, &error)) << error;
    programSize_ = program.size();
    sec::testing::writeFile(file_, program, 0750);
    sec::testing::writeFile(anchor_, pki_.trustedRoot.certificatePem());
    good_ = pki_.viaIntermediate.writeFiles(dir_.path(), "good");
    untrusted_ = pki_.untrusted.writeFiles(dir_.path(), "untrusted");
  }

  static ProgramResult tool(std::vector<std::string> args) {
    args.insert(args.begin(), KORVANE_CODESIGN_TOOL);
    return runProgram(args);
  }

  sec::testing::TestPki pki_;
  sec::testing::TempDir dir_;
  const std::string file_ = dir_.file("program");
  const std::string anchor_ = dir_.file("anchor.pem");
  std::string good_, untrusted_;
  std::size_t programSize_ = 0;
};

TEST_F(CodesignTool, SignsVerifiesAndDisplays) {
  ProgramResult r = tool({"verify", "--anchor", anchor_, file_});
  EXPECT_EQ(r.exitStatus, 1);
  EXPECT_EQ(r.output, file_ + ": code object is not signed at all (status -67062)\n");

  r = tool({"sign", "--identity", untrusted_, "--identifier", "com.korvane.first", file_});
  ASSERT_EQ(r.exitStatus, 0) << r.errors;
  r = tool({"verify", "--anchor", anchor_, file_});
  EXPECT_EQ(r.exitStatus, 1);
  EXPECT_NE(r.output.find("(status -67050)"), std::string::npos) << r.output;

  // Re-signing replaces the first signature and keeps the mode bits.
  r = tool(
      {"sign", "--identity", good_, "--identifier", "com.korvane.Korvane-Activity-Console", file_});
  ASSERT_EQ(r.exitStatus, 0) << r.errors;
  struct stat st {};
  ASSERT_EQ(::stat(file_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0750u);
  r = tool({"verify", "--anchor", anchor_, "--requirement",
            "anchor apple generic and identifier \"com.korvane.Korvane-Activity-Console\" and "
            "certificate leaf[subject.OU] = \"QX7ZK2M4PD\"",
            file_});
  EXPECT_EQ(r.exitStatus, 0) << r.output;
  EXPECT_EQ(r.output, file_ + ": valid on disk and satisfies its requirement (status 0)\n");
  EXPECT_EQ(runProgram({file_}).exitStatus, 0);

  r = tool({"display", file_});
  ASSERT_EQ(r.exitStatus, 0);
  for (const std::string& line : std::vector<std::string>{
           "Identifier=com.korvane.Korvane-Activity-Console\n", "Hash type=sha256\n",
           "Signed size=" + std::to_string(programSize_) + "\n",
           "Subject=O=Korvane Test,OU=QX7ZK2M4PD,CN=Korvane Test Signer (QX7ZK2M4PD)\n",
           "Authority=O=Korvane Test,CN=Korvane Test Intermediate\n", "OU=QX7ZK2M4PD\n",
           "TeamIdentifier=QX7ZK2M4PD\n"}) {
    EXPECT_NE(r.output.find(line), std::string::npos) << line << r.output;
  }
}

TEST_F(CodesignTool, ReportsUsageAndSigningErrors) {
  const std::string mismatched = dir_.file("good.key") + "," + dir_.file("untrusted.pem");
  const struct {
    std::vector<std::string> args;
    int exitStatus;
  } cases[] = {
      {{}, 2},
      {{"frobnicate", file_}, 2},
      {{"sign", "--identifier", "x", file_}, 2},
      {{"sign", "--identity", good_, file_}, 2},
      {{"sign", "--identity", good_, "--identifier", "x"}, 2},
      {{"sign", "--identity", good_, "--identifier", "x", file_, file_}, 2},
      {{"sign", "--identity", good_, "--identifier", "x", "--identifier", "y", file_}, 2},
      {{"verify", "--colour", "x", file_}, 2},
      {{"verify", "--requirement", "anchor apple", file_}, 2},
      {{"verify", "--anchor", dir_.file("missing.pem"), file_}, 2},
      {{"sign", "--identity", mismatched, "--identifier", "x", file_}, 1},
      {{"sign", "--identity", good_, "--identifier", "has space", file_}, 1},
      {{"sign", "--identity", good_, "--identifier", "x", dir_.file("missing")}, 1},
      {{"display", file_}, 1},
  };
  for (const auto& c : cases) {
    const ProgramResult r = tool(c.args);
    std::string joined;
    for (const std::string& a : c.args) joined += a + " ";
    EXPECT_EQ(r.exitStatus, c.exitStatus) << joined << r.errors;
  }
  std::vector<std::uint8_t> content;
  std::string error;
  ASSERT_TRUE(sec::readWholeFile(file_, &content, &error));
  EXPECT_EQ(content.size(), programSize_) << "failed commands leave the file alone";
}

}  // namespace

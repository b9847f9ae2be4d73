#include <gtest/gtest.h>

#include "codesign/file_io.h"
#include "codesign/testsupport/test_pki.h"
#include "codesign/testsupport/test_process.h"

namespace {

namespace sec = codesign;
using sec::testing::ProgramResult;
using sec::testing::runProgram;

constexpr char kRequirement[] =
    "anchor apple generic and identifier \"com.korvane.Korvane-Activity-Console\" and "
    "certificate leaf[subject.OU] = \"QX7ZK2M4PD\"";

class CodesignTool : public ::testing::Test {
 protected:
  CodesignTool() : pki_(sec::testing::TestPki::make()) {
    std::string error;
    EXPECT_TRUE(sec::readWholeFile("/bin/true", &program_, &error)) << error;
    sec::testing::writeFile(file_, program_, 0750);
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
  std::vector<std::uint8_t> program_;
};

TEST_F(CodesignTool, SignsVerifiesAndDisplays) {
  const std::vector<std::string> verify = {"verify",        "--anchor",   anchor_,
                                           "--requirement", kRequirement, file_};
  ProgramResult r = tool(verify);
  EXPECT_EQ(r.exitStatus, 1);
  EXPECT_EQ(r.output, file_ + ": code object is not signed at all (status -67062)\n");

  r = tool({"sign", "--identity", untrusted_, "--identifier", "com.korvane.first", file_});
  ASSERT_EQ(r.exitStatus, 0);
  r = tool(verify);
  EXPECT_EQ(r.exitStatus, 1);
  EXPECT_NE(r.output.find("(status -67050)"), std::string::npos) << r.output;

  r = tool(
      {"sign", "--identity", good_, "--identifier", "com.korvane.Korvane-Activity-Console", file_});
  ASSERT_EQ(r.exitStatus, 0);
  r = tool(verify);
  EXPECT_EQ(r.output, file_ + ": valid on disk and satisfies its requirement (status 0)\n");
  EXPECT_EQ(r.exitStatus, 0);
  EXPECT_EQ(runProgram({file_}).exitStatus, 0);
  r = tool({"display", file_});
  EXPECT_EQ(r.exitStatus, 0);
  EXPECT_NE(r.output.find("Signed size=" + std::to_string(program_.size()) + "\n"),
            std::string::npos)
      << r.output;
}

TEST_F(CodesignTool, RefusesBadCommandLinesAndLeavesTheFileAlone) {
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
      {{"sign", "--identity", good_, "--identifier", "has space", file_}, 1},
      {{"sign", "--identity", good_, "--identifier", "x", dir_.file("missing")}, 1},
      {{"display", file_}, 1},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(tool(c.args).exitStatus, c.exitStatus) << ::testing::PrintToString(c.args);
  }
  std::vector<std::uint8_t> content;
  std::string error;
  ASSERT_TRUE(sec::readWholeFile(file_, &content, &error));
  EXPECT_EQ(content, program_) << "failed commands leave the file alone";
}

}  // namespace

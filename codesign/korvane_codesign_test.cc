// The korvane-codesign tool, and the format as docs/codesign.md describes it:
// the document's own scripts, run with the openssl command line, agree with
// our signer and verifier.
#include <gtest/gtest.h>

#include "codesign/signature_format.h"
#include "codesign/testsupport/test_pki.h"
#include "testsupport/testsupport.h"

namespace codesign {
namespace {

using testsupport::run;
using testsupport::RunResult;

constexpr char kRequirement[] =
    "anchor apple generic and identifier \"com.korvane.Korvane-Activity-Console\" and "
    "certificate leaf[subject.OU] = \"QX7ZK2M4PD\"";

class CodesignTool : public ::testing::Test {
 protected:
  CodesignTool() {
    testsupport::writeFile(file_, program_, 0750);
    testsupport::writeFile(anchor_, pki_.trustedRoot.certificatePem);
  }
  static RunResult tool(std::vector<std::string> args) {
    args.insert(args.begin(), KORVANE_CODESIGN_TOOL);
    return run(args);
  }
  // The ```sh block that follows the line "<!-- NAME -->" in the document,
  // run in the test's folder.
  RunResult docScript(std::string_view name) {
    const std::string doc = testsupport::readFile(KORVANE_CODESIGN_DOC);
    const std::size_t marker = doc.find("<!-- " + std::string(name) + " -->\n```sh\n");
    EXPECT_NE(marker, std::string::npos) << name;
    const std::size_t start = doc.find('\n', doc.find("```sh", marker)) + 1;
    testsupport::writeFile(dir_.file("script.sh"),
                           doc.substr(start, doc.find("\n```\n", start) - start + 1));
    return run({"/bin/sh", "-euc", "cd \"$1\" && . ./script.sh", "sh", dir_.path()});
  }

  const testing::TestPki pki_ = testing::TestPki::make();
  testsupport::TempDir dir_;
  const std::string file_ = dir_.file("program"), anchor_ = dir_.file("anchor.pem");
  const std::string good_ = pki_.viaIntermediate.writeFiles(dir_.path(), "good");
  const std::string untrusted_ = pki_.untrusted.writeFiles(dir_.path(), "untrusted");
  const std::string program_ = testsupport::readFile("/bin/true");
};

TEST_F(CodesignTool, SignsVerifiesAndDisplays) {
  const std::vector<std::string> verify = {"verify",        "--anchor",   anchor_,
                                           "--requirement", kRequirement, file_};
  RunResult r = tool(verify);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, file_ + ": code object is not signed at all (status -67062)\n");

  ASSERT_EQ(
      tool({"sign", "--identity", untrusted_, "--identifier", "com.korvane.first", file_}).status,
      0);
  r = tool(verify);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("(status -67050)"), std::string::npos) << r.out;

  r = tool(
      {"sign", "--identity", good_, "--identifier", "com.korvane.Korvane-Activity-Console", file_});
  ASSERT_EQ(r.status, 0) << r.err;
  r = tool(verify);
  EXPECT_EQ(r.out, file_ + ": valid on disk and satisfies its requirement (status 0)\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(run({file_}).status, 0);
  r = tool({"display", file_});
  EXPECT_EQ(r.status, 0);
  for (const std::string& line : std::vector<std::string>{
           "Identifier=com.korvane.Korvane-Activity-Console", "TeamIdentifier=QX7ZK2M4PD",
           "Signed size=" + std::to_string(program_.size()),
           "Authority=O=Korvane Test,CN=Korvane Test Intermediate"}) {
    EXPECT_NE(r.out.find(line + "\n"), std::string::npos) << line << "\n" << r.out;
  }
}

TEST_F(CodesignTool, RefusesAndLeavesTheFileAlone) {
  const std::string link = dir_.file("link"), damaged = dir_.file("damaged");
  std::filesystem::create_symlink(file_, link);
  // A signature block whose header is cut short.
  testsupport::writeFile(damaged, "ELF.." + std::string(codesign::kSignatureMagic));
  const std::pair<std::vector<std::string>, int> cases[] = {
      {{}, 2},
      {{"sign", "--identity", good_, "--identifier", "has space", file_}, 1},
      {{"sign", "--identity", good_, "--identifier", "x", link}, 1},  // would replace the link
      {{"sign", "--identity", good_, "--identifier", "x", damaged}, 1},
      {{"display", file_}, 1},
  };
  for (const auto& [args, status] : cases) {
    EXPECT_EQ(tool(args).status, status) << ::testing::PrintToString(args);
  }
  EXPECT_EQ(testsupport::readFile(file_), program_);
  EXPECT_TRUE(std::filesystem::is_symlink(link));
}

TEST_F(CodesignTool, TheDocumentsOpensslScriptsAgreeWithUs) {
  // Signed by hand (a leaf under an intermediate), verified by us, and the
  // program still runs.
  testsupport::writeFile(dir_.file("signing.key"), pki_.viaIntermediate.keyPem);
  testsupport::writeFile(dir_.file("signing.pem"), pki_.viaIntermediate.certificatePem);
  testsupport::writeFile(dir_.file("chain.pem"), pki_.viaIntermediate.chainPem);
  ASSERT_EQ(docScript("fixture-script").status, 0);
  const std::string signedFile = dir_.file("program.signed");
  EXPECT_EQ(tool({"verify", "--anchor", anchor_, signedFile}).status, 0);
  EXPECT_EQ(run({signedFile}).status, 0);
  // Signed by us, verified by hand; the script is a real check: another
  // anchor fails it.
  ASSERT_EQ(
      tool({"sign", "--identity", good_, "--identifier", "com.example.fixture", file_}).status, 0);
  std::filesystem::rename(file_, signedFile);
  RunResult r = docScript("verify-script");
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  testsupport::writeFile(anchor_, pki_.untrustedRoot.certificatePem);
  EXPECT_NE(docScript("verify-script").status, 0);
}

}  // namespace
}  // namespace codesign

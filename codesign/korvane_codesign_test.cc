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
  // Also the document's signing.key and signing.pem.
  const std::string good_ = pki_.viaIntermediate.writeFiles(dir_.path(), "signing");
  const std::string untrusted_ = pki_.untrusted.writeFiles(dir_.path(), "untrusted");
  const std::string program_ = testsupport::readFile("/bin/true");
};

TEST_F(CodesignTool, SignsVerifiesDisplaysRefusesAndAgreesWithTheDocument) {
  // Signed by hand with the document's script (a leaf under an intermediate),
  // verified by us, and the program still runs.
  std::filesystem::copy_file(dir_.file("signing-chain.pem"), dir_.file("chain.pem"));
  const std::string signedFile = dir_.file("program.signed");
  ASSERT_EQ(docScript("fixture-script").status, 0);
  EXPECT_EQ(tool({"verify", "--anchor", anchor_, signedFile}).status, 0);
  EXPECT_EQ(run({signedFile}).status, 0);

  const std::string link = dir_.file("link"), damaged = dir_.file("damaged");
  std::filesystem::create_symlink(file_, link);
  // A signature block whose header is cut short.
  const std::string damagedBytes = "ELF.." + std::string(codesign::kSignatureMagic);
  testsupport::writeFile(damaged, damagedBytes);
  auto sign = [](const std::string& identity, const std::string& identifier,
                 const std::string& file) -> std::vector<std::string> {
    return {"sign", "--identity", identity, "--identifier", identifier, file};
  };
  const std::vector<std::string> verify = {
      "verify", "--anchor", anchor_, "--requirement", testing::kClientRequirement, file_};
  // In order, on one file; a refused sign must leave it as it was.
  const struct {
    std::vector<std::string> args;
    int status;
    std::vector<std::string> out;  // lines of the output
  } steps[] = {
      {{}, 2, {}},
      {verify, 1, {file_ + ": code object is not signed at all (status -67062)"}},
      {{"display", file_}, 1, {}},
      {sign(untrusted_, "com.korvane.first", file_), 0, {}},
      {verify,
       1,
       {file_ + ": code failed to satisfy specified code requirement(s) (status -67050)"}},
      {sign(good_, testing::kClientIdentifier, file_), 0, {}},
      {sign(good_, "has space", file_), 1, {}},
      {sign(good_, "x", link), 1, {}},  // would replace the link
      {sign(good_, "x", damaged), 1, {}},
      {verify, 0, {file_ + ": valid on disk and satisfies its requirement (status 0)"}},
      {{"display", file_},
       0,
       {"Identifier=com.korvane.Korvane-Activity-Console", "TeamIdentifier=QX7ZK2M4PD",
        "Signed size=" + std::to_string(program_.size()),
        "Authority=O=Korvane Test,CN=Korvane Test Intermediate"}},
  };
  for (const auto& step : steps) {
    const RunResult r = tool(step.args);
    EXPECT_EQ(r.status, step.status) << ::testing::PrintToString(step.args) << r.err;
    for (const std::string& line : step.out) {
      EXPECT_NE(("\n" + r.out).find("\n" + line + "\n"), std::string::npos) << line << r.out;
    }
  }
  EXPECT_EQ(run({file_}).status, 0);
  EXPECT_TRUE(std::filesystem::is_symlink(link));
  EXPECT_EQ(testsupport::readFile(damaged), damagedBytes);
  // Signed by us, verified with the document's script; a real check:
  // another anchor fails it.
  std::filesystem::rename(file_, signedFile);
  const RunResult r = docScript("verify-script");
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  testsupport::writeFile(anchor_, pki_.untrustedRoot.certificatePem);
  EXPECT_NE(docScript("verify-script").status, 0);
}

}  // namespace
}  // namespace codesign

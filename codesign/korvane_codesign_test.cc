// docs/codesign.md's own openssl scripts agree with our signer and verifier.
#include <gtest/gtest.h>

#include "codesign/signature_format.h"
#include "codesign/testsupport/test_pki.h"
#include "testsupport/testsupport.h"

namespace codesign {
namespace {

using testsupport::run;
using testsupport::RunResult;

// The document's ```sh block after "<!-- NAME -->", run in `dir`.
RunResult docScript(std::string_view name, const testsupport::TempDir& dir) {
  const std::string doc = testsupport::readFile(KORVANE_CODESIGN_DOC);
  const std::size_t marker = doc.find("<!-- " + std::string(name) + " -->\n```sh\n");
  EXPECT_NE(marker, std::string::npos) << name;
  const std::size_t start = doc.find('\n', doc.find("```sh", marker)) + 1;
  testsupport::writeFile(dir.file("script.sh"),
                         doc.substr(start, doc.find("\n```\n", start) - start + 1));
  return run({"/bin/sh", "-euc", "cd \"$1\" && . ./script.sh", "sh", dir.path()});
}

TEST(CodesignTool, SignsVerifiesDisplaysRefusesAndAgreesWithTheDocument) {
  const testing::TestPki pki = testing::TestPki::make();
  const testsupport::TempDir dir;
  const std::string program = testsupport::readFile("/bin/true"), file = dir.file("program"),
                    anchor = dir.file("anchor.pem"), signedFile = dir.file("program.signed");
  testsupport::writeFile(file, program, 0750);
  testsupport::writeFile(anchor, pki.trustedRoot.certificatePem);
  auto identityFiles = [&](const testing::TestCertificate& leaf, const std::string& stem) {
    testsupport::writeFile(dir.file(stem + ".key"), leaf.keyPem, 0600);
    testsupport::writeFile(dir.file(stem + ".pem"), leaf.certificatePem);
    return dir.file(stem + ".key") + "," + dir.file(stem + ".pem");
  };
  const std::string chain = dir.file("chain.pem");
  testsupport::writeFile(chain, pki.viaIntermediate.chainPem);
  const std::string untrusted = identityFiles(pki.untrustedRoot.issue(), "untrusted"),
                    good = identityFiles(pki.viaIntermediate, "signing") + "," + chain;
  auto tool = [](std::vector<std::string> args) {
    args.insert(args.begin(), KORVANE_CODESIGN_TOOL);
    return run(args);
  };
  ASSERT_EQ(docScript("fixture-script", dir).status, 0);
  EXPECT_EQ(tool({"verify", "--anchor", anchor, signedFile}).status, 0);
  EXPECT_EQ(run({signedFile}).status, 0);

  const std::string link = dir.file("link"), damaged = dir.file("damaged");
  std::filesystem::create_symlink(file, link);
  const std::string damagedBytes = "ELF.." + std::string(codesign::kSignatureMagic);
  testsupport::writeFile(damaged, damagedBytes);
  auto sign = [](const std::string& keys, const std::string& identifier,
                 const std::string& target) -> std::vector<std::string> {
    return {"sign", "--identity", keys, "--identifier", identifier, target};
  };
  const std::vector<std::string> verify = {
      "verify", "--anchor", anchor, "--requirement", testing::kClientRequirement, file};
  // In order, on one file; a refused sign must leave it as it was.
  const struct {
    std::vector<std::string> args;
    int status;
    std::vector<std::string> out;  // lines of the output
  } steps[] = {
      {{}, 2, {}},
      {verify, 1, {file + ": code object is not signed at all (status -67062)"}},
      {{"display", file}, 1, {}},
      {sign(untrusted, "com.korvane.first", file), 0, {}},
      {sign(good, testing::kClientIdentifier, file), 0, {}},
      {sign(good, "has space", file), 1, {}},
      {sign(dir.file("untrusted.key") + "," + dir.file("signing.pem"), "x", file), 1, {}},
      {sign(good, "x", link), 1, {}},  // would replace the link
      {sign(good, "x", damaged), 1, {}},
      {verify, 0, {file + ": valid on disk and satisfies its requirement (status 0)"}},
      {{"display", file},
       0,
       {"Identifier=com.korvane.Korvane-Activity-Console", "TeamIdentifier=QX7ZK2M4PD",
        "Signed size=" + std::to_string(program.size()),
        "Authority=O=Korvane Test,CN=Korvane Test Intermediate"}},
  };
  for (const auto& step : steps) {
    const RunResult r = tool(step.args);
    EXPECT_EQ(r.status, step.status) << ::testing::PrintToString(step.args) << r.err;
    for (const std::string& line : step.out) {
      EXPECT_NE(("\n" + r.out).find("\n" + line + "\n"), std::string::npos) << line << r.out;
    }
  }
  EXPECT_EQ(run({file}).status, 0);
  EXPECT_TRUE(std::filesystem::is_symlink(link));
  EXPECT_EQ(testsupport::readFile(damaged), damagedBytes);
  // Another anchor fails the document's check: it is a real one.
  std::filesystem::rename(file, signedFile);
  const RunResult r = docScript("verify-script", dir);
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  testsupport::writeFile(anchor, pki.untrustedRoot.certificatePem);
  EXPECT_NE(docScript("verify-script", dir).status, 0);
}

}  // namespace
}  // namespace codesign

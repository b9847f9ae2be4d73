// korvane-codesign: signs executables and inspects their signatures, in the
// spirit of macOS codesign(1).
//
//   korvane-codesign sign --identity KEY,CERT[,CHAIN] --identifier ID FILE
//   korvane-codesign verify [--anchor PEM] [--requirement TEXT] FILE
//   korvane-codesign display FILE
//
// Exit status: 0 success, 1 the file is not validly signed (or signing
// failed), 2 usage errors.
#include <cstdio>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "codesign/build_trust_anchor.h"
#include "codesign/code_signer.h"
#include "codesign/security.h"

namespace {

namespace sec = codesign;

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
constexpr std::string_view kDefaultRequirement = "anchor apple generic";

constexpr char kUsage[] =
    "usage: korvane-codesign sign --identity KEY,CERT[,CHAIN] --identifier ID FILE\n"
    "       korvane-codesign verify [--anchor PEM] [--requirement TEXT] FILE\n"
    "       korvane-codesign display FILE\n";

int usage(std::string_view problem) {
  std::fprintf(stderr, "korvane-codesign: %.*s\n%s", static_cast<int>(problem.size()),
               problem.data(), kUsage);
  return kExitUsage;
}

struct Arguments {
  std::map<std::string, std::string> options;
  std::string file;
};

// Options with a value, then exactly one FILE. The word after an option is
// its value even when it starts with a dash.
std::optional<Arguments> parseArguments(const std::vector<std::string>& args,
                                        const std::vector<std::string>& allowed,
                                        std::string* problem) {
  Arguments parsed;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg.rfind("--", 0) == 0) {
      bool known = false;
      for (const std::string& name : allowed) known = known || name == arg;
      if (!known) {
        *problem = "unknown option " + arg;
        return std::nullopt;
      }
      if (i + 1 >= args.size()) {
        *problem = arg + " needs a value";
        return std::nullopt;
      }
      if (!parsed.options.emplace(arg, args[++i]).second) {
        *problem = arg + " given twice";
        return std::nullopt;
      }
    } else if (parsed.file.empty() && !arg.empty()) {
      parsed.file = arg;
    } else {
      *problem = "exactly one FILE is expected";
      return std::nullopt;
    }
  }
  if (parsed.file.empty()) {
    *problem = "no FILE given";
    return std::nullopt;
  }
  return parsed;
}

void printStatus(const std::string& file, sec::OSStatus status) {
  const std::string message = status == sec::errSecSuccess
                                  ? "valid on disk and satisfies its requirement"
                                  : sec::SecCopyErrorMessageString(status);
  std::printf("%s: %s (status %d)\n", file.c_str(), message.c_str(), static_cast<int>(status));
}

int sign(const std::vector<std::string>& args) {
  std::string problem;
  std::optional<Arguments> parsed = parseArguments(args, {"--identity", "--identifier"}, &problem);
  if (!parsed) return usage(problem);
  if (!parsed->options.count("--identity") || !parsed->options.count("--identifier")) {
    return usage("sign needs --identity and --identifier");
  }
  std::string error;
  std::optional<sec::SigningIdentity> identity =
      sec::SigningIdentity::load(parsed->options["--identity"], &error);
  if (!identity ||
      !sec::signExecutableFile(parsed->file, parsed->options["--identifier"], *identity, &error)) {
    std::fprintf(stderr, "korvane-codesign: %s\n", error.c_str());
    return kExitFailure;
  }
  return 0;
}

int verify(const std::vector<std::string>& args) {
  std::string problem;
  std::optional<Arguments> parsed = parseArguments(args, {"--anchor", "--requirement"}, &problem);
  if (!parsed) return usage(problem);
  std::optional<sec::TrustAnchor> anchor =
      parsed->options.count("--anchor") ? sec::TrustAnchor::fromFile(parsed->options["--anchor"])
                                        : sec::TrustAnchor::fromPem(sec::buildTrustAnchorPem());
  if (!anchor) {
    std::fprintf(stderr, "korvane-codesign: cannot read the trust anchor\n");
    return kExitUsage;
  }
  const std::string text = parsed->options.count("--requirement")
                               ? parsed->options["--requirement"]
                               : std::string(kDefaultRequirement);
  sec::SecRequirementRef requirement;
  sec::OSStatus status =
      sec::SecRequirementCreateWithString(text, sec::kSecCSDefaultFlags, &requirement);
  if (status != sec::errSecSuccess) {
    std::fprintf(stderr, "korvane-codesign: the requirement does not compile (status %d)\n",
                 static_cast<int>(status));
    return kExitUsage;
  }
  sec::SecCodeRef code;
  status = sec::SecStaticCodeCreateWithPath(parsed->file, sec::kSecCSDefaultFlags, &code);
  if (status == sec::errSecSuccess) {
    status =
        sec::SecCodeCheckValidity(code.get(), sec::kSecCSDefaultFlags, requirement.get(), *anchor);
  }
  printStatus(parsed->file, status);
  return status == sec::errSecSuccess ? 0 : kExitFailure;
}

int display(const std::vector<std::string>& args) {
  std::string problem;
  std::optional<Arguments> parsed = parseArguments(args, {}, &problem);
  if (!parsed) return usage(problem);
  sec::SecCodeRef code;
  sec::SigningInformation info;
  sec::OSStatus status =
      sec::SecStaticCodeCreateWithPath(parsed->file, sec::kSecCSDefaultFlags, &code);
  if (status == sec::errSecSuccess) {
    status = sec::SecCodeCopySigningInformation(code.get(), sec::kSecCSDefaultFlags, &info);
  }
  if (status != sec::errSecSuccess) {
    printStatus(parsed->file, status);
    return kExitFailure;
  }
  std::printf("Executable=%s\n", parsed->file.c_str());
  std::printf("Identifier=%s\n", info.identifier.c_str());
  std::printf("Format=appended signature, version %d\n", static_cast<int>(sec::kBlockVersion));
  std::printf("Hash type=%s\n", info.hashAlgorithm.c_str());
  std::printf("Hash=%s\n", sec::toHex(info.hash).c_str());
  std::printf("Signed size=%llu\n", static_cast<unsigned long long>(info.signedLength));
  for (const std::string& authority : info.authorities) {
    std::printf("Authority=%s\n", authority.c_str());
  }
  std::printf("Subject=%s\n", info.leafSubject.c_str());
  for (const std::string& unit : info.leafOrganizationalUnits) std::printf("OU=%s\n", unit.c_str());
  std::printf("TeamIdentifier=%s\n",
              info.teamIdentifier ? info.teamIdentifier->c_str() : "not set");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return usage("no command given");
  const std::string command = argv[1];
  const std::vector<std::string> args(argv + 2, argv + argc);
  if (command == "sign") return sign(args);
  if (command == "verify") return verify(args);
  if (command == "display") return display(args);
  if (command == "--help" || command == "-h") {
    std::fputs(kUsage, stdout);
    return 0;
  }
  return usage("unknown command " + command);
}

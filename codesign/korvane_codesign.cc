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
// its value even when it starts with a dash. False with `*problem`.
bool parseArguments(const std::vector<std::string>& args, const std::vector<std::string>& allowed,
                    Arguments* parsed, std::string* problem) {
  const auto refuse = [&](std::string text) {
    *problem = std::move(text);
    return false;
  };
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg.rfind("--", 0) == 0) {
      bool known = false;
      for (const std::string& name : allowed) known = known || name == arg;
      if (!known) return refuse("unknown option " + arg);
      if (i + 1 >= args.size()) return refuse(arg + " needs a value");
      if (!parsed->options.emplace(arg, args[++i]).second) return refuse(arg + " given twice");
    } else if (parsed->file.empty() && !arg.empty()) {
      parsed->file = arg;
    } else {
      return refuse("exactly one FILE is expected");
    }
  }
  return !parsed->file.empty() || refuse("no FILE given");
}

void printStatus(const std::string& file, sec::OSStatus status) {
  const std::string message = status == sec::errSecSuccess
                                  ? "valid on disk and satisfies its requirement"
                                  : sec::SecCopyErrorMessageString(status);
  std::printf("%s: %s (status %d)\n", file.c_str(), message.c_str(), static_cast<int>(status));
}

int sign(const std::vector<std::string>& args) {
  Arguments parsed;
  std::string err;
  if (!parseArguments(args, {"--identity", "--identifier"}, &parsed, &err)) return usage(err);
  if (!parsed.options.count("--identity") || !parsed.options.count("--identifier")) {
    return usage("sign needs --identity and --identifier");
  }
  sec::SigningIdentity identity;
  if (!sec::SigningIdentity::load(parsed.options["--identity"], &identity, &err) ||
      !sec::signExecutableFile(parsed.file, parsed.options["--identifier"], identity, &err)) {
    std::fprintf(stderr, "korvane-codesign: %s\n", err.c_str());
    return kExitFailure;
  }
  return 0;
}

int verify(const std::vector<std::string>& args) {
  Arguments parsed;
  std::string err;
  if (!parseArguments(args, {"--anchor", "--requirement"}, &parsed, &err)) return usage(err);
  std::optional<sec::TrustAnchor> anchor =
      parsed.options.count("--anchor") ? sec::TrustAnchor::fromFile(parsed.options["--anchor"])
                                       : sec::TrustAnchor::fromPem(sec::buildTrustAnchorPem());
  if (!anchor) {
    std::fprintf(stderr, "korvane-codesign: cannot read the trust anchor\n");
    return kExitUsage;
  }
  const std::string text = parsed.options.count("--requirement") ? parsed.options["--requirement"]
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
  status = sec::SecStaticCodeCreateWithPath(parsed.file, sec::kSecCSDefaultFlags, &code);
  if (status == sec::errSecSuccess) {
    status =
        sec::SecCodeCheckValidity(code.get(), sec::kSecCSDefaultFlags, requirement.get(), *anchor);
  }
  printStatus(parsed.file, status);
  return status == sec::errSecSuccess ? 0 : kExitFailure;
}

int display(const std::vector<std::string>& args) {
  Arguments parsed;
  std::string err;
  if (!parseArguments(args, {}, &parsed, &err)) return usage(err);
  sec::SecCodeRef code;
  sec::SigningInformation info;
  sec::OSStatus status =
      sec::SecStaticCodeCreateWithPath(parsed.file, sec::kSecCSDefaultFlags, &code);
  if (status == sec::errSecSuccess) {
    status = sec::SecCodeCopySigningInformation(code.get(), sec::kSecCSDefaultFlags, &info);
  }
  if (status != sec::errSecSuccess) {
    printStatus(parsed.file, status);
    return kExitFailure;
  }
  std::printf("Executable=%s\n", parsed.file.c_str());
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

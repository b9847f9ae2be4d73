#include "tools/pfctl/nft.h"

#include <stdlib.h>

#include <optional>

#include "platform/subprocess.h"

namespace pfctl {
std::string nftPath() {
  const char* override = ::getenv("KORVANE_NFT");
  return override != nullptr && *override != '\0' ? override : "/usr/sbin/nft";
}

bool runNftScript(const std::string& nft, std::string_view script, std::string* err) {
  err->clear();
  platform::Child child = platform::Child::spawn(nft, {"-f", "-"},
                                                 {.input = platform::ChildStream::kPipe,
                                                  .output = platform::ChildStream::kInherit,
                                                  .error = platform::ChildStream::kInherit},
                                                 err);
  if (!child.valid()) return false;
  // A write error (nft quit early: EPIPE, SIGPIPE is ignored by main) is not
  // reported: nft's exit status tells what happened to the script.
  child.writeInput(script);
  const std::optional<platform::ExitStatus> status = child.wait();
  if (!status) {
    *err = "cannot wait for " + nft;
    return false;
  }
  if (status->signalled) {
    *err = nft + " ended by signal " + std::to_string(status->code);
    return false;
  }
  return status->code == 0;
}

}  // namespace pfctl

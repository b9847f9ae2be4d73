#include "transport/diagnostics.h"

#include <unistd.h>

#include <cerrno>
#include <string>

namespace transport {

void writeStandardOutputLine(std::string_view text) {
  std::string line(text);
  line.push_back('\n');
  std::string_view rest = line;
  while (!rest.empty()) {
    ssize_t n = ::write(STDOUT_FILENO, rest.data(), rest.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // nowhere to report a failed report
    rest.remove_prefix(static_cast<std::size_t>(n));
  }
}

}  // namespace transport

#include "firewall/text_file.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

#include "common/utf8.h"
#include "platform/atomic_file.h"
#include "platform/unique_fd.h"

namespace firewall {

TextRead readUtf8File(const std::string& path) {
  int raw;
  do {
    raw = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  } while (raw < 0 && errno == EINTR);
  if (raw < 0) return {std::nullopt, platform::fileFailure("read", path, "open", errno)};
  platform::UniqueFd fd(raw);

  std::string bytes;
  char buffer[16384];
  for (;;) {
    ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      return {std::nullopt, platform::fileFailure("read", path, "read", errno)};
    }
    if (n == 0) break;
    bytes.append(buffer, static_cast<std::size_t>(n));
  }
  if (!common::isValidUtf8(bytes)) {
    return {std::nullopt, "Could not read \"" + path + "\": the file is not valid UTF-8 text."};
  }
  return {std::move(bytes), ""};
}

std::optional<std::string> writeUtf8FileAtomically(const std::string& path, std::string_view text) {
  if (!common::isValidUtf8(text)) {
    return "Could not write \"" + path + "\": the text is not valid UTF-8.";
  }
  return platform::replaceFileAtomically(path, text);
}

}  // namespace firewall

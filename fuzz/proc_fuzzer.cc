// Any process name, ")" and line feeds included, comes back whole with every field after it.
#include <cassert>
#include <cstdint>
#include <string>

#include "platform/libproc_procfs.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  platform::ProcStat stat;
  if (platform::parseStat(bytes, &stat)) {
    assert(stat.name.data() > bytes.data() && stat.name.end() < bytes.end());
  }
  std::uint64_t pages = 0;
  platform::parseStatm(bytes, &pages);
  platform::ProcStatus status;
  if (platform::parseStatus(bytes, &status)) assert(status.nameSize <= sizeof status.name);

  const std::string text = "42 (" + std::string(bytes) +
                           ") S 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 19 20 21 22\n";
  assert(platform::parseStat(text, &stat) && stat.name == bytes && stat.state == 'S');
  assert(stat.ppid == 1 && stat.userTicks == 11 && stat.threads == 17 && stat.virtualBytes == 20);
  return 0;
}

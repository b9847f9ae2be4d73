// Replays every file of a seed folder through a fuzz target's entry, so that builds without
// libFuzzer (GCC, Release) check the properties the seeds were written for. The targets assert
// their properties; this program is compiled with asserts on, and fails on an empty folder.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s SEED_FOLDER\n", argv[0]);
    return 2;
  }
  int seeds = 0;
  for (const auto& entry : std::filesystem::directory_iterator(argv[1])) {
    if (!entry.is_regular_file()) continue;
    std::ifstream in(entry.path(), std::ios::binary);
    const std::string bytes{std::istreambuf_iterator<char>(in), {}};
    std::printf("%s (%zu bytes)\n", entry.path().c_str(), bytes.size());
    std::fflush(stdout);  // names the seed that aborts
    LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    ++seeds;
  }
  std::printf("%d seeds replayed\n", seeds);
  return seeds > 0 ? 0 : 1;
}

// Feeds each file of a seed folder once to a fuzz target's entry, built with asserts on, so that
// builds without libFuzzer check the targets' properties too. Fails on an empty folder.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

int main(int argc, char** argv) {
  int seeds = 0;
  for (const auto& entry : std::filesystem::directory_iterator(argc > 1 ? argv[1] : "")) {
    std::ifstream in(entry.path(), std::ios::binary);
    const std::string bytes{std::istreambuf_iterator<char>(in), {}};
    std::fprintf(stderr, "%s\n", entry.path().c_str());  // names the seed an assert ends
    LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    ++seeds;
  }
  return seeds > 0 ? 0 : 1;
}

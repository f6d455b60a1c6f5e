// Replays saved inputs through a libFuzzer harness without libFuzzer: every
// file below each directory given is passed to LLVMFuzzerTestOneInput once.
// Built with the core tests, so the inputs run under the same sanitizers.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

int main(int argc, char** argv) {
  std::vector<std::filesystem::path> inputs;
  for (int index = 1; index < argc; ++index) {
    const std::filesystem::path directory = argv[index];
    if (!std::filesystem::is_directory(directory)) continue;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(directory)) {
      if (entry.is_regular_file()) inputs.push_back(entry.path());
    }
  }
  std::sort(inputs.begin(), inputs.end());
  for (const std::filesystem::path& input : inputs) {
    std::ifstream stream(input, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(stream)), std::istreambuf_iterator<char>());
    std::cout << "replaying " << input.string() << std::endl;
    LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
  }
  std::cout << inputs.size() << " saved inputs replayed" << std::endl;
  return 0;
}

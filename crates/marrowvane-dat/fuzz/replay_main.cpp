// SPDX-License-Identifier: MIT
// Runs a fuzz target once over each input file named on the command line, or over
// every regular file inside a named directory, so the targets replay their corpus
// without a fuzzing engine. Arguments starting with '-' are engine options, ignored.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string_view>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

namespace fs = std::filesystem;

bool replay(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "replay: cannot read %s\n", path.c_str());
    return false;
  }
  const std::vector<char> bytes{std::istreambuf_iterator<char>(in),
                                std::istreambuf_iterator<char>()};
  // An exactly sized heap copy, so the sanitizers see a read one past the input.
  const auto input = std::make_unique<std::uint8_t[]>(bytes.size());
  std::copy(bytes.begin(), bytes.end(), input.get());
  LLVMFuzzerTestOneInput(input.get(), bytes.size());
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<fs::path> inputs;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg.starts_with('-')) continue;
    std::error_code error;
    if (fs::is_directory(arg, error)) {
      std::vector<fs::path> found;
      for (const fs::directory_entry& entry : fs::directory_iterator(arg, error)) {
        if (entry.is_regular_file()) found.push_back(entry.path());
      }
      if (error) {
        std::fprintf(stderr, "replay: cannot list %s: %s\n", argv[i], error.message().c_str());
        return 1;
      }
      std::sort(found.begin(), found.end());
      inputs.insert(inputs.end(), found.begin(), found.end());
    } else if (fs::is_regular_file(arg, error)) {
      inputs.emplace_back(arg);
    } else {
      std::fprintf(stderr, "replay: no such file or directory: %s\n", argv[i]);
      return 1;
    }
  }
  if (inputs.empty()) {
    std::fprintf(stderr, "usage: %s INPUT_FILE_OR_DIR...\n", argc > 0 ? argv[0] : "replay");
    return 1;
  }
  for (const fs::path& path : inputs) {
    std::printf("replay: %s\n", path.c_str());
    std::fflush(stdout);
    if (!replay(path)) return 1;
  }
  std::printf("replay: %zu inputs ran\n", inputs.size());
  return 0;
}

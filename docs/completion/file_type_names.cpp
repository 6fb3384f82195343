// SPDX-License-Identifier: MIT
// Prints every file type name, one per line, for the generated bash completion.
#include <cstdio>
#include <string>

#include "marrowvane_dat/file_type/file_type.hpp"

int main() {
  for (const marrowvane_dat::DatFileType type : marrowvane_dat::ALL_DAT_FILE_TYPES) {
    const std::string name(marrowvane_dat::to_string(type));
    if (std::printf("%s\n", name.c_str()) < 0) {
      return 1;
    }
  }
  return std::fflush(stdout) == 0 ? 0 : 1;
}

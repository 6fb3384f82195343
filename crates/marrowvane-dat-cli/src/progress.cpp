// SPDX-License-Identifier: MIT
// Drawing the progress bar in place with a carriage return and an erase-line code.
#include "progress.hpp"

#include <string>

#include "standard_output.hpp"
#include "table.hpp"

namespace marrowvane_dat::cli {

void Progress::draw() const {
  if (!visible_) {
    return;
  }
  static constexpr std::size_t WIDTH = 30;
  const std::size_t done_now = done();
  const std::size_t filled = total_ == 0 ? WIDTH : done_now * WIDTH / total_;
  std::string line = "\r[";
  line.append(filled, '#').append(WIDTH - filled, ' ').append("] ");
  line.append(decimal(static_cast<std::uint64_t>(done_now)))
      .append("/")
      .append(decimal(static_cast<std::uint64_t>(total_)))
      .append(" files, ")
      .append(human_bytes(bytes()))
      .append("\x1b[K");
  write_stderr(line);
}

void Progress::clear() const {
  if (visible_) {
    write_stderr("\r\x1b[K");
  }
}

}  // namespace marrowvane_dat::cli

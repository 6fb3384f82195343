// SPDX-License-Identifier: MIT
// Paths to and from the tool's UTF-8 text, never through the system's narrow code page.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace marrowvane_dat::cli {

// The path `text` names; `text` is UTF-8, as the command line reaches the commands.
// A path made from a plain string would be decoded in the narrow code page on Windows,
// garbling every character outside it; on POSIX the bytes are kept as they are.
[[nodiscard]] inline std::filesystem::path utf8_path(std::string_view text) {
  return std::filesystem::path(std::u8string(text.begin(), text.end()));
}

// `path` as UTF-8 text, for messages and JSON.
[[nodiscard]] inline std::string path_text(const std::filesystem::path& path) {
  const std::u8string text = path.u8string();
  return std::string(text.begin(), text.end());
}

}  // namespace marrowvane_dat::cli

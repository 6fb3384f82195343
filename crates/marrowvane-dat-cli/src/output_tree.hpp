// SPDX-License-Identifier: MIT
// Writing files under an output directory without ever following a symbolic link
// below it, and without a half-written file ever appearing under its final name.
#pragma once

#include <atomic>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>

#include "marrowvane_dat/archive_source.hpp"
#include "utf8_path.hpp"

namespace marrowvane_dat::cli {

// What to do when the target name is already taken (by anything, a symbolic link
// or a dangling one included).
enum class Existing : std::uint8_t {
  Keep,     // leave it, report WriteOutcome::Exists
  Replace,  // replace the name itself: a link is replaced, never written through
};

enum class WriteOutcome : std::uint8_t {
  Written,
  Exists,  // Existing::Keep and the name was taken; nothing changed
};

// An output directory chosen by the user (which may itself be a symbolic link),
// held open so that everything below it is reached relative to its descriptor.
class OutputTree {
 public:
  // Opens `path` as a directory, creating it and missing parents first. Fails with
  // a one-line reason.
  static std::expected<OutputTree, std::string> open(const std::filesystem::path& path);

  // The subdirectory `name` (a single component), opened without following a link.
  // With `create` a missing one is made first; without it a missing one gives an
  // empty descriptor. A link or non-directory in its place fails with a reason.
  [[nodiscard]] std::expected<UniqueFd, std::string> subdir(std::string_view name,
                                                            bool create) const;

  // path/name, for messages.
  [[nodiscard]] std::filesystem::path shown(std::string_view name) const {
    return path_ / utf8_path(name);
  }

 private:
  OutputTree(std::filesystem::path path, UniqueFd fd)
      : path_(std::move(path)), fd_(std::move(fd)) {}

  std::filesystem::path path_;
  UniqueFd fd_;
};

// True when `name` in directory `dir_fd` is taken by anything (a link is not followed).
[[nodiscard]] bool name_taken(int dir_fd, std::string_view name) noexcept;

// Writes `bytes` as `name` in directory `dir_fd`: to a fresh temporary name in the
// same directory first, then renamed into place, so `name` only ever holds a whole
// file. Stops early when `stop` becomes true. On any failure the temporary file is
// removed and the reason returned, naming the file as `shown`. Thread-safe for
// distinct names.
[[nodiscard]] std::expected<WriteOutcome, std::string> write_file_atomically(
    int dir_fd, std::string_view name, std::span<const std::uint8_t> bytes, Existing existing,
    const std::filesystem::path& shown, const std::atomic<bool>* stop);

}  // namespace marrowvane_dat::cli

// SPDX-License-Identifier: MIT
// Recognising the tool's temporary names (the scan itself is in platform/).
#include "stale_temporaries.hpp"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cstdint>

#include "platform/system.hpp"
#include "table.hpp"

namespace marrowvane_dat::cli {
namespace {

constexpr std::string_view PART = ".part-";

bool all_digits(std::string_view text) noexcept {
  return !text.empty() && std::ranges::all_of(text, [](char c) { return c >= '0' && c <= '9'; });
}

std::atomic<std::uint64_t> temporary_counter{0};

}  // namespace

std::string temporary_name(std::string_view name) {
  std::string temp = ".";
  temp.append(name).append(PART);
  temp.append(decimal(current_process_id())).push_back('-');
  return temp.append(decimal(temporary_counter.fetch_add(1, std::memory_order_relaxed)));
}

std::optional<pid_t> temporary_owner(std::string_view name) noexcept {
  const std::size_t part = name.rfind(PART);
  if (name.size() < 2 || name.front() != '.' || part == std::string_view::npos || part < 2) {
    return std::nullopt;
  }
  const std::string_view tail = name.substr(part + PART.size());
  const std::size_t dash = tail.find('-');
  if (dash == std::string_view::npos || !all_digits(tail.substr(0, dash)) ||
      !all_digits(tail.substr(dash + 1))) {
    return std::nullopt;
  }
  pid_t pid = 0;
  const auto [end, ec] = std::from_chars(tail.data(), tail.data() + dash, pid);
  if (ec != std::errc() || pid <= 0) {
    return std::nullopt;
  }
  return pid;
}

}  // namespace marrowvane_dat::cli

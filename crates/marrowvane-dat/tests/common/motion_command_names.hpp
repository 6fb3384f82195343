// SPDX-License-Identifier: MIT
// The game's motion command ids and names: the constant table, lookup by id, and the
// classification of any id into a MotionCommandClass.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "case_runner.hpp"

namespace common::motion_command_names {

// One row of the table. An id is (prefix byte << 24) | command number; the name is
// ASCII letters and digits.
struct MotionCommandName {
  std::uint32_t id;
  std::string_view name;
};

inline constexpr std::size_t MOTION_COMMAND_COUNT = 409;

// Every known motion command, in strictly ascending id order (unsigned), so lookups can
// binary-search it. Constant data for the whole run; the names are static text.
extern const std::array<MotionCommandName, MOTION_COMMAND_COUNT> MOTION_COMMAND_NAMES;

// The name of the row whose id is exactly `value`, or nothing. The text lives as long
// as the program. Thread-safe, allocates nothing.
[[nodiscard]] std::optional<std::string_view> motion_command_name(std::uint32_t value) noexcept;

// What kind of motion a command id stands for.
enum class MotionCommandClass : std::uint8_t {
  Invalid = 0,
  Stance = 1,
  Locomotion = 2,
  Turn = 3,
  Jump = 4,
  Stop = 5,
  HoldKey = 6,
  Aim = 7,
  MagicGesture = 8,
  Posture = 9,
  StateEmote = 10,
  QuickEmote = 11,
  UiPanel = 12,
  Action = 13,
  AttackHigh = 14,
  AttackMedium = 15,
  AttackLow = 16,
  Misc = 17,
};

// The variant's name, exactly as declared ("UiPanel").
[[nodiscard]] std::string_view to_string(MotionCommandClass value) noexcept;

// The class of any id, known to the table or not: a few fixed ids first, then names
// beginning with "Aim" or (under prefix 0x40) "Magic", then the prefix byte, and under
// prefix 0x10 the swing and height words of the name. Never fails.
[[nodiscard]] MotionCommandClass motion_command_class(std::uint32_t value) noexcept;

namespace tests {

// Aborts the running case, naming the first pair of adjacent rows whose ids are not
// strictly ascending.
void require_strictly_sorted(std::span<const MotionCommandName> rows);

// The table is in strictly ascending id order, pair by pair.
void table_is_strictly_sorted_for_binary_search();
extern const case_runner::CaseEntry table_is_strictly_sorted_for_binary_search_entry;
// Lookups of known ids give their names; an unknown id gives nothing.
void lookup_known_commands();
extern const case_runner::CaseEntry lookup_known_commands_entry;
// Known ids land in their expected classes.
void classify_known_commands();
extern const case_runner::CaseEntry classify_known_commands_entry;

}  // namespace tests

}  // namespace common::motion_command_names

// SPDX-License-Identifier: MIT
// Tests of the motion command table, its lookup, the classification and the three
// check cases over them.
#include <gtest/gtest.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "case_runner.hpp"
#include "common/motion_command_names.hpp"

namespace {

namespace mcn = common::motion_command_names;
using mcn::motion_command_class;
using mcn::motion_command_name;
using mcn::MOTION_COMMAND_NAMES;
using mcn::MotionCommandClass;
using Name = std::optional<std::string_view>;

struct Group {
  std::uint32_t prefix;
  std::size_t count;
  std::size_t first_position;
  std::uint32_t first_id;
  std::string_view first_name;
  std::uint32_t last_id;
  std::string_view last_name;
};

// The contiguous prefix groups of the table, in stored order.
constexpr std::array<Group, 19> GROUPS = {{
    {0x00, 1, 0, 0x00000000, "Invalid", 0x00000000, "Invalid"},
    {0x08, 5, 1, 0x080000A2, "Cancel", 0x080000B7, "SavePosition"},
    {0x09, 83, 6, 0x090000A3, "UseSelected", 0x09000170, "IssueSlashCommand"},
    {0x0C, 1, 89, 0x0C0000C1, "MouseLook", 0x0C0000C1, "MouseLook"},
    {0x0D, 10, 90, 0x0D0000B2, "HighAttack", 0x0D0000C5, "ShiftView"},
    {0x10, 133, 100, 0x1000004A, "Hop", 0x1000019B, "WoahDuplicate2"},
    {0x12, 3, 233, 0x1200009B, "YMCA", 0x120000DF, "Demonet"},
    {0x13, 49, 236, 0x1300004C, "Cheer", 0x13000152, "HaveASeat"},
    {0x20, 1, 285, 0x2000003A, "StopTurning", 0x2000003A, "StopTurning"},
    {0x25, 1, 286, 0x2500003B, "Jump", 0x2500003B, "Jump"},
    {0x40, 54, 287, 0x40000004, "Stop", 0x40000139, "Pickup20"},
    {0x41, 4, 341, 0x41000003, "Ready", 0x41000014, "Sleeping"},
    {0x42, 1, 345, 0x420000F9, "ATOYOT", 0x420000F9, "ATOYOT"},
    {0x43, 36, 346, 0x430000EA, "ShakeFistState", 0x43000149, "AtEaseState"},
    {0x44, 1, 382, 0x44000007, "RunForward", 0x44000007, "RunForward"},
    {0x45, 2, 383, 0x45000005, "WalkForward", 0x45000006, "WalkBackwards"},
    {0x65, 4, 385, 0x6500000D, "TurnRight", 0x65000010, "SideStepLeft"},
    {0x80, 18, 389, 0x8000003C, "HandCombat", 0x8000013C, "ThrownShieldCombat"},
    {0x85, 2, 407, 0x85000001, "HoldRun", 0x85000002, "HoldSidestep"},
}};

TEST(MotionCommandTable, PrefixGroupsHaveTheirBoundaries) {
  std::size_t position = 0;
  for (const Group& group : GROUPS) {
    SCOPED_TRACE(group.first_name);
    ASSERT_EQ(position, group.first_position);
    const std::size_t last = position + group.count - 1;
    ASSERT_LT(last, MOTION_COMMAND_NAMES.size());
    EXPECT_EQ(MOTION_COMMAND_NAMES[position].id, group.first_id);
    EXPECT_EQ(MOTION_COMMAND_NAMES[position].name, group.first_name);
    EXPECT_EQ(MOTION_COMMAND_NAMES[last].id, group.last_id);
    EXPECT_EQ(MOTION_COMMAND_NAMES[last].name, group.last_name);
    for (std::size_t i = position; i <= last; ++i) {
      EXPECT_EQ(MOTION_COMMAND_NAMES[i].id >> 24, group.prefix) << "row " << i;
    }
    position = last + 1;
  }
  EXPECT_EQ(position, 409U);
}

TEST(MotionCommandTable, CommandNumbersCoverTheRangeExceptThreeGaps) {
  std::array<int, 0x19C> seen{};
  for (const mcn::MotionCommandName& row : MOTION_COMMAND_NAMES) {
    const std::uint32_t number = row.id & 0xFFFF;
    ASSERT_LT(number, seen.size()) << row.name;
    ++seen[number];
  }
  for (std::size_t number = 0; number < seen.size(); ++number) {
    const bool gap = number >= 0x115 && number <= 0x117;
    EXPECT_EQ(seen[number], gap ? 0 : 1) << "command number " << number;
  }
}

TEST(MotionCommandLookup, FindsEveryRow) {
  for (const mcn::MotionCommandName& row : MOTION_COMMAND_NAMES) {
    const Name found = motion_command_name(row.id);
    ASSERT_TRUE(found) << row.name;
    EXPECT_EQ(*found, row.name);
    // The caller sees the table's own text, not a copy.
    EXPECT_EQ(found->data(), row.name.data());
  }
}

TEST(MotionCommandLookup, EndsAndJustOutsideThem) {
  EXPECT_EQ(motion_command_name(0x00000000), Name("Invalid"));
  EXPECT_EQ(motion_command_name(0x00000001), Name());
  EXPECT_EQ(motion_command_name(0x85000002), Name("HoldSidestep"));
  EXPECT_EQ(motion_command_name(0x85000003), Name());
  EXPECT_EQ(motion_command_name(0x85000001), Name("HoldRun"));
  EXPECT_EQ(motion_command_name(0x85000000), Name());
  EXPECT_EQ(motion_command_name(0xFFFFFFFF), Name());
  EXPECT_EQ(motion_command_name(0x8000003D), Name("NonCombat"));
}

TEST(MotionCommandLookup, WholeIdMustMatch) {
  // Command number 0x03B exists only under 0x25, 0x001 only under 0x85.
  EXPECT_EQ(motion_command_name(0x2500003B), Name("Jump"));
  EXPECT_EQ(motion_command_name(0x4000003B), Name());
  EXPECT_EQ(motion_command_name(0x0000003B), Name());
  EXPECT_EQ(motion_command_name(0x2501003B), Name());
  EXPECT_EQ(motion_command_name(0x10000186), Name("AttackHigh4"));
  EXPECT_EQ(motion_command_name(0x4000000C), Name("Off"));
  EXPECT_EQ(motion_command_name(0xDEADBEEF), Name());
  for (std::uint32_t prefix : {0x00U, 0x09U, 0x10U, 0x40U, 0x43U, 0x80U}) {
    for (std::uint32_t number = 0x115; number <= 0x117; ++number) {
      EXPECT_EQ(motion_command_name((prefix << 24) | number), Name()) << prefix << " " << number;
    }
  }
}

TEST(MotionCommandClassification, CountsOverTheWholeTable) {
  std::array<std::size_t, 18> counts{};
  for (const mcn::MotionCommandName& row : MOTION_COMMAND_NAMES) {
    ++counts[static_cast<std::size_t>(motion_command_class(row.id))];
  }
  // In declaration order, Invalid to Misc.
  constexpr std::array<std::size_t, 18> EXPECTED = {1, 18, 29, 4, 1,  1,  2,  13, 15,
                                                    4, 36, 49, 0, 67, 22, 22, 22, 103};
  for (std::size_t i = 0; i < counts.size(); ++i) {
    EXPECT_EQ(counts[i], EXPECTED[i]) << mcn::to_string(static_cast<MotionCommandClass>(i));
  }
}

TEST(MotionCommandClassification, RuleOrderTraps) {
  using enum MotionCommandClass;
  EXPECT_EQ(motion_command_class(0x00000000), Invalid);
  EXPECT_EQ(motion_command_class(0x000000FF), Misc);
  EXPECT_EQ(motion_command_class(0x2500003B), Jump);
  EXPECT_EQ(motion_command_class(0x25000001), Misc);
  EXPECT_EQ(motion_command_class(0x2000003A), Stop);
  EXPECT_EQ(motion_command_class(0x20000000), Stop);
  // Named "Stop", but under 0x40 it is a movement.
  EXPECT_EQ(motion_command_class(0x40000004), Locomotion);
  EXPECT_EQ(motion_command_class(0x4000001E), Aim);
  EXPECT_EQ(motion_command_class(0x4000002A), Aim);
  EXPECT_EQ(motion_command_class(0x4000002B), MagicGesture);
  EXPECT_EQ(motion_command_class(0x40000039), MagicGesture);
  // "Magic" counts as a gesture only under 0x40.
  EXPECT_EQ(motion_command_class(0x80000049), Stance);
  EXPECT_EQ(motion_command_class(0x1000006F), Action);
  // "UseMagicStaff" contains but does not begin with "Magic".
  EXPECT_EQ(motion_command_class(0x400000E0), Locomotion);
  // Height and swing words count only under 0x10.
  EXPECT_EQ(motion_command_class(0x0D0000B2), Misc);
  EXPECT_EQ(motion_command_class(0x10000186), AttackHigh);
  EXPECT_EQ(motion_command_class(0x10000187), AttackMedium);
  EXPECT_EQ(motion_command_class(0x10000188), AttackLow);
  EXPECT_EQ(motion_command_class(0x1000011F), AttackLow);
  EXPECT_EQ(motion_command_class(0x10000121), AttackHigh);
  EXPECT_EQ(motion_command_class(0x1000019A), AttackLow);  // OffhandPunchSlowLow
  EXPECT_EQ(motion_command_class(0x10000185), Action);     // OffhandKick
  EXPECT_EQ(motion_command_class(0x1000005E), Action);     // BackhandHigh
  EXPECT_EQ(motion_command_class(0x1000006E), Action);     // SpinAttack
  EXPECT_EQ(motion_command_class(0x090000DE), Misc);       // InventoryPanel
  EXPECT_EQ(motion_command_class(0x420000F9), Misc);
  EXPECT_EQ(motion_command_class(0x8000003D), Stance);
  EXPECT_EQ(motion_command_class(0x44000007), Locomotion);
  EXPECT_EQ(motion_command_class(0x45000006), Locomotion);
  EXPECT_EQ(motion_command_class(0x65000010), Turn);
  EXPECT_EQ(motion_command_class(0xDEADBEEF), Misc);
}

TEST(MotionCommandClassification, IdsWithoutARowFollowTheirPrefixByte) {
  using enum MotionCommandClass;
  EXPECT_EQ(motion_command_class(0x80000000), Stance);
  EXPECT_EQ(motion_command_class(0x85000000), HoldKey);
  EXPECT_EQ(motion_command_class(0x90000000), UiPanel);
  EXPECT_EQ(motion_command_class(0x10000001), Action);
  EXPECT_EQ(motion_command_class(0x13000001), QuickEmote);
  EXPECT_EQ(motion_command_class(0x40000001), Locomotion);
  EXPECT_EQ(motion_command_class(0x41000001), Posture);
  EXPECT_EQ(motion_command_class(0x43000001), StateEmote);
  EXPECT_EQ(motion_command_class(0x44000001), Locomotion);
  EXPECT_EQ(motion_command_class(0x45000001), Locomotion);
  EXPECT_EQ(motion_command_class(0x65000001), Turn);
  EXPECT_EQ(motion_command_class(0x09000001), Misc);
  EXPECT_EQ(motion_command_class(0x20FFFFFF), Stop);
}

TEST(MotionCommandClassification, DisplayTextIsTheVariantName) {
  constexpr std::array<std::string_view, 18> NAMES = {
      "Invalid", "Stance", "Locomotion",   "Turn",         "Jump",       "Stop",
      "HoldKey", "Aim",    "MagicGesture", "Posture",      "StateEmote", "QuickEmote",
      "UiPanel", "Action", "AttackHigh",   "AttackMedium", "AttackLow",  "Misc"};
  for (std::size_t i = 0; i < NAMES.size(); ++i) {
    EXPECT_EQ(mcn::to_string(static_cast<MotionCommandClass>(i)), NAMES[i]);
  }
  try {
    case_runner::assert_eq(MotionCommandClass::Misc, MotionCommandClass::Locomotion);
    FAIL() << "unequal classes passed";
  } catch (const case_runner::CheckFailure& failure) {
    EXPECT_EQ(failure.message(),
              "assertion `left == right` failed\n  left: Misc\n right: Locomotion");
  }
}

TEST(MotionCommandCases, PassWithTheTable) {
  EXPECT_NO_THROW(mcn::tests::table_is_strictly_sorted_for_binary_search());
  EXPECT_NO_THROW(mcn::tests::lookup_known_commands());
  EXPECT_NO_THROW(mcn::tests::classify_known_commands());
}

std::string ordering_failure(std::span<const mcn::MotionCommandName> rows) {
  try {
    mcn::tests::require_strictly_sorted(rows);
  } catch (const case_runner::CheckFailure& failure) {
    return failure.message();
  }
  return "<sorted>";
}

TEST(MotionCommandCases, OrderingFailureNamesTheFirstBadPair) {
  const std::array<mcn::MotionCommandName, 4> equal = {
      {{0x00000000, "Invalid"}, {0x40000004, "Stop"}, {0x40000004, "Again"}, {0x00000001, "Low"}}};
  EXPECT_EQ(ordering_failure(equal),
            "table not strictly sorted: 0x40000004 (Stop) >= 0x40000004 (Again)");

  const std::array<mcn::MotionCommandName, 3> descending = {
      {{0x0000ABCD, "Small"}, {0x85000002, "HoldSidestep"}, {0x8000003D, "NonCombat"}}};
  EXPECT_EQ(ordering_failure(descending),
            "table not strictly sorted: 0x85000002 (HoldSidestep) >= 0x8000003D (NonCombat)");

  const std::array<mcn::MotionCommandName, 1> one = {{{0xFFFFFFFF, "Only"}}};
  EXPECT_EQ(ordering_failure(one), "<sorted>");
  EXPECT_EQ(ordering_failure({}), "<sorted>");
}

}  // namespace

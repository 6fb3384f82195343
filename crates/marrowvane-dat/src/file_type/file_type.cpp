// SPDX-License-Identifier: MIT
// Names of the file types and the classification of file ids by archive kind.
#include "marrowvane_dat/file_type/file_type.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace marrowvane_dat {
namespace {

// The id that names the archive's iteration record, in archives of every kind.
constexpr std::uint32_t ITERATION_ID = 0xFFFF0001;
// Cell archives key landblocks and their info by these low 16 bits.
constexpr std::uint16_t LANDBLOCK_SUFFIX = 0xFFFF;
constexpr std::uint16_t LANDBLOCK_INFO_SUFFIX = 0xFFFE;

struct NamedType {
  DatFileType type;
  std::string_view name;
};

// In the declaration order of ALL_DAT_FILE_TYPES, which the check below enforces.
constexpr std::array<NamedType, 48> NAMES = {{
    {DatFileType::Model, "Model"},
    {DatFileType::SetupModel, "SetupModel"},
    {DatFileType::Animation, "Animation"},
    {DatFileType::Palette, "Palette"},
    {DatFileType::SurfaceTexture, "SurfaceTexture"},
    {DatFileType::Texture, "Texture"},
    {DatFileType::Surface, "Surface"},
    {DatFileType::MotionTable, "MotionTable"},
    {DatFileType::Audio, "Audio"},
    {DatFileType::EnvCell, "EnvCell"},
    {DatFileType::Table, "Table"},
    {DatFileType::PaletteSet, "PaletteSet"},
    {DatFileType::Clothing, "Clothing"},
    {DatFileType::DegradeInfo, "DegradeInfo"},
    {DatFileType::Scene, "Scene"},
    {DatFileType::Region, "Region"},
    {DatFileType::Keymap, "Keymap"},
    {DatFileType::RenderTexture, "RenderTexture"},
    {DatFileType::RenderMaterial, "RenderMaterial"},
    {DatFileType::MaterialModifier, "MaterialModifier"},
    {DatFileType::MaterialInstance, "MaterialInstance"},
    {DatFileType::RenderMesh, "RenderMesh"},
    {DatFileType::SoundTable, "SoundTable"},
    {DatFileType::Layout, "Layout"},
    {DatFileType::EnumMapper, "EnumMapper"},
    {DatFileType::StringTable, "StringTable"},
    {DatFileType::StringTableString, "StringTableString"},
    {DatFileType::DataIDMapper, "DataIDMapper"},
    {DatFileType::ActionMap, "ActionMap"},
    {DatFileType::DualDataIDMapper, "DualDataIDMapper"},
    {DatFileType::CombatManeuverTable, "CombatManeuverTable"},
    {DatFileType::LanguageString, "LanguageString"},
    {DatFileType::ParticleEmitter, "ParticleEmitter"},
    {DatFileType::PhysicsScript, "PhysicsScript"},
    {DatFileType::PhysicsScriptTable, "PhysicsScriptTable"},
    {DatFileType::MutateFilter, "MutateFilter"},
    {DatFileType::MasterProperty, "MasterProperty"},
    {DatFileType::Font, "Font"},
    {DatFileType::StringState, "StringState"},
    {DatFileType::BSPNodeType, "BSPNodeType"},
    {DatFileType::DatabaseProperties, "DatabaseProperties"},
    {DatFileType::Custom, "Custom"},
    {DatFileType::MotionKinematics, "MotionKinematics"},
    {DatFileType::Landblock, "Landblock"},
    {DatFileType::LandblockInfo, "LandblockInfo"},
    {DatFileType::IndoorCell, "IndoorCell"},
    {DatFileType::Iteration, "Iteration"},
    {DatFileType::Unknown, "Unknown"},
}};

constexpr bool is_member(std::uint32_t value) noexcept {
  for (DatFileType type : ALL_DAT_FILE_TYPES) {
    if (static_cast<std::uint32_t>(type) == value) {
      return true;
    }
  }
  return false;
}

constexpr bool names_match_members() noexcept {
  if (NAMES.size() != ALL_DAT_FILE_TYPES.size()) {
    return false;
  }
  for (std::size_t i = 0; i < NAMES.size(); ++i) {
    if (NAMES[i].type != ALL_DAT_FILE_TYPES[i] || NAMES[i].name.empty()) {
      return false;
    }
    for (std::size_t j = i + 1; j < NAMES.size(); ++j) {
      if (NAMES[i].type == NAMES[j].type || NAMES[i].name == NAMES[j].name) {
        return false;
      }
    }
  }
  return true;
}
static_assert(names_match_members(),
              "every member listed once, in order, with a name of its own and a distinct value");

// Top bytes that portal-like archives use as the type's own value. 7 is missing on
// purpose: it has no member and is classified as Texture instead.
constexpr bool is_typed_prefix(std::uint8_t prefix) noexcept {
  return (prefix >= 1 && prefix <= 6) || (prefix >= 8 && prefix <= 10) ||
         (prefix >= 13 && prefix <= 25) || (prefix >= 32 && prefix <= 39) ||
         (prefix >= 48 && prefix <= 52) || prefix == 56 || prefix == 57 ||
         (prefix >= 64 && prefix <= 66) || prefix == 120;
}

constexpr bool typed_prefixes_are_members() noexcept {
  for (unsigned prefix = 0; prefix <= 0xFF; ++prefix) {
    if (is_typed_prefix(static_cast<std::uint8_t>(prefix)) && !is_member(prefix)) {
      return false;
    }
  }
  return true;
}
static_assert(typed_prefixes_are_members(), "every typed top byte must be a DatFileType value");

// The top-byte table shared by portal-like archives and kindless classification. The
// cell types (0xFD to 0xFF) are never produced here even though their values fit a byte.
constexpr DatFileType classify_portal_prefix(std::uint8_t prefix) noexcept {
  if (prefix == 7) {
    return DatFileType::Texture;
  }
  if (is_typed_prefix(prefix)) {
    return static_cast<DatFileType>(prefix);
  }
  return DatFileType::Unknown;
}

constexpr std::uint8_t prefix_of(std::uint32_t id) noexcept {
  return static_cast<std::uint8_t>(id >> 24U);
}

constexpr std::uint16_t suffix_of(std::uint32_t id) noexcept {
  return static_cast<std::uint16_t>(id & 0xFFFFU);
}

constexpr DatFileType classify_cell_suffix(std::uint16_t suffix) noexcept {
  switch (suffix) {
    case LANDBLOCK_SUFFIX:
      return DatFileType::Landblock;
    case LANDBLOCK_INFO_SUFFIX:
      return DatFileType::LandblockInfo;
    case 0:
      return DatFileType::Unknown;
    default:
      return DatFileType::IndoorCell;
  }
}

}  // namespace

std::string_view to_string(DatFileType type) noexcept {
  for (const NamedType& named : NAMES) {
    if (named.type == type) {
      return named.name;
    }
  }
  // A value cast from an integer that names no member.
  return {};
}

std::optional<DatFileType> from_string(std::string_view text) noexcept {
  const auto lower = [](char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
  };
  for (const NamedType& named : NAMES) {
    if (std::ranges::equal(named.name, text, {}, lower, lower)) {
      return named.type;
    }
  }
  return std::nullopt;
}

DatTypedEntryRange entries_of_type(const DatDatabase& db, DatFileType type) noexcept {
  const DatKind kind = db.dat_kind();
  DatEntryRange candidates = db.entries();
  if (kind == DatKind::Portal || kind == DatKind::Local) {
    const auto value = static_cast<std::uint32_t>(type);
    if (type == DatFileType::Iteration) {
      candidates = db.entries_in_range(ITERATION_ID, ITERATION_ID);
    } else if (type == DatFileType::Texture) {
      // Top bytes 6 and 7 are both textures.
      candidates = db.entries_in_range(0x06000000, 0x07FFFFFF);
    } else if (value <= 0xFF && is_typed_prefix(static_cast<std::uint8_t>(value))) {
      candidates = db.entries_in_range(value << 24U, (value << 24U) | 0x00FFFFFFU);
    }
  }
  return DatTypedEntryRange(candidates, type, kind);
}

DatFileType from_id_in_dat(std::uint32_t id, DatKind kind) noexcept {
  if (id == ITERATION_ID) {
    return DatFileType::Iteration;
  }
  switch (kind) {
    case DatKind::Portal:
    case DatKind::Local:
      return classify_portal_prefix(prefix_of(id));
    case DatKind::Cell:
      return classify_cell_suffix(suffix_of(id));
    case DatKind::Unknown:
      break;
  }
  // Unknown, and any value cast from a byte that names no kind.
  return from_id(id);
}

DatFileType from_id(std::uint32_t id) noexcept {
  if (id == ITERATION_ID) {
    return DatFileType::Iteration;
  }
  const std::uint16_t suffix = suffix_of(id);
  // Without a kind the landblock suffixes outrank the top byte, and any other non-zero
  // suffix counts only when the top byte names no type.
  if (suffix == LANDBLOCK_SUFFIX || suffix == LANDBLOCK_INFO_SUFFIX) {
    return classify_cell_suffix(suffix);
  }
  if (const DatFileType portal_guess = classify_portal_prefix(prefix_of(id));
      portal_guess != DatFileType::Unknown) {
    return portal_guess;
  }
  return classify_cell_suffix(suffix);
}

}  // namespace marrowvane_dat

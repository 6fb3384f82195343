// SPDX-License-Identifier: MIT
// File types and the classification of file ids into them, per archive kind.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <optional>
#include <string_view>

#include "marrowvane_dat/dat_database.hpp"
#include "marrowvane_dat/export.hpp"

namespace marrowvane_dat {

/// The type of a stored file, as told by its id. A member whose value fits a byte is the
/// top byte of its ids in portal and local archives, unless noted otherwise.
enum class DatFileType : std::uint32_t {
  Model = 0x01,
  SetupModel = 0x02,
  Animation = 0x03,
  Palette = 0x04,
  SurfaceTexture = 0x05,
  Texture = 0x06,  ///< Top byte 6 or 7; 7 has no member of its own.
  Surface = 0x08,
  MotionTable = 0x09,
  Audio = 0x0A,
  EnvCell = 0x0D,
  Table = 0x0E,
  PaletteSet = 0x0F,
  Clothing = 0x10,
  DegradeInfo = 0x11,
  Scene = 0x12,
  Region = 0x13,
  Keymap = 0x14,
  RenderTexture = 0x15,
  RenderMaterial = 0x16,
  MaterialModifier = 0x17,
  MaterialInstance = 0x18,
  RenderMesh = 0x19,
  SoundTable = 0x20,
  Layout = 0x21,
  EnumMapper = 0x22,
  StringTable = 0x23,
  StringTableString = 0x24,
  DataIDMapper = 0x25,
  ActionMap = 0x26,
  DualDataIDMapper = 0x27,
  CombatManeuverTable = 0x30,
  LanguageString = 0x31,
  ParticleEmitter = 0x32,
  PhysicsScript = 0x33,
  PhysicsScriptTable = 0x34,
  MutateFilter = 0x38,
  MasterProperty = 0x39,
  Font = 0x40,
  StringState = 0x41,
  BSPNodeType = 0x42,
  DatabaseProperties = 0x78,
  Custom = 0xFFFFFF00,            ///< Never the result of classifying an id.
  MotionKinematics = 0xFFFFFF01,  ///< Never the result of classifying an id.
  Landblock = 0xFE,               ///< Cell archives: low 16 bits 0xFFFF.
  LandblockInfo = 0xFF,           ///< Cell archives: low 16 bits 0xFFFE.
  IndoorCell = 0xFD,              ///< Cell archives: any other non-zero low 16 bits.
  Iteration = 0xFE01,             ///< Id 0xFFFF0001, in archives of every kind.
  Unknown = 0,                    ///< No type matches the id.
};

/// Every member, in declaration order.
inline constexpr std::array<DatFileType, 48> ALL_DAT_FILE_TYPES = {
    DatFileType::Model,
    DatFileType::SetupModel,
    DatFileType::Animation,
    DatFileType::Palette,
    DatFileType::SurfaceTexture,
    DatFileType::Texture,
    DatFileType::Surface,
    DatFileType::MotionTable,
    DatFileType::Audio,
    DatFileType::EnvCell,
    DatFileType::Table,
    DatFileType::PaletteSet,
    DatFileType::Clothing,
    DatFileType::DegradeInfo,
    DatFileType::Scene,
    DatFileType::Region,
    DatFileType::Keymap,
    DatFileType::RenderTexture,
    DatFileType::RenderMaterial,
    DatFileType::MaterialModifier,
    DatFileType::MaterialInstance,
    DatFileType::RenderMesh,
    DatFileType::SoundTable,
    DatFileType::Layout,
    DatFileType::EnumMapper,
    DatFileType::StringTable,
    DatFileType::StringTableString,
    DatFileType::DataIDMapper,
    DatFileType::ActionMap,
    DatFileType::DualDataIDMapper,
    DatFileType::CombatManeuverTable,
    DatFileType::LanguageString,
    DatFileType::ParticleEmitter,
    DatFileType::PhysicsScript,
    DatFileType::PhysicsScriptTable,
    DatFileType::MutateFilter,
    DatFileType::MasterProperty,
    DatFileType::Font,
    DatFileType::StringState,
    DatFileType::BSPNodeType,
    DatFileType::DatabaseProperties,
    DatFileType::Custom,
    DatFileType::MotionKinematics,
    DatFileType::Landblock,
    DatFileType::LandblockInfo,
    DatFileType::IndoorCell,
    DatFileType::Iteration,
    DatFileType::Unknown,
};

/// The member's name exactly as declared ("Font", "DataIDMapper", "BSPNodeType").
[[nodiscard]] MARROWVANE_DAT_EXPORT std::string_view to_string(DatFileType type) noexcept;

/// The type of `id` in an archive of kind `kind`: by the top byte in Portal and Local
/// archives, by the low 16 bits in Cell archives, as from_id() for Unknown; 0xFFFF0001
/// is Iteration everywhere.
[[nodiscard]] MARROWVANE_DAT_EXPORT DatFileType from_id_in_dat(std::uint32_t id,
                                                               DatKind kind) noexcept;

/// The type of `id` when no archive kind is known: the cell suffixes 0xFFFF and 0xFFFE
/// first, then the top byte, then any other non-zero low 16 bits as IndoorCell.
[[nodiscard]] MARROWVANE_DAT_EXPORT DatFileType from_id(std::uint32_t id) noexcept;

/// The type named `text`, ignoring ASCII letter case ("font" and "FONT" are Font);
/// nothing when no type has that name. Inverse of to_string for every type.
[[nodiscard]] MARROWVANE_DAT_EXPORT std::optional<DatFileType> from_string(
    std::string_view text) noexcept;

/// The entries of one file type, in id order: a view into a database's directory that
/// skips the entries of other types. Valid as long as the database lives.
class DatTypedEntryRange {
 public:
  /// Iterates the matching entries.
  class iterator {
   public:
    /// Standard iterator traits; elements are read-only entries.
    ///@{
    using iterator_category = std::forward_iterator_tag;
    using value_type = DatFileEntry;
    using difference_type = std::ptrdiff_t;
    using pointer = const DatFileEntry*;
    using reference = const DatFileEntry&;
    ///@}

    /// A singular iterator, valid only to assign to or compare with another singular one.
    iterator() noexcept = default;
    /// The first entry in [at, end) whose id classifies as `type` in `kind`, or `end`.
    iterator(DatEntryRange::iterator at, DatEntryRange::iterator end, DatFileType type,
             DatKind kind) noexcept
        : at_(at), end_(end), type_(type), kind_(kind) {
      skip_others();
    }

    /// Forward iterator operations; incrementing skips entries of other types.
    ///@{
    reference operator*() const noexcept { return *at_; }
    pointer operator->() const noexcept { return &*at_; }
    iterator& operator++() noexcept {
      ++at_;
      skip_others();
      return *this;
    }
    iterator operator++(int) noexcept {
      iterator before = *this;
      ++*this;
      return before;
    }
    friend bool operator==(const iterator& a, const iterator& b) noexcept { return a.at_ == b.at_; }
    ///@}

   private:
    void skip_others() noexcept {
      while (at_ != end_ && from_id_in_dat(at_->id, kind_) != type_) {
        ++at_;
      }
    }

    DatEntryRange::iterator at_;
    DatEntryRange::iterator end_;
    DatFileType type_ = DatFileType::Unknown;
    DatKind kind_ = DatKind::Unknown;
  };

  /// The entries of `candidates` (in id order) whose ids classify as `type` in `kind`.
  DatTypedEntryRange(DatEntryRange candidates, DatFileType type, DatKind kind) noexcept
      : candidates_(candidates), type_(type), kind_(kind) {}

  /// Standard range access; begin() skips to the first match, so it costs a scan.
  ///@{
  [[nodiscard]] iterator begin() const noexcept {
    return iterator(candidates_.begin(), candidates_.end(), type_, kind_);
  }
  [[nodiscard]] iterator end() const noexcept {
    return iterator(candidates_.end(), candidates_.end(), type_, kind_);
  }
  ///@}
  /// True when no entry has the type.
  [[nodiscard]] bool empty() const noexcept { return begin() == end(); }

 private:
  DatEntryRange candidates_;
  DatFileType type_;
  DatKind kind_;
};

/// The entries of `db` whose ids classify as `type` in the archive's own kind, in id
/// order. In portal-like archives a type is a range of top bytes, so only that range of
/// the directory is looked at; in the other kinds every entry is.
[[nodiscard]] MARROWVANE_DAT_EXPORT DatTypedEntryRange entries_of_type(const DatDatabase& db,
                                                                       DatFileType type) noexcept;

}  // namespace marrowvane_dat

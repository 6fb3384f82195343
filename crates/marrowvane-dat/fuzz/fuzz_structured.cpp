// SPDX-License-Identifier: MIT
// Fuzzes deep into block chains and the directory: the input chooses a valid archive
// for the test kit to write (block size, files, layouts, compression, fonts), then the
// damage done to it (links, sizes, the header's block size, directory slots and entry
// counts). Besides the checks every archive gets, files no damage touched read back
// exactly as they were written.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <set>
#include <span>
#include <utility>
#include <vector>

#include "archive_checks.hpp"
#include "marrowvane_dat/binary_reader.hpp"
#include "marrowvane_dat/dat_database.hpp"
#include "marrowvane_dat/file_type/font.hpp"
#include "marrowvane_dat_testkit/archive_builder.hpp"
#include "marrowvane_dat_testkit/font_writer.hpp"
#include "marrowvane_dat_testkit/rng.hpp"

namespace {

using marrowvane_dat::Cursor;
using marrowvane_dat::DatDirectoryNode;
using marrowvane_dat::DatFileEntry;
using marrowvane_dat::DatHeader;
using marrowvane_dat::Font;
using marrowvane_dat::fuzz::check;
using marrowvane_dat::testkit::ArchiveBuilder;
using marrowvane_dat::testkit::ChainLayout;
using marrowvane_dat::testkit::FileSpec;
using marrowvane_dat::testkit::Rng;
using Bytes = std::vector<std::uint8_t>;

// Inputs past this only slow the fuzzer down: the choices take a few hundred bytes.
constexpr std::size_t INPUT_CAP = std::size_t{1} << 16;
// Images stay below this, so one run costs milliseconds whatever the block size.
constexpr std::uint64_t IMAGE_BUDGET = std::uint64_t{128} << 10;
// Every compressed file costs the compressor's setup; a few are enough.
constexpr unsigned MAX_COMPRESSED = 3;

// Block sizes either side of the windowed-read threshold (64), the two real ones, and
// the smallest that leave room for data.
constexpr std::array<std::uint32_t, 15> BLOCK_SIZES = {5,  6,  7,  8,   12,  16,  24,  32,
                                                       63, 64, 65, 100, 256, 512, 1024};

constexpr std::uint64_t HEADER_BLOCK_SIZE_AT = DatHeader::OFFSET + 4;
constexpr std::uint64_t HEADER_ROOT_AT = DatHeader::OFFSET + 8 * 4;
constexpr std::uint32_t COUNT_AT = DatDirectoryNode::BRANCH_COUNT * 4;
constexpr std::uint32_t ENTRIES_AT = COUNT_AT + 4;

// Reads the fuzzer's choices from its bytes; once they run out every choice is 0.
class Choices {
 public:
  explicit Choices(std::span<const std::uint8_t> data) noexcept : data_(data) {}

  std::uint8_t byte() noexcept { return position_ < data_.size() ? data_[position_++] : 0; }
  // A value in [0, bound) from as many bytes as the bound needs; 0 when bound is 0.
  std::uint32_t below(std::uint64_t bound) noexcept {
    if (bound == 0) return 0;
    std::uint64_t value = 0;
    for (std::uint64_t range = 1; range < bound; range <<= 8) {
      value = value << 8 | byte();
    }
    return static_cast<std::uint32_t>(value % bound);
  }
  std::uint32_t any_u32() noexcept { return below(std::uint64_t{1} << 32); }
  bool flag() noexcept { return (byte() & 1) != 0; }
  // One of `values`.
  template <class T, std::size_t N>
  T pick(const std::array<T, N>& values) noexcept {
    return values[below(N)];
  }

 private:
  std::span<const std::uint8_t> data_;
  std::size_t position_ = 0;
};

std::uint32_t u32_at(const Bytes& image, std::uint64_t at) noexcept {
  if (at > image.size() || image.size() - at < 4) {
    return 0;
  }
  return marrowvane_dat::load_le<std::uint32_t>(
      std::span<const std::uint8_t, 4>(image.data() + at, 4));
}

void put_u32(Bytes& image, std::uint64_t at, std::uint32_t value) noexcept {
  for (unsigned i = 0; i < 4; ++i) {
    if (at + i < image.size()) {
      image[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
  }
}

// The blocks of an intact chain, first to last.
std::vector<std::uint32_t> chain_blocks(const Bytes& image, std::uint32_t block_size,
                                        std::uint32_t first) {
  std::vector<std::uint32_t> blocks;
  for (std::uint32_t at = first; at != 0 && blocks.size() <= image.size() / block_size;
       at = u32_at(image, at)) {
    blocks.push_back(at);
  }
  return blocks;
}

// A chain holding a record, addressed by the record's own byte positions: with small
// blocks one field may straddle two blocks.
struct RecordChain {
  std::vector<std::uint32_t> blocks;
  std::uint32_t payload = 0;

  [[nodiscard]] std::uint64_t where(std::uint32_t position) const noexcept {
    const std::size_t block = position / payload;
    return block < blocks.size() ? blocks[block] + 4 + position % payload : ~std::uint64_t{0};
  }
  [[nodiscard]] std::uint32_t u32(const Bytes& image, std::uint32_t position) const noexcept {
    std::uint32_t value = 0;
    for (unsigned i = 4; i-- > 0;) {
      const std::uint64_t at = where(position + i);
      value = value << 8 | (at < image.size() ? image[at] : 0U);
    }
    return value;
  }
  void put(Bytes& image, std::uint32_t position, std::uint32_t value) const noexcept {
    for (unsigned i = 0; i < 4; ++i) {
      if (const std::uint64_t at = where(position + i); at < image.size()) {
        image[at] = static_cast<std::uint8_t>(value >> (8 * i));
      }
    }
  }
};

struct Node {
  std::uint32_t offset = 0;
  RecordChain chain;
  std::uint32_t entry_count = 0;
};

// The nodes of an intact directory, root first.
std::vector<Node> directory_nodes(const Bytes& image, std::uint32_t block_size,
                                  std::uint32_t root) {
  std::vector<Node> nodes;
  std::vector<std::uint32_t> pending;
  if (root != 0) {
    pending.push_back(root);
  }
  while (!pending.empty()) {
    Node node;
    node.offset = pending.back();
    pending.pop_back();
    node.chain = {chain_blocks(image, block_size, node.offset), block_size - 4};
    node.entry_count = node.chain.u32(image, COUNT_AT);
    if (node.chain.u32(image, 0) != 0) {
      for (std::uint32_t slot = 0; slot <= node.entry_count; ++slot) {
        pending.push_back(node.chain.u32(image, slot * 4));
      }
    }
    nodes.push_back(std::move(node));
  }
  return nodes;
}

Bytes content_of_kind(Rng& rng, std::uint32_t kind, std::size_t size) {
  Bytes out(size);
  switch (kind) {
    case 0:
      for (auto& byte : out) byte = rng.byte();
      break;
    case 1: {
      // A short random period with the odd stray byte: compresses, but not to nothing.
      Bytes period(1 + rng.below(16));
      for (auto& byte : period) byte = rng.byte();
      for (std::size_t i = 0; i < size; ++i) {
        out[i] = rng.below(32) == 0 ? rng.byte() : period[i % period.size()];
      }
      break;
    }
    default:
      std::fill(out.begin(), out.end(), rng.byte());
      break;
  }
  return out;
}

struct Plan {
  std::uint32_t block_size = 0;
  std::vector<FileSpec> files;
  std::vector<ChainLayout> layouts;
  // The font each font file holds, by index into files.
  std::vector<std::optional<Font>> fonts;
  ChainLayout directory_layout = ChainLayout::Contiguous;
};

std::uint64_t blocks_for(std::uint64_t bytes, std::uint32_t block_size) {
  return std::max<std::uint64_t>(1, (bytes + block_size - 5) / (block_size - 4));
}

Plan plan_archive(Choices& choices) {
  Plan plan;
  const std::uint32_t which = choices.below(BLOCK_SIZES.size() + 1);
  plan.block_size = which < BLOCK_SIZES.size() ? BLOCK_SIZES[which] : 5 + choices.below(124);
  const std::uint32_t block_size = plan.block_size;
  Rng rng(choices.any_u32());

  std::uint32_t count = 0;
  switch (choices.below(4)) {
    case 0:
      count = choices.below(4);
      break;
    case 1:
      count = choices.below(20);
      break;
    case 2:
      count = choices.below(62);
      break;
    default:
      // More than one node holds: the tree gets inner nodes.
      count = 62 + choices.below(120);
      break;
  }
  // Room for the nodes first (scattered nodes take twice their blocks), then the files.
  const std::uint64_t node_bytes = 2 * blocks_for(DatDirectoryNode::SIZE, block_size) * block_size;
  while (count > 0 && (count / 30 + 1) * node_bytes > IMAGE_BUDGET / 2) {
    count /= 2;
  }
  std::uint64_t budget = IMAGE_BUDGET - (count / 30 + 1) * node_bytes;

  constexpr std::array<std::uint32_t, 4> ID_BASES = {0x01000000, 0x06000000, 0x40000000,
                                                     0xFFFFFF00};
  constexpr std::array<std::uint32_t, 3> ID_STEPS = {1, 16, 65536};
  std::uint64_t id = choices.pick(ID_BASES);
  const std::uint32_t step = choices.pick(ID_STEPS);
  unsigned compressed = 0;
  for (std::uint32_t i = 0; i < count && id <= 0xFFFFFFFFU; ++i, id += 1 + choices.below(step)) {
    FileSpec file;
    file.id = static_cast<std::uint32_t>(id);
    file.timestamp = rng.below(0xFFFFFFFFU);
    file.version = choices.below(4);
    const std::uint32_t kind = choices.below(4);
    std::optional<Font> font;
    std::uint64_t size = 0;
    switch (choices.below(6)) {
      case 0:
        break;
      case 1:
        size = 1 + choices.below(4);
        break;
      case 2: {
        // Around a whole number of payloads, where a chain's last block is full.
        const std::uint64_t payloads = (1 + choices.below(4)) * (block_size - 4);
        size = payloads + choices.below(3) - 1;
        break;
      }
      case 3:
        size = choices.below(256);
        break;
      case 4:
        size = choices.below(2048);
        break;
      default:
        size = choices.below(16384);
        break;
    }
    if (kind == 3) {
      font = marrowvane_dat::testkit::make_font(file.id, choices.below(64));
      file.content = marrowvane_dat::testkit::encode_font(*font);
    }
    file.compressed = compressed < MAX_COMPRESSED && choices.flag();
    compressed += file.compressed ? 1 : 0;
    const ChainLayout layout = choices.flag() ? ChainLayout::Scattered : ChainLayout::Contiguous;
    // What the chain can take at most: compression adds a control byte per 8 literals.
    const auto image_bytes = [&](std::uint64_t content) {
      const std::uint64_t stored = file.compressed ? 4 + content + (content + 7) / 8 : content;
      return blocks_for(stored, block_size) * block_size *
             (layout == ChainLayout::Scattered ? 2 : 1);
    };
    if (font) {
      if (image_bytes(file.content.size()) > budget) break;
    } else {
      while (size > 0 && image_bytes(size) > budget) size /= 2;
      if (image_bytes(size) > budget) break;
      file.content = content_of_kind(rng, kind, static_cast<std::size_t>(size));
    }
    budget -= image_bytes(file.content.size());
    plan.files.push_back(std::move(file));
    plan.layouts.push_back(layout);
    plan.fonts.push_back(std::move(font));
  }
  plan.directory_layout = choices.flag() ? ChainLayout::Scattered : ChainLayout::Contiguous;
  return plan;
}

// Breaks the image as the choices say, and records what was broken: any file whose
// chain or entry changed, or whether the header or the directory changed at all.
class Damage {
 public:
  Damage(Bytes& image, std::uint32_t block_size, const std::vector<DatFileEntry>& entries)
      : image_(image), block_size_(block_size) {
    for (const DatFileEntry& entry : entries) {
      files_.push_back({entry.id, chain_blocks(image, block_size, entry.offset)});
      starts_.push_back(entry.offset);
    }
    nodes_ = directory_nodes(image, block_size, u32_at(image, HEADER_ROOT_AT));
    for (const Node& node : nodes_) {
      starts_.push_back(node.offset);
    }
  }

  void apply(Choices& choices) {
    switch (choices.below(9)) {
      case 0:
        break_file_link(choices);
        break;
      case 1:
        break_node_link(choices);
        break;
      case 2:
        change_block_size(choices);
        break;
      case 3:
        structure_ = true;
        put_u32(image_, HEADER_ROOT_AT, somewhere(choices));
        break;
      case 4:
        change_branch(choices);
        break;
      case 5:
        change_entry_count(choices);
        break;
      case 6:
        change_entry(choices);
        break;
      case 7:
        change_length(choices);
        break;
      default:
        structure_ = true;
        if (!image_.empty()) image_[choices.below(image_.size())] = choices.byte();
        break;
    }
  }

  // Whether the header or the directory may have changed.
  [[nodiscard]] bool structure() const noexcept { return structure_; }
  [[nodiscard]] bool touched(std::uint32_t id) const { return touched_.contains(id); }
  [[nodiscard]] bool any_entry_touched() const noexcept { return entries_touched_; }

 private:
  struct FileChain {
    std::uint32_t id;
    std::vector<std::uint32_t> blocks;
  };

  // Where a damaged link or offset leads: a chain start, into the last bytes or past
  // the end of the image, anywhere at all, or nowhere.
  std::uint32_t somewhere(Choices& choices) {
    const auto size = static_cast<std::uint32_t>(image_.size());
    switch (choices.below(6)) {
      case 0:
        return starts_.empty() ? 0 : starts_[choices.below(starts_.size())];
      case 1:
        return size + choices.below(4 * std::uint64_t{block_size_});
      case 2:
        return size - 1 - choices.below(std::min<std::uint32_t>(size, 2 * block_size_));
      case 3:
        return 1 + choices.below(size);
      case 4:
        return 0xFFFFFFFFU - choices.below(16);
      default:
        return 0;
    }
  }

  std::uint32_t link_value(Choices& choices, const std::vector<std::uint32_t>& blocks,
                           std::size_t index) {
    switch (choices.below(3)) {
      case 0:
        return blocks[index];  // the block links to itself
      case 1:
        return blocks[choices.below(index + 1)];  // back into its own chain: a loop
      default:
        return somewhere(choices);
    }
  }

  void break_file_link(Choices& choices) {
    if (files_.empty()) return;
    const FileChain& file = files_[choices.below(files_.size())];
    const std::size_t index = choices.below(file.blocks.size());
    put_u32(image_, file.blocks[index], link_value(choices, file.blocks, index));
    touched_.insert(file.id);
  }

  void break_node_link(Choices& choices) {
    if (nodes_.empty()) return;
    structure_ = true;
    const std::vector<std::uint32_t>& blocks = nodes_[choices.below(nodes_.size())].chain.blocks;
    const std::size_t index = choices.below(blocks.size());
    put_u32(image_, blocks[index], link_value(choices, blocks, index));
  }

  void change_block_size(Choices& choices) {
    structure_ = true;
    std::uint32_t value = 0;
    switch (choices.below(5)) {
      case 0:
        value = choices.below(5);  // no room for data after the link
        break;
      case 1:
        value = choices.pick(BLOCK_SIZES);
        break;
      case 2:
        value = block_size_ - 1 - choices.below(std::min<std::uint32_t>(block_size_ - 5, 3) + 1);
        break;
      case 3:
        value = block_size_ * (2 + choices.below(3));
        break;
      default:
        value = choices.any_u32();
        break;
    }
    put_u32(image_, HEADER_BLOCK_SIZE_AT, value);
  }

  void change_branch(Choices& choices) {
    if (nodes_.empty()) return;
    structure_ = true;
    const Node& node = nodes_[choices.below(nodes_.size())];
    const std::uint32_t slot =
        choices.flag() ? choices.below(std::min<std::uint32_t>(node.entry_count + 1, 62))
                       : choices.below(DatDirectoryNode::BRANCH_COUNT);
    std::uint32_t value = 0;
    switch (choices.below(4)) {
      case 0:
        value = node.offset;  // the node is its own child
        break;
      case 1:
        value = nodes_[choices.below(nodes_.size())].offset;  // the root, a sibling, a child
        break;
      default:
        value = somewhere(choices);
        break;
    }
    node.chain.put(image_, slot * 4, value);
  }

  void change_entry_count(Choices& choices) {
    if (nodes_.empty()) return;
    structure_ = true;
    const Node& node = nodes_[choices.below(nodes_.size())];
    constexpr std::array<std::uint32_t, 5> COUNTS = {62, 63, 0xFFFFFFFFU, 0x80000000U, 0};
    std::uint32_t value = 0;
    switch (choices.below(3)) {
      case 0:
        value = choices.pick(COUNTS);
        break;
      case 1:
        value = node.entry_count + 1;
        break;
      default:
        value = node.entry_count - (node.entry_count > 0 ? 1 : 0);
        break;
    }
    node.chain.put(image_, COUNT_AT, value);
  }

  void change_entry(Choices& choices) {
    if (nodes_.empty()) return;
    const Node& node = nodes_[choices.below(nodes_.size())];
    if (node.entry_count == 0) return;
    entries_touched_ = true;
    const std::uint32_t at = ENTRIES_AT + static_cast<std::uint32_t>(DatFileEntry::SIZE) *
                                              choices.below(node.entry_count);
    touched_.insert(node.chain.u32(image_, at + 4));
    switch (choices.below(4)) {
      case 0: {
        // Another entry's id, or any id: two entries may now share one.
        const std::uint32_t id = choices.flag() && !files_.empty()
                                     ? files_[choices.below(files_.size())].id
                                     : choices.any_u32();
        touched_.insert(id);
        node.chain.put(image_, at + 4, id);
        break;
      }
      case 1:
        node.chain.put(image_, at + 8, somewhere(choices));
        break;
      case 2: {
        const std::uint32_t size = node.chain.u32(image_, at + 12);
        constexpr std::array<std::uint32_t, 3> HUGE = {0xFFFFFFFFU, 0x7FFFFFFFU, 0x01000000U};
        switch (choices.below(4)) {
          case 0:
            node.chain.put(image_, at + 12, size + 1 + choices.below(3 * block_size_));
            break;
          case 1:
            node.chain.put(image_, at + 12, choices.pick(HUGE));
            break;
          case 2:
            node.chain.put(image_, at + 12, static_cast<std::uint32_t>(2 * image_.size()));
            break;
          default:
            node.chain.put(image_, at + 12, choices.below(std::uint64_t{size} + 1));
            break;
        }
        break;
      }
      default:
        node.chain.put(image_, at, node.chain.u32(image_, at) ^ DatFileEntry::COMPRESSED_FLAG);
        break;
    }
  }

  void change_length(Choices& choices) {
    structure_ = true;
    switch (choices.below(3)) {
      case 0:
        image_.resize(choices.below(image_.size() + 1));
        break;
      case 1:
        if (!starts_.empty()) {
          image_.resize(
              std::min<std::size_t>(image_.size(), starts_[choices.below(starts_.size())]));
        }
        break;
      default:
        image_.resize(image_.size() + 1 + choices.below(3 * block_size_), choices.byte());
        break;
    }
  }

  Bytes& image_;
  std::uint32_t block_size_;
  std::vector<FileChain> files_;
  std::vector<Node> nodes_;
  std::vector<std::uint32_t> starts_;
  std::set<std::uint32_t> touched_;
  bool structure_ = false;
  bool entries_touched_ = false;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > INPUT_CAP) return -1;
  Choices choices(std::span<const std::uint8_t>(data, size));
  const Plan plan = plan_archive(choices);

  ArchiveBuilder builder(plan.block_size);
  std::vector<DatFileEntry> entries;
  for (std::size_t i = 0; i < plan.files.size(); ++i) {
    entries.push_back(builder.add_file(plan.files[i], plan.layouts[i]));
  }
  builder.build_directory(entries, plan.directory_layout);
  Bytes image = builder.bytes();

  Damage damage(image, plan.block_size, entries);
  for (std::uint32_t n = choices.below(8); n > 0; --n) {
    damage.apply(choices);
  }

  const auto database = marrowvane_dat::fuzz::check_archive(image);
  if (damage.structure()) return 0;
  check(database.has_value(), "an archive with an intact directory did not open");
  if (!damage.any_entry_touched()) {
    check(database->files().size() == plan.files.size(), "the directory lost or gained files");
  }
  for (std::size_t i = 0; i < plan.files.size(); ++i) {
    const FileSpec& file = plan.files[i];
    if (damage.touched(file.id)) continue;
    check(database->find(file.id) != nullptr, "an untouched file is missing");
    const auto bytes = database->get_file(file.id);
    check(bytes && *bytes == file.content, "an untouched file reads back differently");
    if (plan.fonts[i]) {
      Cursor cursor(*bytes);
      const auto font = Font::read(cursor);
      check(font && *font == *plan.fonts[i], "an untouched font reads back differently");
    }
  }
  return 0;
}

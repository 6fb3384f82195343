// SPDX-License-Identifier: MIT
// Archive image assembly: header, block chains and directory trees.
#include "marrowvane_dat_testkit/archive_builder.hpp"

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>

#include "marrowvane_dat_testkit/lrs_compressor.hpp"

namespace marrowvane_dat::testkit {
namespace {

constexpr std::uint64_t HEADER_END = DatHeader::OFFSET + DatHeader::SIZE;
constexpr std::uint32_t LINK_SIZE = 4;
constexpr std::uint32_t CELL_BLOCK_SIZE = 256;

void store_u32(std::span<std::uint8_t> out, std::size_t at, std::uint32_t value) noexcept {
  for (std::size_t i = 0; i < 4; ++i) {
    out[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
  }
}

void put_u32(std::vector<std::uint8_t>& out, std::uint32_t value) {
  for (unsigned shift = 0; shift < 32; shift += 8) {
    out.push_back(static_cast<std::uint8_t>(value >> shift));
  }
}

// Blocks may not overlap the header, which ends at 0x190.
std::uint64_t first_block_start(std::uint32_t block_size) noexcept {
  if (block_size == 0) {
    return HEADER_END;
  }
  return (HEADER_END + block_size - 1) / block_size * block_size;
}

std::vector<std::uint8_t> encode_header(const DatHeader& h, std::uint32_t file_size) {
  std::vector<std::uint8_t> out;
  out.reserve(DatHeader::SIZE);
  for (const std::uint32_t value :
       {h.magic, h.block_size, file_size, h.dataset, h.subset, h.free_head, h.free_tail,
        h.free_count, h.root_offset, h.new_lru, h.old_lru, h.use_lru, h.master_map_id,
        h.engine_version, h.game_version}) {
    put_u32(out, value);
  }
  for (std::size_t i = 0; i < DatHeader::VERSION_STRING_SIZE; ++i) {
    out.push_back(i < h.version_string.size() ? h.version_string[i] : 0);
  }
  put_u32(out, h.version_minor);
  return out;
}

void append_entry(std::vector<std::uint8_t>& out, const DatFileEntry& e) {
  for (const std::uint32_t value : {e.bit_flags, e.id, e.offset, e.size, e.timestamp, e.version}) {
    put_u32(out, value);
  }
}

std::vector<std::uint8_t> encode_node(const NodeSpec& node) {
  std::vector<std::uint8_t> out;
  out.reserve(DatDirectoryNode::SIZE);
  for (const std::uint32_t branch : node.branches) {
    put_u32(out, branch);
  }
  put_u32(out, node.entry_count);
  const std::size_t written = std::min(node.entries.size(), DatDirectoryNode::MAX_ENTRIES);
  for (std::size_t i = 0; i < written; ++i) {
    append_entry(out, node.entries[i]);
  }
  out.resize(DatDirectoryNode::SIZE, 0);
  return out;
}

struct FileCloser {
  void operator()(std::FILE* file) const noexcept { std::fclose(file); }
};

// How many entries a tree of the given height holds at most (height 0: one leaf).
std::uint64_t tree_capacity(unsigned height) noexcept {
  std::uint64_t capacity = DatDirectoryNode::MAX_ENTRIES;
  for (unsigned level = 0; level < height; ++level) {
    capacity = DatDirectoryNode::MAX_ENTRIES + DatDirectoryNode::BRANCH_COUNT * capacity;
  }
  return capacity;
}

// The place (in block slots from the region start) of each chain block. Scattered
// chains use only even slots, so no two of their blocks touch, and alternate between
// the top and the bottom of the region, so the chain runs backwards as well as forwards.
std::vector<std::size_t> block_slots(std::size_t blocks, ChainLayout layout) {
  std::vector<std::size_t> slots(blocks);
  for (std::size_t i = 0; i < blocks; ++i) {
    if (layout == ChainLayout::Contiguous) {
      slots[i] = i;
    } else {
      const std::size_t rank = (i % 2 == 0) ? blocks - 1 - i / 2 : i / 2;
      slots[i] = 2 * rank;
    }
  }
  return slots;
}

}  // namespace

ArchiveBuilder::ArchiveBuilder(std::uint32_t block_size) : block_size_(block_size) {
  header_.magic = DatHeader::MAGIC;
  header_.block_size = block_size;
  header_.dataset = block_size == CELL_BLOCK_SIZE ? 2 : 1;
  image_.resize(first_block_start(block_size), 0);
}

void ArchiveBuilder::align_to_block() {
  if (block_size_ == 0) {
    return;
  }
  const std::uint64_t rest = image_.size() % block_size_;
  if (rest != 0) {
    image_.resize(image_.size() + (block_size_ - rest), 0);
  }
}

std::uint32_t ArchiveBuilder::write_chain(std::span<const std::uint8_t> data, ChainLayout layout) {
  align_to_block();
  const std::size_t base = image_.size();
  if (block_size_ <= LINK_SIZE) {
    // No payload room: one last block whose bytes run on past it, which is how a
    // reader completes a chain that ends early.
    image_.resize(base + LINK_SIZE, 0);
    image_.insert(image_.end(), data.begin(), data.end());
    return static_cast<std::uint32_t>(base);
  }

  const std::size_t payload = block_size_ - LINK_SIZE;
  const std::size_t blocks = std::max<std::size_t>(1, (data.size() + payload - 1) / payload);
  const std::vector<std::size_t> slots = block_slots(blocks, layout);
  const std::size_t region = *std::max_element(slots.begin(), slots.end()) + 1;
  image_.resize(base + region * block_size_, 0);

  for (std::size_t i = 0; i < blocks; ++i) {
    const std::size_t at = base + slots[i] * block_size_;
    const std::uint32_t next =
        i + 1 < blocks ? static_cast<std::uint32_t>(base + slots[i + 1] * block_size_) : 0;
    store_u32(image_, at, next);
    const std::size_t from = i * payload;
    const std::size_t count = std::min(payload, data.size() - std::min(from, data.size()));
    std::copy_n(data.begin() + static_cast<std::ptrdiff_t>(from), count,
                image_.begin() + static_cast<std::ptrdiff_t>(at + LINK_SIZE));
  }
  return static_cast<std::uint32_t>(base + slots[0] * block_size_);
}

std::uint32_t ArchiveBuilder::append_raw(std::span<const std::uint8_t> bytes) {
  const std::size_t at = image_.size();
  image_.insert(image_.end(), bytes.begin(), bytes.end());
  return static_cast<std::uint32_t>(at);
}

void ArchiveBuilder::patch_u32(std::uint64_t offset, std::uint32_t value) {
  std::uint8_t bytes[4] = {};
  store_u32(bytes, 0, value);
  patch_bytes(offset, bytes);
}

void ArchiveBuilder::patch_bytes(std::uint64_t offset, std::span<const std::uint8_t> bytes) {
  const std::uint64_t end = offset + bytes.size();
  if (end > image_.size()) {
    image_.resize(static_cast<std::size_t>(end), 0);
  }
  std::copy(bytes.begin(), bytes.end(), image_.begin() + static_cast<std::ptrdiff_t>(offset));
  if (!bytes.empty() && offset < HEADER_END && end > DatHeader::OFFSET) {
    header_patches_.push_back({offset, std::vector<std::uint8_t>(bytes.begin(), bytes.end())});
  }
}

DatFileEntry ArchiveBuilder::add_file(const FileSpec& file, ChainLayout layout) {
  DatFileEntry entry;
  entry.id = file.id;
  entry.bit_flags = file.extra_flags | (file.compressed ? DatFileEntry::COMPRESSED_FLAG : 0U);
  entry.timestamp = file.timestamp;
  entry.version = file.version;
  if (file.compressed) {
    const std::vector<std::uint8_t> stored = compress_lrs(file.content);
    entry.offset = write_chain(stored, layout);
    entry.size = static_cast<std::uint32_t>(stored.size());
  } else {
    entry.offset = write_chain(file.content, layout);
    entry.size = static_cast<std::uint32_t>(file.content.size());
  }
  return entry;
}

std::uint32_t ArchiveBuilder::write_node(const NodeSpec& node, ChainLayout layout) {
  return write_chain(encode_node(node), layout);
}

std::uint32_t ArchiveBuilder::build_directory(std::vector<DatFileEntry> entries,
                                              ChainLayout layout) {
  if (entries.empty()) {
    header_.root_offset = 0;
    return 0;
  }
  std::stable_sort(entries.begin(), entries.end(),
                   [](const DatFileEntry& a, const DatFileEntry& b) { return a.id < b.id; });
  unsigned height = 0;
  while (tree_capacity(height) < entries.size()) {
    ++height;
  }
  header_.root_offset = write_subtree(entries, height, layout);
  return header_.root_offset;
}

// Children are written before their parent, which needs their offsets. The entries
// are split evenly: with the minimal height for the whole set, every subtree gets
// close to half its capacity or more, so no node ends up empty.
std::uint32_t ArchiveBuilder::write_subtree(std::span<const DatFileEntry> entries, unsigned height,
                                            ChainLayout layout) {
  NodeSpec node;
  if (height == 0) {
    node.entry_count = static_cast<std::uint32_t>(entries.size());
    node.entries.assign(entries.begin(), entries.end());
    return write_node(node, layout);
  }
  const std::uint64_t child_capacity = tree_capacity(height - 1);
  const std::size_t children = std::max<std::size_t>(
      2, static_cast<std::size_t>((entries.size() + 1 + child_capacity) / (child_capacity + 1)));
  const std::size_t in_children = entries.size() - (children - 1);
  const std::size_t per_child = in_children / children;
  const std::size_t extra = in_children % children;

  std::size_t next = 0;
  for (std::size_t i = 0; i < children; ++i) {
    const std::size_t count = per_child + (i < extra ? 1 : 0);
    node.branches[i] = write_subtree(entries.subspan(next, count), height - 1, layout);
    next += count;
    if (i + 1 < children) {
      node.entries.push_back(entries[next]);
      ++next;
    }
  }
  node.entry_count = static_cast<std::uint32_t>(node.entries.size());
  return write_node(node, layout);
}

std::uint32_t ArchiveBuilder::add_files(const std::vector<FileSpec>& files, ChainLayout layout) {
  std::vector<DatFileEntry> entries;
  entries.reserve(files.size());
  for (const FileSpec& file : files) {
    entries.push_back(add_file(file, layout));
  }
  return build_directory(std::move(entries), layout);
}

std::vector<std::uint8_t> ArchiveBuilder::bytes() const {
  std::vector<std::uint8_t> out = image_;
  const std::uint32_t file_size =
      header_.file_size != 0 ? header_.file_size : static_cast<std::uint32_t>(out.size());
  const std::vector<std::uint8_t> header = encode_header(header_, file_size);
  std::copy(header.begin(), header.end(),
            out.begin() + static_cast<std::ptrdiff_t>(DatHeader::OFFSET));
  for (const HeaderPatch& patch : header_patches_) {
    std::copy(patch.bytes.begin(), patch.bytes.end(),
              out.begin() + static_cast<std::ptrdiff_t>(patch.offset));
  }
  return out;
}

void ArchiveBuilder::write_to(const std::filesystem::path& path) const {
  const std::vector<std::uint8_t> image = bytes();
  std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.string().c_str(), "wb"));
  if (!file) {
    throw std::runtime_error("cannot open " + path.string() +
                             " for writing: " + std::strerror(errno));
  }
  const bool written = std::fwrite(image.data(), 1, image.size(), file.get()) == image.size();
  // Closing flushes, and a full disk may only show up there.
  if (!written || std::fclose(file.release()) != 0) {
    throw std::runtime_error("cannot write " + path.string() + ": " + std::strerror(errno));
  }
}

}  // namespace marrowvane_dat::testkit

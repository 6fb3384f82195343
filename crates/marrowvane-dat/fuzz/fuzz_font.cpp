// SPDX-License-Identifier: MIT
// Fuzzes Font::read over an in-memory cursor: a record is consumed exactly, or the
// cursor is left where the record started.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "marrowvane_dat/binary_reader.hpp"
#include "marrowvane_dat/file_type/font.hpp"
#include "marrowvane_dat_testkit/font_writer.hpp"

namespace {

// A font of 65536 glyphs is about 700 KiB; nothing larger is interesting.
constexpr std::size_t INPUT_CAP = std::size_t{1} << 20;

void check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > INPUT_CAP) return -1;
  const std::span<const std::uint8_t> input(data, size);
  marrowvane_dat::Cursor cursor(input);
  const auto font = marrowvane_dat::Font::read(cursor);
  if (!font) {
    check(cursor.position() == 0);
    return 0;
  }
  const std::uint64_t consumed =
      marrowvane_dat::Font::FIXED_SIZE +
      std::uint64_t{marrowvane_dat::FontCharDesc::SIZE} * font->char_descs.size();
  check(cursor.position() == consumed);
  // Every field is stored as read, so writing the record again gives back the very
  // bytes it was read from.
  const std::vector<std::uint8_t> encoded = marrowvane_dat::testkit::encode_font(*font);
  check(encoded.size() == consumed && std::equal(encoded.begin(), encoded.end(), input.begin()));
  return 0;
}

// SPDX-License-Identifier: MIT
// The library's own error messages, each built in one place, so that a text a caller
// may search for is written once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "marrowvane_dat/error.hpp"

namespace marrowvane_dat::detail {

// At least eight upper-case hexadecimal digits, zero-filled ("0000ABCD"): how every
// message writes ids and offsets.
std::string hex8(std::uint64_t value);

// A block size that leaves no room for data after the link word.
DatError block_size_too_small(std::uint32_t block_size);
// A chain that went on past the number of blocks the archive holds on its grid.
DatError chain_too_long(std::uint64_t start, std::uint64_t max_blocks);
// A directory whose nodes together pass through more blocks than the archive holds.
DatError directory_too_large(std::uint64_t max_blocks);
// A directory node met a second time by the walk.
DatError node_reached_twice(std::uint32_t offset);
// A caller's buffer smaller than what a file's stored bytes can give.
DatError buffer_too_small(std::uint32_t id, std::size_t have, std::uint64_t needed);
// A typed read of an id whose type is another.
DatError wrong_file_type(std::uint32_t id, std::string_view type, std::string_view wanted);
// open() given no source.
DatError no_source();

}  // namespace marrowvane_dat::detail

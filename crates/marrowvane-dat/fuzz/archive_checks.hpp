// SPDX-License-Identifier: MIT
// Properties every archive fuzz target checks: one image read from memory, through a
// descriptor and through sources that hold nothing in memory gives the same archive,
// the same bytes and the same errors, and no read returns more than the image allows.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "marrowvane_dat/dat_database.hpp"

namespace marrowvane_dat::fuzz {

// Prints `what` and aborts when `condition` is false, so the engine keeps the input.
void check(bool condition, const char* what);

// Opens `image` from every kind of source, checks that they agree on the outcome, the
// header and the directory, then reads every listed file from each of them and checks
// that the reads agree with each other and with get_file. Returns the database read
// from memory (borrowing `image`) when the image opens.
std::optional<DatDatabase> check_archive(std::span<const std::uint8_t> image);

}  // namespace marrowvane_dat::fuzz

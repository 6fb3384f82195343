// SPDX-License-Identifier: MIT
// UTF-8 and UTF-16 conversions, the system's error texts and the full path of an open
// handle, for the Windows sources.
#pragma once

#include <string>
#include <string_view>

namespace marrowvane_dat::cli::windows {

// `text` (UTF-8) as UTF-16; invalid bytes become U+FFFD.
[[nodiscard]] std::wstring widen(std::string_view text);
// `text` (UTF-16) as UTF-8; unpaired surrogates become U+FFFD.
[[nodiscard]] std::string narrow(std::wstring_view text);
// The system's message for a Windows error code, in UTF-8 and on one line.
[[nodiscard]] std::string error_text(unsigned long code);
// The full path of what `handle` (a HANDLE) holds, in the system's extended form
// ("\\?\..."); empty when the system cannot tell, never a partial or relative path.
[[nodiscard]] std::wstring held_path(void* handle);

}  // namespace marrowvane_dat::cli::windows

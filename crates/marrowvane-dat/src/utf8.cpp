// SPDX-License-Identifier: MIT
// UTF-8 validation, lossy decoding and debug quoting.
#include "utf8.hpp"

#include <cstdint>
#include <cstdio>

namespace marrowvane_dat::detail {

std::size_t utf8_sequence_length(std::string_view text, std::size_t* invalid_prefix) noexcept {
  const auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(text[i]); };
  const std::uint8_t lead = byte(0);
  if (lead < 0x80) {
    return 1;
  }
  std::size_t length = 0;
  // The first continuation byte's range depends on the lead: it excludes overlong
  // forms, surrogates and code points above U+10FFFF.
  std::uint8_t low = 0x80;
  std::uint8_t high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    low = lead == 0xE0 ? 0xA0 : 0x80;
    high = lead == 0xED ? 0x9F : 0xBF;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    low = lead == 0xF0 ? 0x90 : 0x80;
    high = lead == 0xF4 ? 0x8F : 0xBF;
  } else {
    *invalid_prefix = 1;
    return 0;
  }
  for (std::size_t i = 1; i < length; ++i) {
    if (i >= text.size() || byte(i) < low || byte(i) > high) {
      *invalid_prefix = i;
      return 0;
    }
    low = 0x80;
    high = 0xBF;
  }
  return length;
}

bool is_valid_utf8(std::string_view text) noexcept {
  std::size_t invalid = 0;
  while (!text.empty()) {
    const std::size_t n = utf8_sequence_length(text, &invalid);
    if (n == 0) {
      return false;
    }
    text.remove_prefix(n);
  }
  return true;
}

std::string utf8_lossy(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  std::size_t invalid = 0;
  while (!text.empty()) {
    const std::size_t n = utf8_sequence_length(text, &invalid);
    if (n == 0) {
      out += "\xEF\xBF\xBD";
      text.remove_prefix(invalid);
    } else {
      out.append(text.substr(0, n));
      text.remove_prefix(n);
    }
  }
  return out;
}

std::string utf8_lossy(std::wstring_view text) {
  std::string out;
  out.reserve(text.size());
  const auto put = [&out](std::uint32_t c) {
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  };
  // wchar_t is 32 bits outside Windows; there every unit is a whole code point.
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto unit = static_cast<std::uint32_t>(text[i]);
    const bool high = unit >= 0xD800 && unit <= 0xDBFF;
    const bool low = unit >= 0xDC00 && unit <= 0xDFFF;
    if (high && i + 1 < text.size()) {
      const auto next = static_cast<std::uint32_t>(text[i + 1]);
      if (next >= 0xDC00 && next <= 0xDFFF) {
        put(0x10000 + ((unit - 0xD800) << 10) + (next - 0xDC00));
        ++i;
        continue;
      }
    }
    put(high || low || unit > 0x10FFFF ? 0xFFFD : unit);
  }
  return out;
}

std::string debug_quote(std::string_view text) {
  std::string out = "\"";
  std::size_t invalid = 0;
  char hex[16];
  while (!text.empty()) {
    const std::size_t n = utf8_sequence_length(text, &invalid);
    if (n == 0) {
      for (std::size_t i = 0; i < invalid; ++i) {
        std::snprintf(hex, sizeof hex, "\\x%02X",
                      static_cast<unsigned>(static_cast<std::uint8_t>(text[i])));
        out += hex;
      }
      text.remove_prefix(invalid);
      continue;
    }
    const char c = text[0];
    if (n == 1) {
      switch (c) {
        case '"':
          out += "\\\"";
          break;
        case '\\':
          out += "\\\\";
          break;
        case '\n':
          out += "\\n";
          break;
        case '\r':
          out += "\\r";
          break;
        case '\t':
          out += "\\t";
          break;
        case '\0':
          out += "\\0";
          break;
        default:
          if (static_cast<std::uint8_t>(c) < 0x20 || c == 0x7F) {
            std::snprintf(hex, sizeof hex, "\\u{%x}", static_cast<unsigned>(c));
            out += hex;
          } else {
            out += c;
          }
      }
    } else {
      out.append(text.substr(0, n));
    }
    text.remove_prefix(n);
  }
  out += '"';
  return out;
}

}  // namespace marrowvane_dat::detail

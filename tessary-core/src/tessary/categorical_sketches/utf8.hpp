#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace tessary {

inline constexpr std::string_view utf8_replacement_character = "\xEF\xBF\xBD";  // U+FFFD

// Appends `bytes` to `out` as well-formed UTF-8. Well-formed sequences are
// copied unchanged; every maximal subpart of an ill-formed subsequence (the
// longest prefix of a well-formed sequence that the input starts, or else a
// single byte) becomes one U+FFFD, the Unicode "substitution of maximal
// subparts" practice that Python's bytes.decode("utf-8", "replace") follows.
// So ED A0 80 (a surrogate) gives three U+FFFD, while E2 82 cut off at the
// end gives one.
inline void append_utf8_with_replacement(std::string& out, std::string_view bytes) {
  const std::size_t n = bytes.size();
  std::size_t i = 0;
  while (i < n) {
    const auto lead = static_cast<std::uint8_t>(bytes[i]);
    if (lead < 0x80) {
      out.push_back(static_cast<char>(lead));
      ++i;
      continue;
    }
    // Number of continuation bytes, and the allowed range of the first one;
    // the narrowed ranges exclude overlong forms, surrogates and code points
    // above U+10FFFF.
    std::size_t continuations = 0;
    std::uint8_t low = 0x80;
    std::uint8_t high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
      continuations = 1;
    } else if (lead == 0xE0) {
      continuations = 2;
      low = 0xA0;
    } else if (lead == 0xED) {
      continuations = 2;
      high = 0x9F;
    } else if (lead >= 0xE1 && lead <= 0xEF) {
      continuations = 2;
    } else if (lead == 0xF0) {
      continuations = 3;
      low = 0x90;
    } else if (lead >= 0xF1 && lead <= 0xF3) {
      continuations = 3;
    } else if (lead == 0xF4) {
      continuations = 3;
      high = 0x8F;
    } else {
      // 80..C1 and F5..FF never start a well-formed sequence.
      out.append(utf8_replacement_character);
      ++i;
      continue;
    }
    std::size_t end = i + 1;
    for (std::size_t k = 0; k < continuations && end < n; ++k) {
      const auto c = static_cast<std::uint8_t>(bytes[end]);
      if (c < low || c > high) break;
      ++end;
      low = 0x80;
      high = 0xBF;
    }
    if (end - i == continuations + 1) {
      out.append(bytes.substr(i, end - i));
    } else {
      // The offending byte, if any, starts the next round.
      out.append(utf8_replacement_character);
    }
    i = end;
  }
}

inline std::string utf8_with_replacement(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  append_utf8_with_replacement(out, bytes);
  return out;
}

}  // namespace tessary

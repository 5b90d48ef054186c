#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace tessary {

inline constexpr std::string_view utf8_replacement_character = "\xEF\xBF\xBD";  // U+FFFD

// One step of strict UTF-8 decoding (what Python's decoder accepts: no
// overlong forms, no surrogates, nothing above U+10FFFF): the sequence that
// starts at bytes[i], i < bytes.size(). A well-formed sequence has its full
// length; an ill-formed one is its maximal subpart (the longest prefix of a
// well-formed sequence that the input starts, or else the single byte), the
// unit that the Unicode "substitution of maximal subparts" practice replaces
// by one U+FFFD. The next sequence starts right after it either way.
struct Utf8Step {
  std::size_t length;
  bool well_formed;
};

constexpr Utf8Step utf8_step(std::string_view bytes, std::size_t i) noexcept {
  const auto lead = static_cast<std::uint8_t>(bytes[i]);
  if (lead < 0x80) return {1, true};
  // The lead byte fixes the number of continuation bytes and the allowed
  // range of the first one; the narrowed ranges exclude overlong forms,
  // surrogates and code points above U+10FFFF. 80..C1 and F5..FF never
  // start a well-formed sequence.
  std::size_t continuations = 0;
  std::uint8_t low = 0x80;
  std::uint8_t high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    continuations = 1;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    continuations = 2;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    continuations = 3;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return {1, false};
  }
  std::size_t end = i + 1;
  for (std::size_t k = 0; k < continuations && end < bytes.size(); ++k) {
    const auto c = static_cast<std::uint8_t>(bytes[end]);
    if (c < low || c > high) break;
    ++end;
    low = 0x80;
    high = 0xBF;
  }
  return {end - i, end - i == continuations + 1};
}

constexpr bool is_utf8(std::string_view bytes) noexcept {
  for (std::size_t i = 0; i < bytes.size();) {
    const Utf8Step step = utf8_step(bytes, i);
    if (!step.well_formed) return false;
    i += step.length;
  }
  return true;
}

// Appends `bytes` to `out` as well-formed UTF-8: well-formed sequences are
// copied unchanged, each maximal subpart of an ill-formed one becomes one
// U+FFFD, as Python's bytes.decode("utf-8", "replace") does. So ED A0 80
// (a surrogate) gives three U+FFFD, while E2 82 cut off at the end gives one.
inline void append_utf8_with_replacement(std::string& out, std::string_view bytes) {
  for (std::size_t i = 0; i < bytes.size();) {
    const Utf8Step step = utf8_step(bytes, i);
    if (step.well_formed) {
      out.append(bytes.substr(i, step.length));
    } else {
      out.append(utf8_replacement_character);
    }
    i += step.length;
  }
}

inline std::string utf8_with_replacement(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  append_utf8_with_replacement(out, bytes);
  return out;
}

}  // namespace tessary

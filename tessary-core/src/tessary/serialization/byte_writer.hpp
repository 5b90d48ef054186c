#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace tessary {

// Appends the primitives of the serialized format to a byte string.
//
// Fixed-width integers are little-endian on every machine; doubles are the
// little-endian bytes of their bit pattern, so every value, NaN payloads
// included, survives exactly. Unsigned varints are LEB128: seven bits per
// byte, least significant group first, the high bit set on every byte but
// the last; the writer always emits the shortest form, which the reader
// insists on, so equal states give equal bytes.
class ByteWriter {
 public:
  void u8(std::uint8_t value) { out_.push_back(static_cast<char>(value)); }

  void u16(std::uint16_t value) { fixed(value, 2); }

  void u64(std::uint64_t value) { fixed(value, 8); }

  void f64(double value) { u64(std::bit_cast<std::uint64_t>(value)); }

  void varint(std::uint64_t value) {
    while (value >= 0x80) {
      u8(static_cast<std::uint8_t>(value | 0x80));
      value >>= 7;
    }
    u8(static_cast<std::uint8_t>(value));
  }

  void bytes(std::string_view data) { out_.append(data); }

  // A length-prefixed byte string.
  void text(std::string_view data) {
    varint(data.size());
    bytes(data);
  }

  std::string& result() noexcept { return out_; }

 private:
  void fixed(std::uint64_t value, int width) {
    for (int i = 0; i < width; ++i) u8(static_cast<std::uint8_t>(value >> (8 * i)));
  }

  std::string out_;
};

}  // namespace tessary

#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace tessary {

// Serialized data that cannot be decoded: truncated, not of this format,
// of another version or kind, or with a field that no state can have. The
// message is a complete sentence for the user.
class DecodeError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

[[noreturn]] inline void throw_corrupt(const std::string& what) {
  throw DecodeError("corrupt serialized data: " + what);
}

// Reads the primitives that ByteWriter writes, from a borrowed byte span.
//
// Every read is checked against the bytes that remain, and a count that
// sizes a collection is checked against what those bytes could hold, so no
// input makes the reader run past its end or allocate beyond a fixed
// multiple of the input's size. Varints must be in their shortest form and
// fit 64 bits.
class ByteReader {
 public:
  explicit ByteReader(std::string_view data) noexcept : data_(data) {}

  std::size_t remaining() const noexcept { return data_.size() - offset_; }

  std::uint8_t u8() { return static_cast<std::uint8_t>(take(1)[0]); }

  std::uint16_t u16() { return static_cast<std::uint16_t>(fixed(2)); }

  std::uint64_t u64() { return fixed(8); }

  double f64() { return std::bit_cast<double>(u64()); }

  std::uint64_t varint() {
    std::uint64_t value = 0;
    for (int shift = 0;; shift += 7) {
      const std::uint8_t byte = u8();
      if (shift == 63 && byte > 1) throw_corrupt("a varint exceeds 64 bits");
      value |= static_cast<std::uint64_t>(byte & 0x7f) << shift;
      if ((byte & 0x80) == 0) {
        if (byte == 0 && shift != 0) throw_corrupt("a varint is not in its shortest form");
        return value;
      }
    }
  }

  // A count of items that take at least `min_item_bytes` each (at least 1)
  // and of which no state holds more than `limit`.
  std::size_t count(std::uint64_t limit, std::size_t min_item_bytes, const char* what) {
    const std::uint64_t n = varint();
    if (n > limit) throw_corrupt(std::string("too many ") + what);
    if (n > remaining() / min_item_bytes) truncated();
    return static_cast<std::size_t>(n);
  }

  std::string_view bytes(std::size_t n) { return take(n); }

  // A length-prefixed byte string of at most `limit` bytes.
  std::string_view text(std::uint64_t limit, const char* what) {
    const std::uint64_t n = varint();
    if (n > limit) throw_corrupt(std::string(what) + " is too long");
    return take(static_cast<std::size_t>(n));
  }

  void expect_end() const {
    if (remaining() != 0) throw_corrupt("bytes follow the end of the data");
  }

  [[noreturn]] static void truncated() { throw DecodeError("serialized data is truncated"); }

 private:
  std::string_view take(std::size_t n) {
    if (n > remaining()) truncated();
    const std::string_view out = data_.substr(offset_, n);
    offset_ += n;
    return out;
  }

  std::uint64_t fixed(int width) {
    const std::string_view raw = take(static_cast<std::size_t>(width));
    std::uint64_t value = 0;
    for (int i = 0; i < width; ++i) value |= static_cast<std::uint64_t>(static_cast<std::uint8_t>(raw[i])) << (8 * i);
    return value;
  }

  std::string_view data_;
  std::size_t offset_ = 0;
};

}  // namespace tessary

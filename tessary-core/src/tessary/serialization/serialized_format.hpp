#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "tessary/serialization/byte_reader.hpp"
#include "tessary/serialization/byte_writer.hpp"
#include "tessary/serialization/state_codec.hpp"

namespace tessary {

// The serialized form of an accumulator's state:
//
//   4 bytes  magic "TSRY"
//   u16      format version, little-endian (1)
//   u8       kind: 1 NumericAccumulator (NumericStreamState),
//            2 StringAccumulator (CategoricalSketchState),
//            3 ArrowBatchProfileAccumulator (BatchProfileState),
//            4 TableAccumulator (TableProfile, which encodes itself)
//   payload  the state's encoding (state_codec.hpp), to the last byte
//
// from_bytes either returns the whole state or throws DecodeError, whose
// message names the failure: truncated data, a wrong magic, an unsupported
// version, another kind, or a corrupt field (bytes after the payload
// included). The format carries no checksum: it rejects what no state could
// encode, but a flipped bit inside a count or a float can still decode.

inline constexpr std::string_view serialized_magic = "TSRY";
inline constexpr std::uint16_t serialized_version = 1;

template <class State>
struct SerializedKind;

class TableProfile;

template <>
struct SerializedKind<NumericStreamState> {
  static constexpr std::uint8_t code = 1;
};
template <>
struct SerializedKind<CategoricalSketchState> {
  static constexpr std::uint8_t code = 2;
};
template <>
struct SerializedKind<BatchProfileState> {
  static constexpr std::uint8_t code = 3;
};
template <>
struct SerializedKind<TableProfile> {
  static constexpr std::uint8_t code = 4;
};

// The class whose state a kind code holds, for messages.
inline const char* serialized_kind_name(std::uint8_t code) noexcept {
  switch (code) {
    case SerializedKind<NumericStreamState>::code:
      return "NumericAccumulator";
    case SerializedKind<CategoricalSketchState>::code:
      return "StringAccumulator";
    case SerializedKind<BatchProfileState>::code:
      return "ArrowBatchProfileAccumulator";
    case SerializedKind<TableProfile>::code:
      return "TableAccumulator";
    default:
      return nullptr;
  }
}

inline std::string with_article(const char* name) {
  return (name[0] == 'A' ? "an " : "a ") + std::string(name);
}

template <class State>
std::string to_bytes(const State& state) {
  ByteWriter out;
  out.bytes(serialized_magic);
  out.u16(serialized_version);
  out.u8(SerializedKind<State>::code);
  if constexpr (requires { state.encode(out); }) {
    state.encode(out);
  } else {
    codec::encode(out, state);
  }
  return std::move(out.result());
}

template <class State>
State from_bytes(std::string_view data) {
  ByteReader in(data);
  const std::string_view magic = data.substr(0, serialized_magic.size());
  if (magic != serialized_magic.substr(0, magic.size())) {
    throw DecodeError("serialized data does not start with the magic bytes \"TSRY\"");
  }
  in.bytes(serialized_magic.size());
  const std::uint16_t version = in.u16();
  if (version != serialized_version) {
    throw DecodeError("unsupported serialized format version " + std::to_string(version) +
                      "; this build reads version " + std::to_string(serialized_version));
  }
  const std::uint8_t kind = in.u8();
  const char* expected = serialized_kind_name(SerializedKind<State>::code);
  if (kind != SerializedKind<State>::code) {
    const char* found = serialized_kind_name(kind);
    const std::string held = found == nullptr ? "unknown kind " + std::to_string(kind) : with_article(found);
    throw DecodeError("serialized data holds " + held + ", not " + with_article(expected));
  }
  DecodeBudget budget = DecodeBudget::for_input(data.size());
  if constexpr (requires { State::decode(in, budget); }) {
    State state = State::decode(in, budget);
    in.expect_end();
    return state;
  } else {
    State state;
    codec::decode(in, state, budget);
    in.expect_end();
    return state;
  }
}

}  // namespace tessary

#pragma once

// What the three accumulator classes share for to_bytes, from_bytes, merge,
// copying, pickling and the size of their state. The format, its checks, the
// merges and the sizes are the core's; this converts bytes to and from
// Python, checks merge operands and maps a decode failure to ValueError.
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "argument_binder.hpp"
#include "buffer_view.hpp"
#include "instance.hpp"
#include "result_dicts.hpp"
#include "tessary/serialization.hpp"

namespace tessary::py {

// The docstrings after the text signatures of the shared members.
inline constexpr const char* to_bytes_doc =
    "The state as bytes, from which from_bytes builds an equal accumulator.";
inline constexpr const char* from_bytes_doc =
    "A new accumulator from the bytes of to_bytes; ValueError for any other bytes.";
inline constexpr const char* merge_doc =
    "Folds the state of another accumulator of this class into this one, in place; other is unchanged.";
inline constexpr const char* copy_doc = "A new accumulator with an equal state.";

// A new bytes object holding `data`.
PyRef bytes_object(const std::string& data);

// The bytes of a C-contiguous buffer view; BufferError for any other.
std::string_view contiguous_bytes(const BufferView& view);

// decode(bytes) over the bytes of the buffer `data`. A refused buffer
// request, a non-contiguous buffer (BufferError) and a decode failure
// (ValueError) carry the note "while processing 'data'".
template <class Decode>
auto decode_argument(PyObject* data, Decode decode) {
  return convert_argument("data", [&] {
    const BufferView view = BufferView::acquire(data);
    return decode(contiguous_bytes(view));
  });
}

// (type.from_bytes, (serialized,)): the __reduce__ value that rebuilds an
// instance of `type` from its serialized state.
PyRef reduce_value(PyObject* type, const std::string& serialized);

// TypeError with the note "while processing 'other'" unless `other` is an
// instance of `type` (the classes are final: exactly that type).
void require_same_class(PyObject* other, PyObject* type);

// Replaces `value` with merge(value, value of `other`), `other` being an
// instance of `type`, possibly the very one that holds `value`: the caller's
// exclusive borrow then covers both. Another instance is read under its
// shared borrow. The result is built apart and moved in, so a failure
// leaves `value` unchanged.
template <class Value, class Merge>
void merge_from(Value& value, PyObject* other, PyObject* type, Merge merge) {
  require_same_class(other, type);
  Instance<Value>& source = Instance<Value>::of(other);
  if (&source.value == &value) {
    value = merge(value, value);
    return;
  }
  const SharedBorrow borrow(source.borrow);
  value = merge(value, std::as_const(source.value));
}

// The bodies of to_bytes, from_bytes, merge and __reduce__ for a class whose
// instances hold a core `State` and whose heap type `type()` returns. merge
// takes this instance as the left operand, as an update would: its moments
// round first, its heavy-hitter labels win, and a NumericAccumulator keeps
// its own seed and position.
template <class State, PyObject* (*type)() noexcept>
struct Serialization {
  static PyRef to_bytes_member(const State& state) { return bytes_object(to_bytes(state)); }

  static PyRef from_bytes_member(PyTypeObject* cls, PyObject* data) {
    return PyRef(new_instance(cls, decode_argument(data, from_bytes<State>)));
  }

  static void merge_member(State& state, PyObject* other) {
    merge_from(state, other, type(), [](const State& a, const State& b) { return merged(a, b); });
  }

  static PyRef reduce_member(const State& state) { return reduce_value(type(), to_bytes(state)); }

  static PyRef copy_member(const State& state) {
    return PyRef(new_instance(reinterpret_cast<PyTypeObject*>(type()), State(state)));
  }

  // nbytes: the bytes of memory the state holds (memory_bytes of the core).
  static PyRef nbytes_member(const State& state) { return to_python(std::uint64_t{memory_bytes(state)}); }
};

}  // namespace tessary::py

// StringAccumulator: one string column delivered in pieces as the raw
// buffers of Arrow UTF-8 arrays (32-bit offsets, update_utf8) or large UTF-8
// arrays (64-bit offsets, update_large_utf8). The buffers are read in place:
// each present row is hashed in one pass over its bytes and fed, with a view
// of its label prefix, to the instance's CategoricalSketchState.
//
// An update records all of its rows or, when it raises, none: every check,
// the offsets of every present row included, runs before the first change to
// the state.
//
// The buffers belong to the exporter, and another thread may write them
// while the kernel runs (NumPy releases the interpreter lock while it
// copies). So the recording pass reads each offset once and clamps it to the
// data, and counts the missing rows itself: a racing writer can make the
// result wrong, never make the kernel read outside the buffers.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <string_view>
#include <vector>

#include "buffer_view.hpp"
#include "entry_points.hpp"
#include "module_members.hpp"
#include "result_dicts.hpp"
#include "serialized_state.hpp"
#include "tessary/categorical_sketches.hpp"
#include "tessary/saturating.hpp"
#include "tessary/thread_pool.hpp"

namespace tessary::py {
namespace {

constexpr Signature<0> new_signature{"StringAccumulator.__new__()", {}};
constexpr Signature<1> from_bytes_signature{"StringAccumulator.from_bytes()", {{{"data", true}}}};
constexpr Signature<1> merge_signature{"StringAccumulator.merge()", {{{"other", true}}}};
constexpr Signature<1> add_missing_signature{"StringAccumulator.add_missing()", {{{"count", true}}}};

constexpr std::array<Parameter, 5> update_parameters{{
    {"data", true},
    {"offsets", true},
    {"length", true},
    {"validity", false, "None"},
    {"array_offset", false, "0"},
}};
constexpr Signature<5> update_utf8_signature{"StringAccumulator.update_utf8()", update_parameters};
constexpr Signature<5> update_large_utf8_signature{"StringAccumulator.update_large_utf8()",
                                                   update_parameters};

// The messages that name the offset type of each kernel.
template <class Offset>
struct OffsetMessages;

template <>
struct OffsetMessages<std::int32_t> {
  static constexpr const char* incompatible = "buffer contents are not compatible with i32";
  static constexpr const char* misaligned = "buffer contents are insufficiently aligned for i32";
};

template <>
struct OffsetMessages<std::int64_t> {
  static constexpr const char* incompatible = "buffer contents are not compatible with i64";
  static constexpr const char* misaligned = "buffer contents are insufficiently aligned for i64";
};

// Size of a signed integer type character under the struct module's native
// or standard sizes; 0 for any other character ("n" has no standard size).
constexpr std::size_t signed_integer_size(char code, bool standard_sizes) noexcept {
  switch (code) {
    case 'b':
      return 1;
    case 'h':
      return standard_sizes ? 2 : sizeof(short);
    case 'i':
      return standard_sizes ? 4 : sizeof(int);
    case 'l':
      return standard_sizes ? 4 : sizeof(long);
    case 'q':
      return standard_sizes ? 8 : sizeof(long long);
    case 'n':
      return standard_sizes ? 0 : sizeof(Py_ssize_t);
    default:
      return 0;
  }
}

// A view of data bytes or of a validity bitmap: unsigned bytes ("B") or
// chars ("c").
BufferView byte_buffer(PyObject* exporter) {
  BufferView view = BufferView::acquire(exporter);
  const Py_buffer& raw = view.view();
  require_shape_and_strides(raw);
  const auto format = native_format(raw);
  if (raw.itemsize != 1 || !format || (format->code != 'B' && format->code != 'c')) {
    raise_buffer_error("buffer contents are not compatible with u8");
  }
  return view;
}

// A view of signed offsets of the kernel's width, aligned to that width.
template <class Offset>
BufferView offsets_buffer(PyObject* exporter) {
  BufferView view = BufferView::acquire(exporter);
  const Py_buffer& raw = view.view();
  require_shape_and_strides(raw);
  const auto format = native_format(raw);
  if (raw.itemsize != static_cast<Py_ssize_t>(sizeof(Offset)) || !format ||
      signed_integer_size(format->code, format->standard_sizes) != sizeof(Offset)) {
    raise_buffer_error(OffsetMessages<Offset>::incompatible);
  }
  // An empty export may carry a dummy address (CPython's empty array('i')
  // does); with no items there is nothing to misalign.
  if (raw.len > 0 && reinterpret_cast<std::uintptr_t>(raw.buf) % sizeof(Offset) != 0) {
    raise_buffer_error(OffsetMessages<Offset>::misaligned);
  }
  return view;
}

// The rows of one call, checked to lie within the offsets: row r spans the
// data bytes [offsets[r], offsets[r + 1]) and is present unless a bitmap is
// given whose bit r is 0 or does not exist.
template <class Offset>
struct StringRows {
  const std::uint8_t* data;
  std::uint64_t data_length;
  const Offset* offsets;  // at least `end` + 1 items
  bool has_bitmap;  // false: every row is present
  const std::uint8_t* bitmap;  // may be null when bitmap_length is 0
  std::size_t bitmap_length;
  std::size_t first;
  std::size_t end;

  bool is_bad(std::size_t r) const noexcept {
    const Offset start = offsets[r];
    const Offset stop = offsets[r + 1];
    // A negative stop fails one of the first two tests anyway, so the cast
    // in the last one is harmless.
    return (start < 0) | (stop < start) | (static_cast<std::uint64_t>(stop) > data_length);
  }

  void raise_if_bad(std::size_t r) const {
    const Offset start = offsets[r];
    const Offset stop = offsets[r + 1];
    if (start < 0 || stop < start) raise_buffer_error("Arrow string offsets contain an invalid range.");
    if (static_cast<std::uint64_t>(stop) > data_length) {
      raise_buffer_error("Arrow string offset exceeds the UTF8 data buffer.");
    }
  }

  // Calls present(r) for every present row in order; returns the number of
  // missing rows. Offsets of missing rows are not read.
  template <class Present>
  std::uint64_t visit(Present&& present) const {
    if (!has_bitmap) {
      for (std::size_t r = first; r < end; ++r) present(r);
      return 0;
    }
    // Rows beyond the bitmap are missing. 8 * bitmap_length is formed only
    // when it is at most `end`, so it cannot overflow.
    const std::size_t covered_end =
        bitmap_length > (end >> 3) ? end : std::max(first, bitmap_length * 8);
    std::uint64_t present_rows = 0;
    for (std::size_t r = first; r < covered_end; ++r) {
      if ((bitmap[r >> 3] >> (r & 7)) & 1u) {
        present(r);
        ++present_rows;
      }
    }
    return (end - first) - present_rows;
  }
};

// Whether some offset is smaller than the one before it.
template <class Offset>
bool decreases(const Offset* offsets, std::size_t count) noexcept {
  unsigned found = 0;
  for (std::size_t i = 1; i < count; ++i) found |= offsets[i] < offsets[i - 1];
  return found != 0;
}

// Checks the offsets of every present row; raises the error of the first bad
// present row in row order.
template <class Offset>
void check_present_rows(const StringRows<Offset>& rows) {
  // A cheap sweep first; only a failing call looks for the culprit row.
  bool any_bad = false;
  if (!rows.has_bitmap) {
    // With every row present, the rows are valid exactly when the offsets
    // start at 0 or above, never decrease and end within the data.
    const Offset* offsets = rows.offsets + rows.first;
    const std::size_t count = rows.end - rows.first + 1;
    any_bad = offsets[0] < 0 || static_cast<std::uint64_t>(offsets[count - 1]) > rows.data_length ||
              decreases(offsets, count);
  } else {
    rows.visit([&](std::size_t r) { any_bad |= rows.is_bad(r); });
  }
  if (any_bad) rows.visit([&](std::size_t r) { rows.raise_if_bad(r); });
}

// One read of a value that another thread may be writing.
template <class T>
T load_once(const T* address) noexcept {
  return __atomic_load_n(address, __ATOMIC_RELAXED);
}

// Hashes every present row in one pass over its bytes and calls
// record(hash, label prefix) for it, in row order; returns the number of
// missing rows. The offsets were checked, but are read once and clamped again
// here (see the top of this file).
template <class Offset, class Record>
std::uint64_t hash_rows(const StringRows<Offset>& rows, Record&& record) noexcept {
  return rows.visit([&](std::size_t r) {
    const std::uint64_t end_of_data = rows.data_length;
    const Offset first = load_once(rows.offsets + r);
    const Offset last = load_once(rows.offsets + r + 1);
    const std::uint64_t start = std::min(first < 0 ? 0 : static_cast<std::uint64_t>(first), end_of_data);
    const std::uint64_t stop = std::clamp(last < 0 ? 0 : static_cast<std::uint64_t>(last), start, end_of_data);
    const auto n = static_cast<std::size_t>(stop - start);
    const std::uint8_t* bytes = rows.data + start;
    const std::size_t label_length = std::min(n, StringHeavyHittersSketch::max_retained_label_bytes);
    record(string_hash(bytes, n), std::string_view(reinterpret_cast<const char*>(bytes), label_length));
  });
}

// A present row as the hashing stage hands it to the sketches.
struct HashedRow {
  std::uint64_t hash;
  std::string_view label;
};

// Rows per stage of the pipeline: two chunks of hashed rows stay in the
// second-level cache, and a stage is long enough that the hand-over costs
// little.
constexpr std::size_t pipeline_chunk_rows = std::size_t{1} << 14;

// Records every present row under its hash and a view of its label prefix;
// returns the number of missing rows. The heavy hitters keep viewing the
// data buffer while the call runs and copy only the labels of the
// candidates that are left at its end.
//
// Out of line, with `rows` by value: a local copy whose address stays here,
// so its fields stay in registers. Through a reference, or inlined into the
// pipelined version below (whose lambdas take the addresses of its locals),
// they are re-read after every store into the sketches: measured 6% and 20%
// slower.
template <class Offset>
[[gnu::noinline]] std::uint64_t observe_rows(const StringRows<Offset> rows, CategoricalSketchState& state) noexcept {
  const std::uint64_t missing = hash_rows(
      rows, [&state](std::uint64_t hash, std::string_view label) { state.observe_hashed_borrowed(hash, label); });
  state.retain_labels();
  return missing;
}

// observe_rows as a pipeline on two threads of `pool`: one thread hashes
// chunk k + 1 while the other feeds the hashes of chunk k to the sketches.
// The sketches see the same rows in the same order as in observe_rows, so
// the result is identical bit for bit. The buffers are allocated before the
// first change to the state; after that nothing can fail.
template <class Offset>
std::uint64_t observe_rows(const StringRows<Offset>& rows, CategoricalSketchState& state, ThreadPool& pool) {
  const std::size_t row_count = rows.end - rows.first;
  if (row_count < 4 * pipeline_chunk_rows || pool.threads() < 2) return observe_rows(rows, state);
  std::vector<HashedRow> hashed(2 * pipeline_chunk_rows);
  std::size_t hashed_count[2] = {0, 0};
  std::uint64_t missing = 0;
  const auto hash_chunk = [&](std::size_t k) noexcept {
    StringRows<Offset> chunk = rows;
    chunk.first = rows.first + k * pipeline_chunk_rows;
    chunk.end = std::min(chunk.first + pipeline_chunk_rows, rows.end);
    HashedRow* out = hashed.data() + (k & 1) * pipeline_chunk_rows;
    std::size_t n = 0;
    missing += hash_rows(chunk, [&](std::uint64_t hash, std::string_view label) { out[n++] = {hash, label}; });
    hashed_count[k & 1] = n;
  };
  const std::size_t chunks = (row_count + pipeline_chunk_rows - 1) / pipeline_chunk_rows;
  hash_chunk(0);
  for (std::size_t k = 0; k < chunks; ++k) {
    pool.run(2, [&](std::size_t task) noexcept {
      if (task == 0) {
        if (k + 1 < chunks) hash_chunk(k + 1);
        return;
      }
      const HashedRow* in = hashed.data() + (k & 1) * pipeline_chunk_rows;
      const std::size_t n = hashed_count[k & 1];  // read once: the sketch's stores might alias it
      for (std::size_t i = 0; i < n; ++i) state.observe_hashed_borrowed(in[i].hash, in[i].label);
    });
  }
  state.retain_labels();
  return missing;
}

template <class Offset>
void update_state(CategoricalSketchState& state, PyObject* data_arg, PyObject* offsets_arg,
                  std::uint64_t length, PyObject* validity_arg, std::uint64_t array_offset) {
  const BufferView data = byte_buffer(data_arg);
  const BufferView offsets = offsets_buffer<Offset>(offsets_arg);
  std::optional<BufferView> validity;
  if (validity_arg != nullptr && validity_arg != Py_None) validity.emplace(byte_buffer(validity_arg));

  if (!data.is_c_contiguous() || !offsets.is_c_contiguous()) {
    raise_buffer_error("Tessary string kernels require contiguous Arrow data/offset buffers.");
  }
  if (validity && !validity->is_c_contiguous()) {
    raise_buffer_error("Tessary string kernels require a contiguous validity bitmap.");
  }
  if (data.data() == nullptr) raise_buffer_error("Could not borrow Arrow UTF8 data as a byte slice.");
  if (offsets.data() == nullptr) {
    raise_buffer_error("Could not borrow Arrow UTF8 offsets as a typed slice.");
  }
  if (validity && validity->data() == nullptr && validity->byte_length() != 0) {
    raise_buffer_error("Could not borrow Arrow validity bitmap as a byte slice.");
  }
  // The rows need offsets up to index array_offset + length, which must
  // itself be a 64-bit value.
  if (length >= std::numeric_limits<std::uint64_t>::max() - array_offset) {
    raise_buffer_error("Arrow string offset range overflowed.");
  }
  const std::uint64_t end = array_offset + length;
  const std::uint64_t offset_count = offsets.byte_length() / sizeof(Offset);
  if (offset_count <= end) {
    raise_buffer_error("Arrow string offsets are shorter than the requested array range.");
  }

  // end < offset_count, so every row index fits in a size_t.
  const StringRows<Offset> rows{
      static_cast<const std::uint8_t*>(data.data()),
      data.byte_length(),
      static_cast<const Offset*>(offsets.data()),
      validity.has_value(),
      validity ? static_cast<const std::uint8_t*>(validity->data()) : nullptr,
      validity ? validity->byte_length() : 0,
      static_cast<std::size_t>(array_offset),
      static_cast<std::size_t>(end),
  };
  check_present_rows(rows);
  const std::uint64_t missing = observe_rows(rows, state, ThreadPool::shared());
  state.missing = saturating_add(state.missing, missing);
}

// Both kernels take the exclusive borrow before `length` is converted and
// before any buffer is requested. The integers are converted in declaration
// order, in statements of their own (the order in which a call's arguments
// are evaluated is unspecified), so a failing `length` is reported before a
// failing `array_offset`; the buffers are the kernel's to request.
template <class Offset>
void update(CategoricalSketchState& state, PyObject* data, PyObject* offsets, PyObject* length_arg,
            PyObject* validity, PyObject* array_offset_arg) {
  const std::uint64_t length = uint64_argument(length_arg, "length");
  const std::uint64_t array_offset = uint64_argument(array_offset_arg, "array_offset");
  update_state<Offset>(state, data, offsets, length, validity, array_offset);
}

void add_missing(CategoricalSketchState& state, PyObject* count) {
  state.add_missing(uint64_argument(count, "count"));
}

CategoricalSketchState make() { return {}; }

// count + missing can exceed 2^64 - 1, so the sum is a Python int.
PyRef observations(const CategoricalSketchState& state) {
  PyRef count = to_python(state.count);
  PyRef missing = to_python(state.missing);
  return PyRef::checked(PyNumber_Add(count.get(), missing.get()));
}

PyRef heavy_hitters_list(const StringHeavyHittersSketch& heavy_hitters) {
  PyRef list = new_list();
  for (const auto& [label, count] : heavy_hitters.candidates()) {
    PyRef text = PyRef::checked(
        PyUnicode_FromStringAndSize(label.data(), static_cast<Py_ssize_t>(label.size())));
    PyRef n = to_python(count);
    append(list.get(), PyRef::checked(PyTuple_Pack(2, text.get(), n.get())));
  }
  return list;
}

PyRef snapshot(const CategoricalSketchState& state) {
  PyRef dict = new_dict();
  set_item(dict.get(), "backend", to_python(backend_name));
  set_item(dict.get(), "count", to_python(state.count));
  set_item(dict.get(), "missing", to_python(state.missing));
  set_item(dict.get(), "observations", observations(state));
  set_item(dict.get(), "cardinality_estimate", to_python(rounded_estimate(state.hll.estimate())));
  set_item(dict.get(), "heavy_hitters", heavy_hitters_list(state.heavy_hitters));
  set_item(dict.get(), "cardinality_method", to_python("hyperloglog"));
  set_item(dict.get(), "heavy_hitter_method", to_python("misra_gries_candidates"));
  set_item(dict.get(), "heavy_hitter_count_semantics", to_python("lower_bound"));
  set_item(dict.get(), "max_retained_label_bytes",
           to_python(std::uint64_t{StringHeavyHittersSketch::max_retained_label_bytes}));
  return dict;
}

void reset(CategoricalSketchState& state) { state = CategoricalSketchState{}; }

using Serial = Serialization<CategoricalSketchState, string_accumulator_type>;

const char* const doc = class_doc<new_signature>();

PyMethodDef methods[] = {
    changing_method<update_utf8_signature, update<std::int32_t>>(),
    changing_method<update_large_utf8_signature, update<std::int64_t>>(),
    changing_method<add_missing_signature, add_missing>(
        "Counts `count` missing rows at once, as the update kernels count that many nulls."),
    reading_method<snapshot>("snapshot"),
    changing_method<reset>("reset"),
    reading_method<Serial::to_bytes_member>("to_bytes", to_bytes_doc),
    class_method<from_bytes_signature, Serial::from_bytes_member>(from_bytes_doc),
    changing_method<merge_signature, Serial::merge_member>(merge_doc),
    reading_method<Serial::reduce_member>("__reduce__"),
    reading_method<Serial::copy_member>("__copy__", copy_doc),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef getset[] = {
    getter<observations>("observations"),
    getter<Serial::nbytes_member>("nbytes"),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyObject* string_accumulator_type() noexcept {
  return class_type<CategoricalSketchState>("tessary._native.StringAccumulator", doc,
                                            constructor<new_signature, make>, methods, getset);
}

}  // namespace tessary::py

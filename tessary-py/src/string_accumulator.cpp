// StringAccumulator: one string column delivered in pieces as the raw
// buffers of Arrow UTF-8 arrays (32-bit offsets, update_utf8) or large UTF-8
// arrays (64-bit offsets, update_large_utf8). Here the buffers are taken as
// Python buffer views and checked for what only the views tell (format,
// alignment, contiguity); the rows are read in place, checked and recorded
// by the core (tessary/categorical_sketches/string_rows.hpp), which records
// all of an update's rows or, when it throws, none. The views stay held
// while the rows are read; another thread may still write the buffers
// (NumPy releases the interpreter lock while it copies), which the core
// reads with that in mind.
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "buffer_view.hpp"
#include "entry_points.hpp"
#include "module_members.hpp"
#include "result_dicts.hpp"
#include "serialized_state.hpp"
#include "tessary/categorical_sketches.hpp"
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
  std::optional<std::span<const std::uint8_t>> bitmap;
  if (validity) bitmap.emplace(static_cast<const std::uint8_t*>(validity->data()), validity->byte_length());
  const StringRows<Offset> rows = StringRows<Offset>::over(
      std::span(static_cast<const std::uint8_t*>(data.data()), data.byte_length()),
      std::span(static_cast<const Offset*>(offsets.data()), offsets.byte_length() / sizeof(Offset)), bitmap,
      array_offset, length);
  record_string_rows(rows, state, ThreadPool::shared());
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

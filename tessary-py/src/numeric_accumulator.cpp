// NumericAccumulator: one numeric stream delivered in pieces. Elements are
// numbered across calls, so any split of a stream gives the snapshot of
// numeric_profile_f64 over the whole, bit for bit.
#include <cstdint>
#include <deque>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "capsule_import.hpp"
#include "entry_points.hpp"
#include "module_members.hpp"
#include "numeric_profile.hpp"
#include "result_dicts.hpp"
#include "serialized_state.hpp"

namespace tessary::py {
namespace {

// state, sketches, stream_id, position and observations.
using NumericAccumulator = NumericStreamState;

constexpr Signature<1> new_signature{"NumericAccumulator.__new__()", {{{"stream_id", false, "0"}}}};
constexpr Signature<1> update_f64_signature{"NumericAccumulator.update_f64()", {{{"values", true}}}};
constexpr Signature<1> update_arrow_signature{"NumericAccumulator.update_arrow()", {{{"array", true}}}};
constexpr Signature<2> update_arrow_columns_signature{"NumericAccumulator.update_arrow_columns()",
                                                      {{{"accumulators", true}, {"arrays", true}}}};
constexpr Signature<1> from_bytes_signature{"NumericAccumulator.from_bytes()", {{{"data", true}}}};
constexpr Signature<1> merge_signature{"NumericAccumulator.merge()", {{{"other", true}}}};
constexpr Signature<1> add_missing_signature{"NumericAccumulator.add_missing()", {{{"count", true}}}};

NumericAccumulator make(PyObject* stream_id) {
  NumericAccumulator value;
  value.stream_id = uint64_argument(stream_id, "stream_id");
  return value;
}

void update_f64(NumericAccumulator& acc, PyObject* values) {
  // Fed into a copy, kept only on success: running out of memory while the
  // quantile bins grow leaves the instance as it was.
  NumericAccumulator next = acc;
  const std::uint64_t fed = update_states(values, next.state, next.sketches, next.stream_id, next.position);
  require_room(acc, fed);  // before the copy, whose counters may have wrapped, is kept
  next.observations += fed;
  acc = std::move(next);
}

// The type check of the arrays: the ten numeric types.
void require_numeric_argument(const ArrowSchema& schema, const ArrowSchemaView& type) {
  if (is_numeric_type(type)) return;
  throw ArrowImportError(ArrowImportError::Kind::refused_type,
                         "NumericAccumulator.update_arrow() takes an Arrow array of a numeric type (int8 to "
                         "int64, uint8 to uint64, float32 or float64), not " +
                             arrow_type_text(schema) + "; tessary.profile() profiles columns of every type");
}

// Feeds a numeric array to `stream`: read in place, its values converted to
// float64 one at a time and its nulls counted as missing, as update_f64
// counts NaN, so the result is that of update_f64 on the converted values
// with nulls as NaN, bit for bit; positions advance over nulls too. With a
// pool, a long array has its moments and sketches folded side by side.
void feed_array(NumericStreamState& stream, const ImportedArray& imported, ThreadPool* pool) {
  const std::uint64_t stream_hash = splitmix64(stream.stream_id);
  read_numeric_column(imported, [&]<typename Element>(const Element* values, const std::uint8_t* validity,
                                                      std::int64_t begin, std::int64_t end) {
    if (pool != nullptr) {
      stream.sketches.observe_slots(stream.state, values, validity, begin, end, stream_hash, stream.position,
                                    *pool);
    } else {
      stream.sketches.observe_slots(stream.state, values, validity, begin, end, stream_hash, stream.position);
    }
  });
  const auto length = static_cast<std::uint64_t>(imported.view().length);
  stream.position += length;
  stream.observations += length;
}

void update_arrow(NumericAccumulator& acc, PyObject* array) {
  const ArrowImport<ImportedArray> imported = convert_argument("array", [array] {
    return ArrowImport<ImportedArray>(array, require_numeric_argument);
  });
  require_room(acc, static_cast<std::uint64_t>(imported->view().length));
  NumericAccumulator next = acc;
  feed_array(next, *imported, &ThreadPool::shared());
  acc = std::move(next);
}

// The accumulators of update_arrow_columns: each a NumericAccumulator, none
// twice, each held under its exclusive borrow for the whole call.
std::vector<NumericAccumulator*> borrow_accumulators(PyObject* accumulators,
                                                     std::deque<ExclusiveBorrow>& borrows) {
  std::vector<NumericAccumulator*> values;
  std::unordered_set<PyObject*> seen;
  const Py_ssize_t count = PyTuple_Size(accumulators);
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject* item = PyTuple_GetItem(accumulators, i);
    if (Py_TYPE(item) != reinterpret_cast<PyTypeObject*>(numeric_accumulator_type())) {
      convert_argument("accumulators", [&] {
        PyRef found = PyRef::checked(PyType_GetName(Py_TYPE(item)));
        PyErr_Format(PyExc_TypeError, "expected NumericAccumulator items, not %U", found.get());
        throw PythonError{};
      });
    }
    if (!seen.insert(item).second) {
      convert_argument("accumulators", [] {
        raise_error(PyExc_ValueError, "the same NumericAccumulator appears twice");
      });
    }
    auto& instance = Instance<NumericAccumulator>::of(item);
    borrows.emplace_back(instance.borrow);
    values.push_back(&instance.value);
  }
  return values;
}

// update_arrow(accumulators[i], arrays[i]) for every i, with one difference:
// the columns are profiled side by side on the threads of the pool. Every
// array is imported and every accumulator borrowed before any changes, and
// all change or none does.
PyRef update_arrow_columns(PyTypeObject*, PyObject* accumulators, PyObject* arrays) {
  PyRef accumulator_tuple =
      convert_argument("accumulators", [&] { return PyRef::checked(PySequence_Tuple(accumulators)); });
  PyRef array_tuple = convert_argument("arrays", [&] { return PyRef::checked(PySequence_Tuple(arrays)); });
  const Py_ssize_t count = PyTuple_Size(accumulator_tuple.get());
  if (PyTuple_Size(array_tuple.get()) != count) {
    PyErr_Format(PyExc_ValueError, "got %zd accumulators and %zd arrays; pass one array per accumulator", count,
                 PyTuple_Size(array_tuple.get()));
    throw PythonError{};
  }
  // Borrowed first: an array's export runs Python code, which must not
  // change an accumulator under way.
  std::deque<ExclusiveBorrow> borrows;
  const std::vector<NumericAccumulator*> targets = borrow_accumulators(accumulator_tuple.get(), borrows);
  std::deque<ArrowImport<ImportedArray>> imports;
  std::uint64_t longest = 0;
  for (Py_ssize_t i = 0; i < count; ++i) {
    convert_argument("arrays", [&] {
      imports.emplace_back(PyTuple_GetItem(array_tuple.get(), i), require_numeric_argument);
    });
    longest = std::max(longest, static_cast<std::uint64_t>(imports.back()->view().length));
  }
  for (Py_ssize_t i = 0; i < count; ++i) {
    require_room(*targets[i], static_cast<std::uint64_t>(imports[i]->view().length));
  }
  std::vector<NumericAccumulator> next;
  next.reserve(targets.size());
  for (const NumericAccumulator* target : targets) next.push_back(*target);
  ThreadPool& pool = ThreadPool::shared();
  if (count >= 2 && longest >= parallel_column_rows) {
    pool.run(next.size(), [&](std::size_t i) { feed_array(next[i], *imports[i], nullptr); });
  } else {
    for (std::size_t i = 0; i < next.size(); ++i) feed_array(next[i], *imports[i], &pool);
  }
  for (std::size_t i = 0; i < next.size(); ++i) *targets[i] = std::move(next[i]);
  return PyRef::borrowed(Py_None);
}

void add_missing(NumericAccumulator& acc, PyObject* count) {
  tessary::add_missing(acc, uint64_argument(count, "count"));
}

PyRef snapshot(const NumericAccumulator& acc) {
  return profile_dict(acc.state, acc.sketches, acc.observations);
}

void reset(NumericAccumulator& acc) {
  NumericAccumulator fresh;
  fresh.stream_id = acc.stream_id;
  acc = std::move(fresh);
}

PyRef observations(const NumericAccumulator& acc) { return to_python(acc.observations); }

PyRef stream_id(const NumericAccumulator& acc) { return to_python(acc.stream_id); }

// The stream's seed, position and observations travel in the bytes, so a
// restored accumulator continues the stream bit for bit.
using Serial = Serialization<NumericStreamState, numeric_accumulator_type>;

const char* const doc = class_doc<new_signature>();

constexpr const char* update_arrow_columns_doc =
    "update_arrow(accumulators[i], arrays[i]) for every i, the columns side by side on the\n"
    "engine's threads. All arrays are imported before any accumulator changes, and a failure\n"
    "changes none of them.";

PyMethodDef methods[] = {
    changing_method<update_f64_signature, update_f64>(),
    changing_method<update_arrow_signature, update_arrow>(),
    class_method<update_arrow_columns_signature, update_arrow_columns>(update_arrow_columns_doc),
    changing_method<add_missing_signature, add_missing>(
        "Counts `count` missing values at once, as update_arrow() counts that many nulls."),
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
    getter<stream_id>("stream_id"),
    getter<Serial::nbytes_member>("nbytes"),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyObject* numeric_accumulator_type() noexcept {
  return class_type<NumericAccumulator>("tessary._native.NumericAccumulator", doc,
                                        constructor<new_signature, make>, methods, getset);
}

}  // namespace tessary::py

// NumericAccumulator: one numeric stream delivered in pieces. Elements are
// numbered across calls, so any split of a stream gives the snapshot of
// numeric_profile_f64 over the whole, bit for bit.
#include <cstdint>
#include <string>
#include <utility>

#include "arrow_import.hpp"
#include "entry_points.hpp"
#include "module_members.hpp"
#include "numeric_profile.hpp"
#include "result_dicts.hpp"
#include "serialized_state.hpp"

namespace tessary::py {
namespace {

// state, sketches, stream_id, position and observations.
using NumericAccumulator = NumericStream;

constexpr Signature<1> new_signature{"NumericAccumulator.__new__()", {{{"stream_id", false, "0"}}}};
constexpr Signature<1> update_f64_signature{"NumericAccumulator.update_f64()", {{{"values", true}}}};
constexpr Signature<1> update_arrow_signature{"NumericAccumulator.update_arrow()", {{{"array", true}}}};
constexpr Signature<1> from_bytes_signature{"NumericAccumulator.from_bytes()", {{{"data", true}}}};
constexpr Signature<1> merge_signature{"NumericAccumulator.merge()", {{{"other", true}}}};

NumericAccumulator make(PyObject* stream_id) {
  NumericAccumulator value;
  value.stream_id = uint64_argument(stream_id, "stream_id");
  return value;
}

void update_f64(NumericAccumulator& acc, PyObject* values) {
  // Fed into a copy, kept only on success: running out of memory while the
  // quantile bins grow leaves the instance as it was.
  NumericAccumulator next = acc;
  next.observations += update_states(values, next.state, next.sketches, next.stream_id, next.position);
  acc = std::move(next);
}

[[noreturn]] void raise_not_numeric(const std::string& type_text) {
  raise_error(PyExc_TypeError,
              ("NumericAccumulator.update_arrow() takes an Arrow array of a numeric type (int8 to "
               "int64, uint8 to uint64, float32 or float64), not " +
               type_text + "; tessary.profile() profiles columns of every type")
                  .c_str());
}

// The array is read in place, its values converted to float64 one at a time
// and its nulls counted as missing, as update_f64 counts NaN: the result is
// that of update_f64 on the converted values with nulls as NaN, bit for bit,
// and positions advance over nulls too.
void update_arrow(NumericAccumulator& acc, PyObject* array) {
  const ArrowImport<ImportedArray> imported = convert_argument("array", [array] {
    return ArrowImport<ImportedArray>(array, raise_not_numeric, require_numeric);
  });
  NumericAccumulator next = acc;
  const std::uint64_t stream_hash = splitmix64(next.stream_id);
  read_numeric_column(*imported, [&]<typename Element>(const Element* values, const std::uint8_t* validity,
                                                       std::int64_t begin, std::int64_t end) {
    next.sketches.observe_slots(next.state, values, validity, begin, end, stream_hash, next.position,
                                ThreadPool::shared());
  });
  const auto length = static_cast<std::uint64_t>(imported->view().length);
  next.position += length;
  next.observations += length;
  acc = std::move(next);
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

// The stream's seed, position and observations travel in the bytes, so a
// restored accumulator continues the stream bit for bit.
using Serial = Serialization<NumericStream, numeric_accumulator_type>;

const char* const doc = class_doc<new_signature>();

PyMethodDef methods[] = {
    changing_method<update_f64_signature, update_f64>(),
    changing_method<update_arrow_signature, update_arrow>(),
    reading_method<snapshot>("snapshot"),
    changing_method<reset>("reset"),
    reading_method<Serial::to_bytes_member>("to_bytes", to_bytes_doc),
    class_method<from_bytes_signature, Serial::from_bytes_member>(from_bytes_doc),
    changing_method<merge_signature, Serial::merge_member>(merge_doc),
    reading_method<Serial::reduce_member>("__reduce__"),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef getset[] = {
    getter<observations>("observations"),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyObject* numeric_accumulator_type() noexcept {
  return class_type<NumericAccumulator>("tessary._native.NumericAccumulator", doc,
                                        constructor<new_signature, make>, methods, getset);
}

}  // namespace tessary::py

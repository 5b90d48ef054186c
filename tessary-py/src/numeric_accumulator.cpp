// NumericAccumulator: one numeric stream delivered in pieces. Elements are
// numbered across calls, so any split of a stream gives the snapshot of
// numeric_profile_f64 over the whole, bit for bit.
#include <utility>

#include "entry_points.hpp"
#include "module_members.hpp"
#include "numeric_profile.hpp"
#include "result_dicts.hpp"

namespace tessary::py {
namespace {

struct NumericAccumulator {
  NumericState state;
  NumericSketchState sketches;
  std::uint64_t stream_id = 0;
  std::uint64_t position = 0;
  std::uint64_t observations = 0;
};

constexpr Signature<1> new_signature{"NumericAccumulator.__new__()", {{{"stream_id", false, "0"}}}};
constexpr Signature<1> update_f64_signature{"NumericAccumulator.update_f64()", {{{"values", true}}}};

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

PyRef snapshot(const NumericAccumulator& acc) {
  return profile_dict(acc.state, acc.sketches, acc.observations);
}

void reset(NumericAccumulator& acc) {
  NumericAccumulator fresh;
  fresh.stream_id = acc.stream_id;
  acc = std::move(fresh);
}

PyRef observations(const NumericAccumulator& acc) { return to_python(acc.observations); }

const char* const doc = class_doc<new_signature>();

PyMethodDef methods[] = {
    changing_method<update_f64_signature, update_f64>(),
    reading_method<snapshot>("snapshot"),
    changing_method<reset>("reset"),
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

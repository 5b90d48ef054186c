// NumericAccumulator: one numeric stream delivered in pieces. Elements are
// numbered across calls, so any split of a stream gives the snapshot of
// numeric_profile_f64 over the whole, bit for bit.
#include <utility>

#include "argument_binder.hpp"
#include "instance.hpp"
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

using NumericAccumulatorInstance = Instance<NumericAccumulator>;

constexpr Signature<1> new_signature{"NumericAccumulator.__new__()", {{{"stream_id", false}}}};
constexpr Signature<1> update_f64_signature{"NumericAccumulator.update_f64()", {{{"values", true}}}};

PyObject* create(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    const auto [stream_id] = new_signature.bind(args, kwargs);
    NumericAccumulator value;
    value.stream_id = uint64_argument(stream_id, "stream_id");
    return new_instance(type, std::move(value));
  });
}

PyObject* update_f64(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] {
    const auto [values] = update_f64_signature.bind(args, nargs, kwnames);
    auto& instance = NumericAccumulatorInstance::of(self);
    const ExclusiveBorrow borrow(instance.borrow);
    // Fed into a copy, kept only on success: running out of memory while
    // the quantile bins grow leaves the instance as it was.
    NumericAccumulator next = instance.value;
    next.observations += update_states(values, next.state, next.sketches, next.stream_id, next.position);
    instance.value = std::move(next);
    return PyRef::borrowed(Py_None).release();
  });
}

PyObject* snapshot(PyObject* self, PyObject*) {
  return guarded([&] {
    auto& instance = NumericAccumulatorInstance::of(self);
    const SharedBorrow borrow(instance.borrow);
    const NumericAccumulator& acc = instance.value;
    return profile_dict(acc.state, acc.sketches, acc.observations).release();
  });
}

PyObject* reset(PyObject* self, PyObject*) {
  return guarded([&] {
    auto& instance = NumericAccumulatorInstance::of(self);
    const ExclusiveBorrow borrow(instance.borrow);
    NumericAccumulator fresh;
    fresh.stream_id = instance.value.stream_id;
    instance.value = std::move(fresh);
    return PyRef::borrowed(Py_None).release();
  });
}

PyObject* get_observations(PyObject* self, void*) {
  return guarded([&] {
    auto& instance = NumericAccumulatorInstance::of(self);
    const SharedBorrow borrow(instance.borrow);
    return to_python(instance.value.observations).release();
  });
}

PyMethodDef methods[] = {
    {"update_f64", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(update_f64)),
     METH_FASTCALL | METH_KEYWORDS, "update_f64($self, values)\n--\n\n"},
    {"snapshot", snapshot, METH_NOARGS, "snapshot($self)\n--\n\n"},
    {"reset", reset, METH_NOARGS, "reset($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef getset[] = {
    {"observations", get_observations, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyObject* numeric_accumulator_type() noexcept {
  return class_type<NumericAccumulator>(
      "tessary._native.NumericAccumulator", "NumericAccumulator(stream_id=0)\n--\n\n", create,
      methods, getset);
}

}  // namespace tessary::py

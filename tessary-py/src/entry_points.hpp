#pragma once

// The entry points of the module, one wrapper per kind: a module function, a
// method that changes its instance, a method or getter that reads it, a
// class method and a constructor. Each wrapper binds the arguments by the
// callable's Signature, takes the instance's borrow (exclusive to change,
// shared to read) after binding, runs the body and maps every failure in
// the one guard. A body does its own work only:
//
//   PyRef snapshot(const NumericAccumulator& acc);
//   void update_f64(NumericAccumulator& acc, PyObject* values);
//
// and becomes one line of its class's tables:
//
//   changing_method<update_f64_signature, update_f64>(),
//
// The text signature of every docstring is derived from the same Signature,
// so a parameter list is written once.
#include <cstddef>
#include <span>
#include <string_view>
#include <tuple>
#include <type_traits>

#include "argument_binder.hpp"
#include "instance.hpp"

namespace tessary::py {

// The name that a display name gives its callable: "update_f64" for
// "NumericAccumulator.update_f64()", "NumericAccumulator" for
// "NumericAccumulator.__new__()". The text lives as long as the process.
const char* callable_name(std::string_view display_name);

// "name(a, b=0)\n--\n\n" followed by `body`; with a `bound_name` ("$self" for
// a method, "$type" for a class method) first: "name($self, a)". The text
// lives as long as the process.
const char* docstring(const char* name, const char* bound_name,
                      std::span<const Parameter> parameters, const char* body = "");

namespace entry_detail {

// The instance type that a body takes first: Value& or const Value&.
template <class Body>
struct FirstArgument;
template <class R, class First, class... Rest>
struct FirstArgument<R (*)(First, Rest...)> {
  using type = std::remove_cvref_t<First>;
};
template <auto Body>
using ValueOf = typename FirstArgument<decltype(Body)>::type;

// A body's result as a new reference: a PyRef is released, void is None.
template <auto Body, class... Args>
PyObject* run(Args&&... args) {
  if constexpr (std::is_void_v<decltype(Body(std::forward<Args>(args)...))>) {
    Body(std::forward<Args>(args)...);
    return PyRef::borrowed(Py_None).release();
  } else {
    return Body(std::forward<Args>(args)...).release();
  }
}

template <class F>
PyCFunction as_cfunction(F* function) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

template <const auto& Sig, auto Body>
PyObject* function_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] {
    return std::apply([](auto... a) { return run<Body>(a...); }, Sig.bind(args, nargs, kwnames));
  });
}

// A method with parameters under the instance's Borrow (exclusive to
// change, shared to read; a reading body takes its value as const).
template <class Borrow, const auto& Sig, auto Body>
PyObject* method_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] {
    const auto bound = Sig.bind(args, nargs, kwnames);
    auto& instance = Instance<ValueOf<Body>>::of(self);
    const Borrow borrow(instance.borrow);
    return std::apply([&](auto... a) { return run<Body>(instance.value, a...); }, bound);
  });
}

template <auto Body>
PyObject* changing_noargs_entry(PyObject* self, PyObject*) {
  return guarded([&] {
    auto& instance = Instance<ValueOf<Body>>::of(self);
    const ExclusiveBorrow borrow(instance.borrow);
    return run<Body>(instance.value);
  });
}

template <auto Body>
PyObject* reading_noargs_entry(PyObject* self, PyObject*) {
  return guarded([&] {
    auto& instance = Instance<ValueOf<Body>>::of(self);
    const SharedBorrow borrow(instance.borrow);
    return run<Body>(std::as_const(instance.value));
  });
}

template <auto Body>
PyObject* getter_entry(PyObject* self, void*) {
  return reading_noargs_entry<Body>(self, nullptr);
}

template <const auto& Sig, auto Body>
PyObject* class_entry(PyObject* type, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] {
    const auto bound = Sig.bind(args, nargs, kwnames);
    return std::apply([&](auto... a) { return run<Body>(reinterpret_cast<PyTypeObject*>(type), a...); },
                      bound);
  });
}

template <const auto& Sig, auto Make>
PyObject* constructor_entry(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&] { return new_instance(type, std::apply(Make, Sig.bind(args, kwargs))); });
}

}  // namespace entry_detail

// A module function: body(bound arguments...).
template <const auto& Sig, auto Body>
PyMethodDef function(const char* doc = "") {
  const char* name = callable_name(Sig.display_name);
  return {name, entry_detail::as_cfunction(entry_detail::function_entry<Sig, Body>),
          METH_FASTCALL | METH_KEYWORDS, docstring(name, nullptr, Sig.parameters, doc)};
}

// A method that changes its instance: body(Value&, bound arguments...).
template <const auto& Sig, auto Body>
PyMethodDef changing_method(const char* doc = "") {
  const char* name = callable_name(Sig.display_name);
  return {name, entry_detail::as_cfunction(entry_detail::method_entry<ExclusiveBorrow, Sig, Body>),
          METH_FASTCALL | METH_KEYWORDS, docstring(name, "$self", Sig.parameters, doc)};
}

// A method that reads its instance: body(const Value&, bound arguments...).
template <const auto& Sig, auto Body>
PyMethodDef reading_method(const char* doc = "") {
  const char* name = callable_name(Sig.display_name);
  return {name, entry_detail::as_cfunction(entry_detail::method_entry<SharedBorrow, Sig, Body>),
          METH_FASTCALL | METH_KEYWORDS, docstring(name, "$self", Sig.parameters, doc)};
}

// Methods without parameters, which the interpreter checks itself.
template <auto Body>
PyMethodDef changing_method(const char* name, const char* doc = "") {
  return {name, entry_detail::changing_noargs_entry<Body>, METH_NOARGS,
          docstring(name, "$self", {}, doc)};
}
template <auto Body>
PyMethodDef reading_method(const char* name, const char* doc = "") {
  return {name, entry_detail::reading_noargs_entry<Body>, METH_NOARGS, docstring(name, "$self", {}, doc)};
}

// A class method: body(PyTypeObject*, bound arguments...).
template <const auto& Sig, auto Body>
PyMethodDef class_method(const char* doc = "") {
  const char* name = callable_name(Sig.display_name);
  return {name, entry_detail::as_cfunction(entry_detail::class_entry<Sig, Body>),
          METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
          docstring(name, "$type", Sig.parameters, doc)};
}

// A read-only attribute: body(const Value&).
template <auto Body>
PyGetSetDef getter(const char* name) {
  return {name, entry_detail::getter_entry<Body>, nullptr, nullptr, nullptr};
}

// tp_new from a Signature and make(bound arguments...) -> Value.
template <const auto& Sig, auto Make>
inline constexpr newfunc constructor = entry_detail::constructor_entry<Sig, Make>;

// The class docstring: "Class(parameters)\n--\n\n" + body.
template <const auto& Sig>
const char* class_doc(const char* body = "") {
  return docstring(callable_name(Sig.display_name), nullptr, Sig.parameters, body);
}

}  // namespace tessary::py

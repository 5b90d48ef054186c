#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "py_ref.hpp"
#include "tessary/numeric_state.hpp"

namespace tessary::py {

inline constexpr const char* backend_name = "rust";
inline constexpr const char* module_version = "0.2.0";

// Conversions of plain values to new Python objects.
PyRef to_python(std::uint64_t value);
PyRef to_python(double value);
PyRef to_python(const std::optional<double>& value);
PyRef to_python(const char* text);
PyRef to_python(std::string_view text);  // UTF-8

// A distinct-count estimate as an integer: rounded half away from zero,
// saturating at the ends of the unsigned range.
std::uint64_t rounded_estimate(double estimate) noexcept;

// Inserts `value` under `key`, raising on failure.
void set_item(PyObject* dict, const char* key, PyRef value);

PyRef new_dict();
PyRef new_list();
void append(PyObject* list, PyRef item);

// The thirteen exact-state keys of a NumericState.
PyRef exact_state_dict(const NumericState& state);

}  // namespace tessary::py

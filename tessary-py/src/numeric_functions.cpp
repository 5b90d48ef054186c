// The module functions over one float64 buffer.
#include "entry_points.hpp"
#include "float64_buffer.hpp"
#include "module_members.hpp"
#include "numeric_profile.hpp"
#include "result_dicts.hpp"

namespace tessary::py {
namespace {

constexpr Signature<1> numeric_state_f64_signature{"numeric_state_f64()", {{{"values", true}}}};
constexpr Signature<2> numeric_profile_f64_signature{
    "numeric_profile_f64()", {{{"values", true}, {"stream_id", false, "0"}}}};

PyRef numeric_state_f64(PyObject* values) {
  const BufferView view = checked_buffer(values);
  const std::span<const double> elements = float64_elements(view);
  NumericState state;
  state.observe_all(elements.data(), elements.size());
  PyRef dict = exact_state_dict(state);
  set_item(dict.get(), "backend", to_python(backend_name));
  set_item(dict.get(), "observations", to_python(static_cast<std::uint64_t>(elements.size())));
  return dict;
}

PyRef numeric_profile_f64(PyObject* values, PyObject* stream_id_arg) {
  const std::uint64_t stream_id = uint64_argument(stream_id_arg, "stream_id");
  NumericState state;
  NumericSketchState sketches;
  std::uint64_t position = 0;
  const std::uint64_t observations = update_states(values, state, sketches, stream_id, position);
  return profile_dict(state, sketches, observations);
}

}  // namespace

PyMethodDef numeric_state_f64_def = function<numeric_state_f64_signature, numeric_state_f64>();
PyMethodDef numeric_profile_f64_def = function<numeric_profile_f64_signature, numeric_profile_f64>();

}  // namespace tessary::py

#include "numeric_profile.hpp"

#include <cmath>

#include "float64_buffer.hpp"
#include "result_dicts.hpp"

namespace tessary::py {

std::uint64_t update_states(PyObject* values, NumericState& state, NumericSketchState& sketches,
                            std::uint64_t stream_id, std::uint64_t& position) {
  const BufferView view = checked_buffer(values);
  const std::span<const double> elements = float64_elements(view);
  sketches.observe_run(state, elements, splitmix64(stream_id), position, ThreadPool::shared());
  position += elements.size();
  return elements.size();
}

PyRef quantiles_dict(const LogQuantileSketch& quantiles) {
  static constexpr struct {
    const char* key;
    double q;
  } levels[] = {{"p01", 0.01}, {"p05", 0.05}, {"p25", 0.25}, {"p50", 0.5},
                {"p75", 0.75}, {"p95", 0.95}, {"p99", 0.99}};
  PyRef dict = new_dict();
  for (const auto& level : levels) set_item(dict.get(), level.key, to_python(quantiles.quantile(level.q)));
  set_item(dict.get(), "relative_accuracy", to_python(quantiles.relative_accuracy()));
  return dict;
}

PyRef profile_dict(const NumericState& state, const NumericSketchState& sketches,
                   std::uint64_t observations) {
  PyRef dict = exact_state_dict(state);
  set_item(dict.get(), "backend", to_python(backend_name));
  set_item(dict.get(), "observations", to_python(observations));
  set_item(dict.get(), "cardinality_estimate", to_python(rounded_estimate(sketches.hll.estimate())));
  set_item(dict.get(), "quantiles", quantiles_dict(sketches.quantiles));

  PyRef heavy_hitters = new_list();
  for (const auto& [value, count] : sketches.heavy_hitters.candidates()) {
    PyRef v = to_python(value);
    PyRef c = to_python(count);
    append(heavy_hitters.get(), PyRef::checked(PyTuple_Pack(2, v.get(), c.get())));
  }
  set_item(dict.get(), "heavy_hitters", std::move(heavy_hitters));

  PyRef reservoir = new_list();
  for (const double value : sketches.reservoir.values()) append(reservoir.get(), to_python(value));
  set_item(dict.get(), "reservoir", std::move(reservoir));
  return dict;
}

}  // namespace tessary::py

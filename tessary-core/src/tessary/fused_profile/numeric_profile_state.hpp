#pragma once

#include <cmath>
#include <optional>
#include <utility>

#include "tessary/numeric_state.hpp"
#include "tessary/sketches/log_quantile_sketch.hpp"

namespace tessary {

// Exact moments and quantile sketch of one numeric column, fed in one pass.
//
// Each offered value is classified once: absent and NaN count as missing,
// +/-infinity as infinite, and a finite value goes to the exact moments
// (NumericState) and then to the logarithmic quantile sketch
// (LogQuantileSketch, relative accuracy 0.01). The sketch therefore sees
// exactly the values that the moments count, and a state fed here equals,
// bit for bit, a NumericState and a LogQuantileSketch fed the same values
// separately.
//
// Invariants: exact.count == quantiles.count(); exact.count + exact.missing
// + exact.infinite is the number of values offered; every state has the
// default sketch accuracy, so any two states merge.
struct NumericProfileState {
  NumericState exact;
  LogQuantileSketch quantiles;

  void observe(std::optional<double> value) {
    if (value) {
      observe_value(*value);
    } else {
      observe_missing();
    }
  }

  // An absent value (a null slot).
  void observe_missing() noexcept { ++exact.missing; }

  // A present value.
  void observe_value(double x) {
    // One test for the common finite case; NaN and infinity are told apart after it.
    if (!is_finite_value(x)) [[unlikely]] {
      if (std::isnan(x)) {
        ++exact.missing;
      } else {
        ++exact.infinite;
      }
    } else {
      exact.observe_finite(x);
      quantiles.observe_finite(x);
    }
  }

  // Folds `incoming` into this state. This state is the left operand of the
  // moment merge and the sketch merged into; the order fixes the rounding.
  void merge(NumericProfileState&& incoming) {
    exact = NumericState::merge(exact, incoming.exact);
    quantiles.merge(std::move(incoming.quantiles));
  }
};

}  // namespace tessary

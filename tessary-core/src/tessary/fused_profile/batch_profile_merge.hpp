#pragma once

#include "tessary/fused_profile/batch_profile_state.hpp"

namespace tessary {

// BatchProfileState::merge of copies of both operands: `a` and `b` stay as
// they are (and may be one state), and a merge that fails for lack of memory
// leaves nothing half merged.
inline BatchProfileState merged(const BatchProfileState& a, const BatchProfileState& b) {
  return BatchProfileState::merge(BatchProfileState(a), BatchProfileState(b));
}

}  // namespace tessary

#pragma once

// Fused batch profiling: per-column moments and quantiles of the numeric
// columns of Arrow record batches, and the running profile over batches.
#include "tessary/fused_profile/batch_profile_state.hpp"
#include "tessary/fused_profile/numeric_profile_state.hpp"
#include "tessary/fused_profile/profile_record_batch.hpp"

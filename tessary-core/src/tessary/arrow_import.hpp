#pragma once

// The Arrow import: arrays and record batches handed over through the Arrow
// C Data Interface, taken over, validated once and read in place.
#include "tessary/arrow_import/arrow_import_error.hpp"
#include "tessary/arrow_import/imported_array.hpp"
#include "tessary/arrow_import/imported_record_batch.hpp"
#include "tessary/arrow_import/numeric_column.hpp"

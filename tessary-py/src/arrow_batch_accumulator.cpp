// ArrowBatchProfileAccumulator: the running profile of a stream of Arrow
// record batches. Each update imports one batch without copying it, profiles
// its numeric columns in one native pass each and merges the result into the
// running state; a failed import leaves the state as it was.
#include <utility>

#include "capsule_import.hpp"
#include "entry_points.hpp"
#include "module_members.hpp"
#include "numeric_profile.hpp"
#include "result_dicts.hpp"
#include "serialized_state.hpp"
#include "tessary/fused_profile.hpp"

namespace tessary::py {
namespace {

constexpr const char* sketch_policy = "moments_and_log_quantiles";

constexpr const char* class_description =
    "Persistent zero-copy Arrow batch profiler.\n\n"
    "Record batches are imported through the Arrow PyCapsule interface and\n"
    "their numeric primitive arrays are scanned natively, without building\n"
    "float64 copies and without a per-column dispatch in Python.";

using ArrowBatchProfileAccumulator = BatchProfileState;

constexpr Signature<0> new_signature{"ArrowBatchProfileAccumulator.__new__()", {}};
constexpr Signature<1> update_signature{"ArrowBatchProfileAccumulator.update()", {{{"batch", true}}}};
constexpr Signature<1> from_bytes_signature{"ArrowBatchProfileAccumulator.from_bytes()", {{{"data", true}}}};
constexpr Signature<1> merge_signature{"ArrowBatchProfileAccumulator.merge()", {{{"other", true}}}};

PyRef column_dict(const NumericProfileState& column) {
  PyRef dict = exact_state_dict(column.exact);
  set_item(dict.get(), "backend", to_python(backend_name));
  set_item(dict.get(), "observations",
           to_python(column.exact.count + column.exact.missing + column.exact.infinite));
  set_item(dict.get(), "sketch_policy", to_python(sketch_policy));
  set_item(dict.get(), "quantiles", quantiles_dict(column.quantiles));
  return dict;
}

PyRef snapshot_dict(const BatchProfileState& state) {
  PyRef profiles = new_dict();
  for (const auto& [name, column] : state.profiles) {
    PyRef key = to_python(std::string_view(name));
    PyRef value = column_dict(column);
    if (PyDict_SetItem(profiles.get(), key.get(), value.get()) != 0) throw PythonError{};
  }
  PyRef skipped = new_list();
  for (const std::string& name : state.skipped_columns) append(skipped.get(), to_python(std::string_view(name)));

  PyRef dict = new_dict();
  set_item(dict.get(), "backend", to_python(backend_name));
  set_item(dict.get(), "rows", to_python(state.rows));
  set_item(dict.get(), "sketch_policy", to_python(sketch_policy));
  set_item(dict.get(), "profiles", std::move(profiles));
  set_item(dict.get(), "skipped_columns", std::move(skipped));
  return dict;
}

ArrowBatchProfileAccumulator make() { return {}; }

void update(ArrowBatchProfileAccumulator& acc, PyObject* batch) {
  // The import is complete and validated before the state is touched.
  const ArrowImport<ImportedRecordBatch> imported =
      convert_argument("batch", [batch] { return import_record_batch(batch); });
  // Every column counts at most `rows` values, so rows that fit fit them too.
  if (count_sum_overflows(acc.rows, imported->view().rows)) throw CountOverflow(updated_counts_overflow);
  BatchProfileState profile = profile_record_batch(imported->view(), &ThreadPool::shared());
  // Merged into a copy of the running state, kept only on success: a
  // failure (memory running out while bins grow) leaves it as it was.
  acc = BatchProfileState::merge(acc, std::move(profile));
}

PyRef snapshot(const ArrowBatchProfileAccumulator& acc) { return snapshot_dict(acc); }

void reset(ArrowBatchProfileAccumulator& acc) { acc = ArrowBatchProfileAccumulator{}; }

PyRef rows(const ArrowBatchProfileAccumulator& acc) { return to_python(acc.rows); }

using Serial = Serialization<BatchProfileState, arrow_batch_profile_accumulator_type>;

const char* const doc = class_doc<new_signature>(class_description);

PyMethodDef methods[] = {
    changing_method<update_signature, update>(),
    reading_method<snapshot>("snapshot"),
    changing_method<reset>("reset"),
    reading_method<Serial::to_bytes_member>("to_bytes", to_bytes_doc),
    class_method<from_bytes_signature, Serial::from_bytes_member>(from_bytes_doc),
    changing_method<merge_signature, Serial::merge_member>(merge_doc),
    reading_method<Serial::reduce_member>("__reduce__"),
    reading_method<Serial::copy_member>("__copy__", copy_doc),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef getset[] = {
    getter<rows>("rows"),
    getter<Serial::nbytes_member>("nbytes"),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyObject* arrow_batch_profile_accumulator_type() noexcept {
  return class_type<ArrowBatchProfileAccumulator>(
      "tessary._native.ArrowBatchProfileAccumulator", doc, constructor<new_signature, make>, methods,
      getset);
}

}  // namespace tessary::py

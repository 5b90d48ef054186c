// TableAccumulator: the running profile of a table that arrives as Arrow
// record batches, one state per column of every type (the core's
// TableProfile). An update imports one batch without copying it and
// profiles it with the interpreter lock released: the batch's producer and
// this instance stay owned by the call (the instance under its exclusive
// borrow), and the engine touches no Python object.
#include <algorithm>
#include <bit>
#include <cmath>
#include <exception>
#include <string>
#include <unordered_set>
#include <utility>
#include <variant>
#include <vector>

#include "capsule_import.hpp"
#include "entry_points.hpp"
#include "module_members.hpp"
#include "result_dicts.hpp"
#include "serialized_state.hpp"
#include "tessary/table_profile/table_profile.hpp"

namespace tessary::py {
namespace {

using TableAccumulator = TableProfile;

constexpr Signature<1> new_signature{"TableAccumulator.__new__()", {{{"stream_id", false, "0"}}}};
constexpr Signature<1> update_signature{"TableAccumulator.update()", {{{"batch", true}}}};
constexpr Signature<1> from_bytes_signature{"TableAccumulator.from_bytes()", {{{"data", true}}}};
constexpr Signature<2> merge_signature{"TableAccumulator.merge()",
                                       {{{"other", true}, {"columns", false, "None"}}}};

constexpr const char* class_description =
    "The running profile of a table delivered as Arrow record batches: one state per column\n"
    "of every type, the columns of a batch profiled side by side on the engine's threads\n"
    "without the interpreter lock. A failed update or merge leaves the state as it was.";

TableAccumulator make(PyObject* stream_id) { return TableAccumulator(uint64_argument(stream_id, "stream_id")); }

// Runs `work` with the interpreter lock released, and rethrows its failure
// once the lock is back. The lock is taken back in this frame, not in a
// destructor: at interpreter exit the thread may be ended right there.
template <class Work>
void without_interpreter_lock(Work&& work) {
  std::exception_ptr failure;
  PyThreadState* saved = PyEval_SaveThread();
  try {
    work();
  } catch (...) {
    failure = std::current_exception();
  }
  PyEval_RestoreThread(saved);
  if (failure) std::rethrow_exception(failure);
}

void update(TableAccumulator& acc, PyObject* batch) {
  const ArrowImport<ImportedRecordBatch> imported =
      convert_argument("batch", [batch] { return import_record_batch(batch); });
  without_interpreter_lock([&] { acc.update(imported->view(), &ThreadPool::shared()); });
}

void merge(TableAccumulator& acc, PyObject* other, PyObject* columns) {
  std::optional<std::unordered_set<std::string>> keep;
  if (columns != Py_None) {
    keep.emplace();
    convert_argument("columns", [&] {
      PyRef iterator = PyRef::checked(PyObject_GetIter(columns));
      while (PyRef item = PyRef(PyIter_Next(iterator.get()))) {
        Py_ssize_t size = 0;
        const char* text = PyUnicode_AsUTF8AndSize(item.get(), &size);
        if (text == nullptr) throw PythonError{};
        keep->emplace(text, static_cast<std::size_t>(size));
      }
      if (PyErr_Occurred() != nullptr) throw PythonError{};
    });
  }
  merge_from(acc, other, table_accumulator_type(), [&](const TableProfile& a, const TableProfile& b) {
    TableProfile out = a;
    out.merge(b, keep ? &*keep : nullptr);
    return out;
  });
}

PyRef to_python(const StoredNumber& value) {
  return std::visit(
      [](auto x) -> PyRef {
        using T = decltype(x);
        if constexpr (std::is_same_v<T, double>) {
          return py::to_python(x);
        } else if constexpr (std::is_same_v<T, std::int64_t>) {
          return PyRef::checked(PyLong_FromLongLong(x));
        } else {
          return py::to_python(std::uint64_t{x});
        }
      },
      value);
}

PyRef to_python(const std::optional<StoredNumber>& value) {
  return value ? to_python(*value) : PyRef::borrowed(Py_None);
}

// [value, count], as the figures show a top value.
PyRef pair(PyRef first, PyRef second) {
  PyRef list = PyRef::checked(PyList_New(2));
  // PyList_SetItem takes the references and cannot fail on a fresh list of two.
  PyList_SetItem(list.get(), 0, first.release());
  PyList_SetItem(list.get(), 1, second.release());
  return list;
}

// The bin edges: floats for a float column, exact ints otherwise.
PyRef histogram_dict(const HistogramSummary& histogram, bool floating) {
  PyRef edges = new_list();
  PyRef counts = new_list();
  const std::size_t bins = histogram.counts.size();
  // The last edge may lie one bin past the int64 range (a column that
  // holds 2^63 - 1): bin numbers are added as Python ints.
  PyRef first = PyRef::checked(PyLong_FromLongLong(histogram.first_bin));
  PyRef shift = PyRef::checked(PyLong_FromLong(histogram.width_exponent));
  for (std::size_t k = 0; k <= bins && bins != 0; ++k) {
    if (floating) {
      const double bin = static_cast<double>(histogram.first_bin) + static_cast<double>(k);
      append(edges.get(), py::to_python(std::ldexp(bin, histogram.width_exponent)));
    } else {
      PyRef step = PyRef::checked(PyLong_FromSize_t(k));
      PyRef bin = PyRef::checked(PyNumber_Add(first.get(), step.get()));
      append(edges.get(), PyRef::checked(PyNumber_Lshift(bin.get(), shift.get())));
    }
  }
  for (const std::uint64_t count : histogram.counts) append(counts.get(), py::to_python(count));
  PyRef dict = new_dict();
  set_item(dict.get(), "edges", std::move(edges));
  set_item(dict.get(), "counts", std::move(counts));
  return dict;
}

void set_counts(PyObject* dict, const char* kind, const std::string& type, std::uint64_t count,
                std::uint64_t missing) {
  set_item(dict, "kind", py::to_python(kind));
  set_item(dict, "type", py::to_python(std::string_view(type)));
  set_item(dict, "count", py::to_python(count));
  set_item(dict, "missing", py::to_python(missing));
}

PyRef column_dict(const TableColumn& column, const ColumnSummary& summary) {
  PyRef dict = new_dict();
  PyObject* d = dict.get();
  if (const auto* number = std::get_if<NumberSummary>(&summary)) {
    const NumberSummary& s = *number;
    // "count" is of present values, as everywhere in tessary's figures:
    // the finite ones and the infinite ones that "infinite" counts.
    set_counts(d, "number", column.type, s.count + s.infinite, s.missing);
    set_item(d, "mean", py::to_python(s.mean));
    set_item(d, "std", py::to_python(s.std));
    set_item(d, "variance", py::to_python(s.variance));
    set_item(d, "skewness", py::to_python(s.skewness));
    set_item(d, "kurtosis", py::to_python(s.kurtosis));
    set_item(d, "min", to_python(s.minimum));
    set_item(d, "max", to_python(s.maximum));
    set_item(d, "infinite", py::to_python(s.infinite));
    PyRef quantiles = new_dict();
    static constexpr const char* keys[] = {"p01", "p05", "p25", "p50", "p75", "p95", "p99"};
    for (std::size_t i = 0; i < s.quantiles.size(); ++i) set_item(quantiles.get(), keys[i], to_python(s.quantiles[i]));
    set_item(d, "quantiles", std::move(quantiles));
    set_item(d, "distinct", py::to_python(s.distinct));
    PyRef top = new_list();
    for (const auto& [value, count] : s.top) append(top.get(), pair(to_python(value), py::to_python(count)));
    set_item(d, "top", std::move(top));
    PyRef sample = new_list();
    for (const StoredNumber& value : s.sample) append(sample.get(), to_python(value));
    set_item(d, "sample", std::move(sample));
    set_item(d, "histogram",
             histogram_dict(s.histogram, std::get<NumberColumn>(column.state).storage() == NumberStorage::float64));
    set_item(d, "exact", PyRef::borrowed(s.exact ? Py_True : Py_False));
  } else if (const auto* text = std::get_if<TextSummary>(&summary)) {
    const TextSummary& s = *text;
    set_counts(d, "text", column.type, s.count, s.missing);
    set_item(d, "distinct", py::to_python(s.distinct));
    PyRef top = new_list();
    for (const auto& [label, count] : s.top) {
      // A label cut inside a character, or bytes that are not UTF-8, read with U+FFFD.
      PyRef text = PyRef::checked(
          PyUnicode_DecodeUTF8(label.data(), static_cast<Py_ssize_t>(label.size()), "replace"));
      append(top.get(), pair(std::move(text), py::to_python(count)));
    }
    set_item(d, "top", std::move(top));
    set_item(d, "exact", PyRef::borrowed(s.exact ? Py_True : Py_False));
  } else if (const auto* boolean = std::get_if<BooleanSummary>(&summary)) {
    const BooleanSummary& s = *boolean;
    set_counts(d, "boolean", column.type, s.count, s.missing);
    set_item(d, "true", py::to_python(s.true_count));
  } else {
    const OtherSummary& s = std::get<OtherSummary>(summary);
    set_counts(d, "other", column.type, s.count, s.missing);
  }
  return dict;
}

// Suspends the cyclic garbage collector while in scope: a snapshot is a tree
// of fresh containers, no cycles, and collecting while it grows would walk
// it again and again.
class CollectorPause {
 public:
  CollectorPause() noexcept : was_enabled_(PyGC_Disable() != 0) {}
  ~CollectorPause() {
    if (was_enabled_) PyGC_Enable();
  }
  CollectorPause(const CollectorPause&) = delete;
  CollectorPause& operator=(const CollectorPause&) = delete;

 private:
  bool was_enabled_;
};

PyRef snapshot(const TableAccumulator& acc) {
  const CollectorPause pause;
  PyRef columns = new_dict();
  // The figures are worked out on the pool a slice of columns at a time, so
  // that those waiting for their dicts stay few.
  constexpr std::size_t slice = 256;
  const std::vector<TableColumn>& all = acc.columns();
  for (std::size_t first = 0; first < all.size(); first += slice) {
    const std::size_t last = std::min(all.size(), first + slice);
    const std::vector<ColumnSummary> summaries = acc.summaries(first, last, &ThreadPool::shared());
    for (std::size_t j = first; j < last; ++j) {
      PyRef key = py::to_python(std::string_view(all[j].name));
      PyRef value = column_dict(all[j], summaries[j - first]);
      if (PyDict_SetItem(columns.get(), key.get(), value.get()) != 0) throw PythonError{};
    }
  }
  PyRef dict = new_dict();
  set_item(dict.get(), "rows", py::to_python(acc.rows()));
  set_item(dict.get(), "columns", std::move(columns));
  return dict;
}

// Words as the bytes of a native-endian array (numpy.frombuffer reads them
// without a loop): detail() may hold thousands of counts per column.
template <class Word>
PyRef words(const std::vector<Word>& values) {
  return PyRef::checked(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(values.data()),
                                                  static_cast<Py_ssize_t>(values.size() * sizeof(Word))));
}

PyRef detail_dict(const TableColumn& column) {
  PyRef dict = new_dict();
  PyObject* d = dict.get();
  if (const auto* number = std::get_if<NumberColumn>(&column.state)) {
    const NumberDetail detail = number->detail();
    static constexpr const char* storage_names[] = {"float64", "int64", "uint64"};
    set_item(d, "kind", py::to_python("number"));
    set_item(d, "storage", py::to_python(storage_names[static_cast<int>(number->storage())]));
    set_item(d, "exact", PyRef::borrowed(detail.exact ? Py_True : Py_False));
    if (detail.exact) {
      std::vector<std::uint64_t> values;
      std::vector<std::uint64_t> counts;
      for (const auto& [value, count] : detail.values) {
        values.push_back(std::visit([](auto x) { return std::bit_cast<std::uint64_t>(x); }, value));
        counts.push_back(count);
      }
      set_item(d, "values", words(values));
      set_item(d, "counts", words(counts));
    } else {
      set_item(d, "first_bin", PyRef::checked(PyLong_FromLongLong(detail.histogram.first_bin)));
      set_item(d, "width_exponent", PyRef::checked(PyLong_FromLong(detail.histogram.width_exponent)));
      set_item(d, "counts", words(detail.histogram.counts));
    }
  } else if (const auto* text_column = std::get_if<TextColumn>(&column.state)) {
    const TextDetail detail = text_column->detail();
    set_item(d, "kind", py::to_python("text"));
    set_item(d, "exact", PyRef::borrowed(detail.exact ? Py_True : Py_False));
    set_item(d, "count", py::to_python(detail.count));
    set_item(d, "undercount", py::to_python(detail.undercount));
    std::vector<std::uint64_t> hashes;
    std::vector<std::uint64_t> counts;
    std::vector<std::uint64_t> label_ends;
    std::string labels;
    for (const auto& [hash, label, count] : detail.values) {
      hashes.push_back(hash);
      counts.push_back(count);
      labels += label;
      label_ends.push_back(labels.size());
    }
    set_item(d, "hashes", words(hashes));
    set_item(d, "counts", words(counts));
    set_item(d, "labels", PyRef::checked(PyBytes_FromStringAndSize(labels.data(), static_cast<Py_ssize_t>(labels.size()))));
    set_item(d, "label_ends", words(label_ends));
  } else {
    set_item(d, "kind", py::to_python(std::holds_alternative<BooleanColumn>(column.state) ? "boolean" : "other"));
  }
  return dict;
}

PyRef detail(const TableAccumulator& acc) {
  const CollectorPause pause;
  PyRef columns = new_dict();
  for (const TableColumn& column : acc.columns()) {
    PyRef key = py::to_python(std::string_view(column.name));
    PyRef value = detail_dict(column);
    if (PyDict_SetItem(columns.get(), key.get(), value.get()) != 0) throw PythonError{};
  }
  return columns;
}

PyRef rows(const TableAccumulator& acc) { return py::to_python(acc.rows()); }

PyRef stream_id(const TableAccumulator& acc) { return py::to_python(acc.stream_id()); }

using Serial = Serialization<TableProfile, table_accumulator_type>;

const char* const doc = class_doc<new_signature>(class_description);

PyMethodDef methods[] = {
    changing_method<update_signature, update>(
        "Profiles one record batch (any object with __arrow_c_array__ exporting a struct array)."),
    reading_method<snapshot>("snapshot", "{'rows': int, 'columns': {name: figures}}, columns in order of appearance."),
    reading_method<detail>(
        "detail",
        "{name: detail}: what a comparison of two profiles needs beyond snapshot(); arrays are\n"
        "bytes of native-endian 8-byte words (numpy.frombuffer). Number columns: 'storage'\n"
        "('float64', 'int64' or 'uint64'), 'exact' and, in exact mode, 'values' (every finite\n"
        "value, ascending, in its storage) and 'counts' (uint64); else the fine histogram:\n"
        "'first_bin', 'width_exponent' and 'counts' (uint64, exact), bin k covering\n"
        "[(first_bin + k) 2^width_exponent, (first_bin + k + 1) 2^width_exponent). Text columns:\n"
        "'exact', 'count', 'hashes' (uint64, ascending), 'counts' (uint64), 'labels' (the first\n"
        "32 bytes of each value, one after another) and 'label_ends' (uint64: where each ends):\n"
        "every value in exact mode, else the heavy hitters, whose counts are short by at most\n"
        "'undercount' (a value not listed occurs at most that often)."),
    reading_method<Serial::to_bytes_member>("to_bytes", to_bytes_doc),
    class_method<from_bytes_signature, Serial::from_bytes_member>(from_bytes_doc),
    changing_method<merge_signature, merge>(
        "Folds another accumulator's rows in after this one's; with columns, only those of its\n"
        "columns that are named there. A column only one side has counts the other's rows as missing."),
    reading_method<Serial::reduce_member>("__reduce__"),
    reading_method<Serial::copy_member>("__copy__", copy_doc),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef getset[] = {
    getter<rows>("rows"),
    getter<stream_id>("stream_id"),
    getter<Serial::nbytes_member>("nbytes"),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyObject* table_accumulator_type() noexcept {
  return class_type<TableAccumulator>("tessary._native.TableAccumulator", doc, constructor<new_signature, make>,
                                      methods, getset);
}

}  // namespace tessary::py

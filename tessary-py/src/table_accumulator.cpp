// TableAccumulator: the running profile of a table that arrives as Arrow
// record batches, one state per column of every type (the core's
// TableProfile). An update imports one batch without copying it and
// profiles it with the interpreter lock released: the batch's producer and
// this instance stay owned by the call (the instance under its exclusive
// borrow), and the engine touches no Python object.
#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
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

// The instance's state: the engine's profile and, from summarise() until the
// profile next changes, the figures of its columns, which snapshot() turns
// into dicts without working them out again.
struct TableAccumulator : TableProfile {
  TableAccumulator() = default;
  TableAccumulator(TableProfile profile) : TableProfile(std::move(profile)) {}  // a merge's or decode's result
  // Set under the shared borrow too: every entry point that reads or sets
  // them holds the interpreter lock, and an update drops them under its
  // exclusive borrow before it lets the lock go.
  mutable std::shared_ptr<const std::vector<ColumnSummary>> figures;
};

}  // namespace
}  // namespace tessary::py

template <>
struct tessary::SerializedKind<tessary::py::TableAccumulator> : tessary::SerializedKind<tessary::TableProfile> {};

namespace tessary::py {
namespace {

constexpr Signature<1> new_signature{"TableAccumulator.__new__()", {{{"stream_id", false, "0"}}}};
constexpr Signature<2> update_signature{"TableAccumulator.update()",
                                        {{{"batch", true}, {"summarise", false, "False"}}}};
constexpr Signature<1> snapshot_signature{"TableAccumulator.snapshot()", {{{"columns", false, "None"}}}};
constexpr Signature<1> from_bytes_signature{"TableAccumulator.from_bytes()", {{{"data", true}}}};
constexpr Signature<2> merge_signature{"TableAccumulator.merge()",
                                       {{{"other", true}, {"columns", false, "None"}}}};

constexpr const char* class_description =
    "The running profile of a table delivered as Arrow record batches: one state per column\n"
    "of every type, the columns of a batch profiled side by side on the engine's threads\n"
    "without the interpreter lock. A failed update or merge leaves the state as it was.";

TableAccumulator make(PyObject* stream_id) { return TableProfile(uint64_argument(stream_id, "stream_id")); }

// The column names that the argument `parameter` lists (any iterable of str).
std::vector<std::string> names_argument(const char* parameter, PyObject* names) {
  std::vector<std::string> out;
  convert_argument(parameter, [&] {
    PyRef iterator = PyRef::checked(PyObject_GetIter(names));
    while (PyRef item = PyRef(PyIter_Next(iterator.get()))) {
      Py_ssize_t size = 0;
      const char* text = PyUnicode_AsUTF8AndSize(item.get(), &size);
      if (text == nullptr) throw PythonError{};
      out.emplace_back(text, static_cast<std::size_t>(size));
    }
    if (PyErr_Occurred() != nullptr) throw PythonError{};
  });
  return out;
}

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

void update(TableAccumulator& acc, PyObject* batch, PyObject* summarise) {
  const bool with_figures = summarise != nullptr && convert_argument("summarise", [summarise] {
    const int truth = PyObject_IsTrue(summarise);
    if (truth < 0) throw PythonError{};
    return truth != 0;
  });
  const ArrowImport<ImportedRecordBatch> imported =
      convert_argument("batch", [batch] { return import_record_batch(batch); });
  acc.figures.reset();
  // Made before the update, so that nothing can fail once it has committed.
  auto figures = with_figures ? std::make_shared<std::vector<ColumnSummary>>() : nullptr;
  without_interpreter_lock([&] { acc.update(imported->view(), &ThreadPool::shared(), figures.get()); });
  acc.figures = std::move(figures);
}

void merge(TableAccumulator& acc, PyObject* other, PyObject* columns) {
  std::optional<std::unordered_set<std::string>> keep;
  if (columns != nullptr && columns != Py_None) {
    std::vector<std::string> names = names_argument("columns", columns);
    keep.emplace(std::make_move_iterator(names.begin()), std::make_move_iterator(names.end()));
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

// A list of n items, item(i) at i.
template <class Item>
PyRef list_of(std::size_t n, Item&& item) {
  PyRef list = PyRef::checked(PyList_New(static_cast<Py_ssize_t>(n)));
  // PyList_SetItem takes the reference and cannot fail on a fresh list's own slot.
  for (std::size_t i = 0; i < n; ++i) PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item(i).release());
  return list;
}

// The strings a snapshot repeats in every column's dict, made once per
// snapshot: keys, kinds and type names.
class Strings {
 public:
  enum Name : std::size_t {
    kind, type, count, missing, mean, std_dev, variance, skewness, kurtosis, minimum, maximum, infinite,
    quantiles, p01, p05, p25, p50, p75, p95, p99, distinct, top, sample, histogram, edges,
    counts, exact, true_count, number, text, boolean, other, names
  };

  Strings() {
    static constexpr const char* texts[names] = {
        "kind", "type", "count", "missing", "mean", "std", "variance", "skewness", "kurtosis", "min",
        "max", "infinite", "quantiles", "p01", "p05", "p25", "p50", "p75", "p95", "p99", "distinct",
        "top", "sample", "histogram", "edges", "counts", "exact", "true", "number", "text", "boolean",
        "other"};
    for (std::size_t i = 0; i < names; ++i) strings_[i] = py::to_python(texts[i]);
  }

  PyObject* operator[](Name name) const noexcept { return strings_[name].get(); }

  // A column's type name, one object per distinct name.
  PyRef type_name(const std::string& name) {
    auto [at, added] = types_.try_emplace(name);
    if (added) {
      try {
        at->second = py::to_python(std::string_view(name));
      } catch (...) {
        types_.erase(at);
        throw;
      }
    }
    return PyRef::borrowed(at->second.get());
  }

 private:
  std::array<PyRef, names> strings_;
  std::unordered_map<std::string, PyRef> types_;
};

void set_item(PyObject* dict, PyObject* key, PyRef value) {
  if (PyDict_SetItem(dict, key, value.get()) != 0) throw PythonError{};
}

PyRef constant(Strings& s, Strings::Name name) { return PyRef::borrowed(s[name]); }

PyRef truth(bool value) { return PyRef::borrowed(value ? Py_True : Py_False); }

// [value, count], as the figures show a top value.
PyRef pair(PyRef first, PyRef second) {
  PyRef items[2] = {std::move(first), std::move(second)};
  return list_of(2, [&](std::size_t i) { return std::move(items[i]); });
}

// The bin edges: floats for a float column, exact ints otherwise.
PyRef histogram_dict(Strings& s, const HistogramSummary& histogram, bool floating) {
  const std::size_t bins = histogram.counts.size();
  PyRef edges;
  if (floating) {
    edges = list_of(bins == 0 ? 0 : bins + 1, [&](std::size_t k) {
      const double bin = static_cast<double>(histogram.first_bin) + static_cast<double>(k);
      return py::to_python(std::ldexp(bin, histogram.width_exponent));
    });
  } else {
    // The last edge may lie one bin past the int64 range (a column that
    // holds 2^63 - 1): bin numbers are added as Python ints.
    PyRef first = PyRef::checked(PyLong_FromLongLong(histogram.first_bin));
    PyRef shift = PyRef::checked(PyLong_FromLong(histogram.width_exponent));
    edges = list_of(bins == 0 ? 0 : bins + 1, [&](std::size_t k) {
      PyRef step = PyRef::checked(PyLong_FromSize_t(k));
      PyRef bin = PyRef::checked(PyNumber_Add(first.get(), step.get()));
      return PyRef::checked(PyNumber_Lshift(bin.get(), shift.get()));
    });
  }
  PyRef counts = list_of(bins, [&](std::size_t k) { return py::to_python(histogram.counts[k]); });
  PyRef dict = new_dict();
  set_item(dict.get(), s[Strings::edges], std::move(edges));
  set_item(dict.get(), s[Strings::counts], std::move(counts));
  return dict;
}

void set_counts(Strings& s, PyObject* dict, Strings::Name kind, const std::string& type, std::uint64_t count,
                std::uint64_t missing) {
  set_item(dict, s[Strings::kind], constant(s, kind));
  set_item(dict, s[Strings::type], s.type_name(type));
  set_item(dict, s[Strings::count], py::to_python(count));
  set_item(dict, s[Strings::missing], py::to_python(missing));
}

PyRef column_dict(Strings& s, const TableColumn& column, const ColumnSummary& summary) {
  using enum Strings::Name;
  PyRef dict = new_dict();
  PyObject* d = dict.get();
  if (const auto* number = std::get_if<NumberSummary>(&summary)) {
    const NumberSummary& n = *number;
    // "count" is of present values, as everywhere in tessary's figures:
    // the finite ones and the infinite ones that "infinite" counts.
    set_counts(s, d, Strings::number, column.type, n.count + n.infinite, n.missing);
    set_item(d, s[mean], py::to_python(n.mean));
    set_item(d, s[std_dev], py::to_python(n.std));
    set_item(d, s[variance], py::to_python(n.variance));
    set_item(d, s[skewness], py::to_python(n.skewness));
    set_item(d, s[kurtosis], py::to_python(n.kurtosis));
    set_item(d, s[minimum], to_python(n.minimum));
    set_item(d, s[maximum], to_python(n.maximum));
    set_item(d, s[infinite], py::to_python(n.infinite));
    PyRef levels = new_dict();
    static constexpr Strings::Name level_keys[] = {p01, p05, p25, p50, p75, p95, p99};
    for (std::size_t i = 0; i < n.quantiles.size(); ++i) set_item(levels.get(), s[level_keys[i]], to_python(n.quantiles[i]));
    set_item(d, s[quantiles], std::move(levels));
    set_item(d, s[distinct], py::to_python(n.distinct));
    set_item(d, s[top], list_of(n.top.size(), [&](std::size_t i) {
               return pair(to_python(n.top[i].first), py::to_python(n.top[i].second));
             }));
    set_item(d, s[sample], list_of(n.sample.size(), [&](std::size_t i) { return to_python(n.sample[i]); }));
    set_item(d, s[histogram],
             histogram_dict(s, n.histogram, std::get<NumberColumn>(column.state).storage() == NumberStorage::float64));
    set_item(d, s[exact], truth(n.exact));
  } else if (const auto* text_summary = std::get_if<TextSummary>(&summary)) {
    const TextSummary& t = *text_summary;
    set_counts(s, d, text, column.type, t.count, t.missing);
    set_item(d, s[distinct], py::to_python(t.distinct));
    set_item(d, s[top], list_of(t.top.size(), [&](std::size_t i) {
               // A label cut inside a character, or bytes that are not UTF-8, read with U+FFFD.
               const std::string& label = t.top[i].first;
               return pair(PyRef::checked(PyUnicode_DecodeUTF8(label.data(), static_cast<Py_ssize_t>(label.size()),
                                                               "replace")),
                           py::to_python(t.top[i].second));
             }));
    set_item(d, s[exact], truth(t.exact));
  } else if (const auto* boolean_summary = std::get_if<BooleanSummary>(&summary)) {
    const BooleanSummary& b = *boolean_summary;
    set_counts(s, d, Strings::boolean, column.type, b.count, b.missing);
    set_item(d, s[true_count], py::to_python(b.true_count));
  } else {
    const OtherSummary& o = std::get<OtherSummary>(summary);
    set_counts(s, d, other, column.type, o.count, o.missing);
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

// The columns at `positions`, from the figures that summarise() kept or,
// without them, from figures that the engine's threads work out in order
// while this thread turns those ready into dicts (each dropped once turned).
PyRef snapshot(const TableAccumulator& acc, PyObject* names) {
  const std::vector<TableColumn>& all = acc.columns();
  std::vector<std::size_t> positions;
  if (names == nullptr || names == Py_None) {
    positions.resize(all.size());
    for (std::size_t i = 0; i < all.size(); ++i) positions[i] = i;
  } else {
    for (const std::string& name : names_argument("columns", names)) {
      const std::optional<std::size_t> found = acc.find(name);
      if (!found) raise_error(PyExc_KeyError, ("no column is named '" + name + "'").c_str());
      positions.push_back(*found);
    }
  }
  const CollectorPause pause;
  Strings strings;
  PyRef columns = new_dict();
  const auto add = [&](std::size_t i, const ColumnSummary& summary) {
    PyRef key = py::to_python(std::string_view(all[i].name));
    PyRef value = column_dict(strings, all[i], summary);
    if (PyDict_SetItem(columns.get(), key.get(), value.get()) != 0) throw PythonError{};
  };
  if (acc.figures) {
    for (const std::size_t i : positions) add(i, (*acc.figures)[i]);
  } else {
    std::vector<std::optional<ColumnSummary>> summaries(positions.size());
    ThreadPool::shared().run_beside(
        positions.size(), [&](std::size_t k) { summaries[k].emplace(acc.summary(positions[k])); },
        [&](const auto& wait) {
          for (std::size_t k = 0; k < positions.size(); ++k) {
            wait(k);
            add(positions[k], *summaries[k]);
            summaries[k].reset();
          }
        });
  }
  PyRef dict = new_dict();
  set_item(dict.get(), "rows", py::to_python(acc.rows()));
  set_item(dict.get(), "columns", std::move(columns));
  return dict;
}

// Works out every column's figures on the engine's threads and keeps them
// for snapshot() until the profile changes.
void summarise(const TableAccumulator& acc) {
  if (acc.figures) return;
  auto figures = std::make_shared<std::vector<ColumnSummary>>(acc.columns().size());
  ThreadPool::shared().run(figures->size(), [&](std::size_t i) { (*figures)[i] = acc.summary(i); });
  acc.figures = std::move(figures);
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

using Serial = Serialization<TableAccumulator, table_accumulator_type>;

const char* const doc = class_doc<new_signature>(class_description);

PyMethodDef methods[] = {
    changing_method<update_signature, update>(
        "Profiles one record batch (any object with __arrow_c_array__ exporting a struct array).\n"
        "With summarise, also works out every column's figures as summarise() does, each on the\n"
        "thread that has just profiled its column, for a caller about to read them."),
    reading_method<snapshot_signature, snapshot>(
        "{'rows': int, 'columns': {name: figures}}: every column in order of appearance, or those\n"
        "that columns names, in its order (KeyError for a name that is not a column)."),
    reading_method<summarise>(
        "summarise",
        "Works out the figures of every column now, on the engine's threads, and keeps them for\n"
        "snapshot() until the next update or merge."),
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

#include "arrow_import.hpp"

#include <cerrno>
#include <new>
#include <string>
#include <string_view>

#include "errors.hpp"
#include "tessary/internal_error.hpp"

namespace tessary::py {

OwnedArrowArray OwnedArrowArray::take(ArrowArray* source) {
  OwnedArrowArray owner;
  // Allocated before the move: if this fails, the capsule still owns it.
  owner.array_ = std::make_unique<ArrowArray>(*source);
  source->release = nullptr;
  return owner;
}

void OwnedArrowArray::release() noexcept {
  if (array_ && array_->release != nullptr) {
    const PendingErrorStash stash;
    array_->release(array_.get());
  }
  array_.reset();
}

namespace {

[[noreturn]] void raise_type_error(const std::string& message) {
  raise_error(PyExc_TypeError, message.c_str());
}

[[noreturn]] void raise_value_error(const std::string& message) {
  raise_error(PyExc_ValueError, message.c_str());
}

// A failed nanoarrow call is a failed import: TypeError with its message.
void check_nanoarrow(ArrowErrorCode code, ArrowError& error) {
  if (code == NANOARROW_OK) return;
  if (code == ENOMEM) throw std::bad_alloc();
  if (error.message[0] == '\0') {
    raise_type_error("Arrow C Data Interface import failed with error code " + std::to_string(code));
  }
  raise_error(PyExc_TypeError, error.message);
}

// Where a structure sits below the capsule's root, for messages:
// "array", "array->children[1]", "schema->dictionary". Rendered only when a
// check fails.
struct TreePath {
  const TreePath* parent;
  const char* step;  // the root's name, or "children" / "dictionary"
  std::int64_t index;

  std::string str() const {
    std::string text = parent == nullptr ? std::string() : parent->str().append("->");
    text.append(step);
    if (index >= 0) text.append("[").append(std::to_string(index)).append("]");
    return text;
  }
};

// nanoarrow trusts every pointer of a schema; these are the ones it would
// follow, checked before it does.
void check_schema_pointers(const ArrowSchema& schema, const TreePath& path) {
  if (schema.release == nullptr) {
    if (path.parent == nullptr) raise_type_error("The ArrowSchema in the capsule has already been released");
    raise_type_error("Expected valid schema at " + path.str() + " but found a released schema");
  }
  if (schema.format == nullptr) {
    raise_type_error("Error parsing " + path.str() +
                     "->format: Expected a null-terminated string but found NULL");
  }
  if (schema.n_children < 0) {
    raise_type_error("Expected " + path.str() + "->n_children >= 0 but found " +
                     std::to_string(schema.n_children));
  }
  if (schema.n_children > 0 && schema.children == nullptr) {
    raise_type_error("Expected " + path.str() + "->children to point to " +
                     std::to_string(schema.n_children) + " children but found NULL");
  }
  for (std::int64_t i = 0; i < schema.n_children; ++i) {
    const TreePath child{&path, "children", i};
    if (schema.children[i] == nullptr) {
      raise_type_error("Expected valid schema at " + child.str() + " but found NULL");
    }
    check_schema_pointers(*schema.children[i], child);
  }
  if (schema.dictionary != nullptr) check_schema_pointers(*schema.dictionary, {&path, "dictionary", -1});
}

// The number of entries of array->buffers that nanoarrow reads before it
// compares the buffer count: the fixed buffers of the layout, and for the
// view types also the last one (the variadic buffer sizes).
std::int64_t buffers_read(const ArrowArrayView& view) {
  const bool is_view_type = view.storage_type == NANOARROW_TYPE_STRING_VIEW ||
                            view.storage_type == NANOARROW_TYPE_BINARY_VIEW;
  const int fixed = is_view_type ? NANOARROW_BINARY_VIEW_FIXED_BUFFERS : NANOARROW_MAX_FIXED_BUFFERS;
  std::int64_t count = 0;
  while (count < fixed && view.layout.buffer_type[count] != NANOARROW_BUFFER_TYPE_NONE) ++count;
  return is_view_type ? count + 1 : count;
}

// The same for the array, walked beside the view built from its schema, in
// the order in which nanoarrow reads it. Returns false where nanoarrow stops
// at a count mismatch of its own, so that its message is the one reported.
bool check_array_pointers(const ArrowArrayView& view, const ArrowArray& array, const TreePath& path) {
  if (array.release == nullptr) {
    if (path.parent == nullptr) raise_type_error("The ArrowArray in the capsule has already been released");
    raise_type_error("Expected valid array at " + path.str() + " but found a released array");
  }
  if (array.n_buffers > 0 && array.buffers == nullptr) {
    raise_type_error("Expected " + path.str() + "->buffers to point to " +
                     std::to_string(array.n_buffers) + " buffers but found NULL");
  }
  const std::int64_t read = buffers_read(view);
  if (array.n_buffers < read) {
    const bool is_view_type = view.storage_type == NANOARROW_TYPE_STRING_VIEW ||
                              view.storage_type == NANOARROW_TYPE_BINARY_VIEW;
    raise_type_error("Expected array with " + std::string(is_view_type ? "at least " : "") +
                     std::to_string(read) + " buffer(s) but found " +
                     std::to_string(array.n_buffers) + " buffer(s)");
  }
  if (array.n_children != view.n_children) return false;
  if (array.n_children > 0 && array.children == nullptr) {
    raise_type_error("Expected " + path.str() + "->children to point to " +
                     std::to_string(array.n_children) + " children but found NULL");
  }
  for (std::int64_t i = 0; i < array.n_children; ++i) {
    const TreePath child{&path, "children", i};
    if (array.children[i] == nullptr) {
      raise_type_error("Expected valid array at " + child.str() + " but found NULL");
    }
    if (!check_array_pointers(*view.children[i], *array.children[i], child)) return false;
  }
  if (array.dictionary != nullptr && view.dictionary != nullptr) {
    return check_array_pointers(*view.dictionary, *array.dictionary, {&path, "dictionary", -1});
  }
  return true;
}

// Points `view` at `array` and validates it at nanoarrow's default level,
// whose cost does not depend on the number of rows. A struct is validated
// node by node: whether its children cover its slots is a check of the
// record batch, which reports it as ValueError.
void set_array(ArrowArrayView& view, const ArrowArray& array, ArrowError& error) {
  if (view.storage_type != NANOARROW_TYPE_STRUCT || array.n_children != view.n_children) {
    check_nanoarrow(ArrowArrayViewSetArray(&view, &array, &error), error);
    return;
  }
  ArrowArray node = array;
  node.n_children = 0;
  node.children = nullptr;
  OwnedArrayView node_view;
  ArrowArrayViewInitFromType(&node_view.get(), NANOARROW_TYPE_STRUCT);
  check_nanoarrow(ArrowArrayViewSetArray(&node_view.get(), &node, &error), error);
  for (std::int64_t i = 0; i < view.n_children; ++i) {
    check_nanoarrow(ArrowArrayViewSetArray(view.children[i], array.children[i], &error), error);
  }
  // What ArrowArrayViewSetArray sets on the struct itself.
  view.array = &array;
  view.offset = node_view.get().offset;
  view.length = node_view.get().length;
  view.null_count = node_view.get().null_count;
  view.buffer_views[0] = node_view.get().buffer_views[0];
}

// Strict UTF-8, as Python decodes it: no overlong forms, no surrogates,
// nothing above U+10FFFF.
bool is_utf8(std::string_view text) noexcept {
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t size = text.size();
  for (std::size_t i = 0; i < size;) {
    const unsigned char lead = bytes[i];
    if (lead < 0x80) {
      ++i;
      continue;
    }
    std::size_t continuation = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
      continuation = 1;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      continuation = 2;
      if (lead == 0xE0) low = 0xA0;
      if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      continuation = 3;
      if (lead == 0xF0) low = 0x90;
      if (lead == 0xF4) high = 0x8F;
    } else {
      return false;
    }
    if (size - i <= continuation) return false;
    if (bytes[i + 1] < low || bytes[i + 1] > high) return false;
    for (std::size_t k = 2; k <= continuation; ++k) {
      if ((bytes[i + k] & 0xC0) != 0x80) return false;
    }
    i += continuation + 1;
  }
  return true;
}

// The names of a struct's fields become dictionary keys: one that Python
// cannot decode would make every later snapshot fail, so it is refused here.
void check_field_names(const ArrowSchema& schema) {
  for (std::int64_t i = 0; i < schema.n_children; ++i) {
    const char* name = schema.children[i]->name;
    if (name != nullptr && !is_utf8(name)) {
      raise_type_error("The name of field " + std::to_string(i) + " is not valid UTF-8");
    }
  }
}

std::string type_rendering(const ArrowSchema& schema) {
  const std::int64_t size = ArrowSchemaToString(&schema, nullptr, 0, 1);
  std::string text(static_cast<std::size_t>(size), '\0');
  ArrowSchemaToString(&schema, text.data(), size + 1, 1);
  return text;
}

// Nulls among the slots [first, first + length) of `view`. A reported count
// is trusted when it covers exactly those slots; otherwise, and when it is
// unknown (negative), the validity bitmap is counted.
std::int64_t null_count(const ArrowArrayView& view, std::int64_t first, std::int64_t length) {
  if (view.layout.buffer_type[0] != NANOARROW_BUFFER_TYPE_VALIDITY) {
    return view.storage_type == NANOARROW_TYPE_NA ? length : 0;
  }
  const std::uint8_t* validity = view.buffer_views[0].data.as_uint8;
  if (view.null_count == 0 || validity == nullptr || length == 0) return 0;
  if (view.null_count > 0 && first == 0 && length == view.length) return view.null_count;
  return length - ArrowBitCountSet(validity, view.offset + first, length);
}

ProducerRef capsule_item(PyObject* result, Py_ssize_t index) {
  ProducerRef item(PyRef::checked(PySequence_GetItem(result, index)));
  if (PyCapsule_CheckExact(item.get())) return item;
  if (item.get() == Py_None) raise_error(PyExc_TypeError, "'None' is not an instance of 'PyCapsule'");
  PyRef type_name = PyRef::checked(PyType_GetQualName(Py_TYPE(item.get())));
  PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of 'PyCapsule'", type_name.get());
  throw PythonError{};
}

}  // namespace

std::pair<ProducerRef, ProducerRef> call_arrow_c_array(PyObject* object) {
  if (PyRef probe(PyObject_GetAttrString(object, "__arrow_c_array__")); !probe) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PythonError{};
    PyErr_Clear();
    raise_error(PyExc_ValueError, "Expected an object with dunder __arrow_c_array__");
  }
  PyRef method = PyRef::checked(PyObject_GetAttrString(object, "__arrow_c_array__"));
  const ProducerRef result(PyRef::checked(PyObject_CallNoArgs(method.get())));
  if (!PyTuple_Check(result.get())) {
    raise_error(PyExc_TypeError, "Expected __arrow_c_array__ to return a tuple.");
  }
  ProducerRef schema = capsule_item(result.get(), 0);
  ProducerRef array = capsule_item(result.get(), 1);
  return {std::move(schema), std::move(array)};
}

ImportedArray import_array_pycapsules(PyObject* schema_capsule, PyObject* array_capsule) {
  auto* schema = static_cast<ArrowSchema*>(PyCapsule_GetPointer(schema_capsule, "arrow_schema"));
  if (schema == nullptr) throw PythonError{};
  auto* array = static_cast<ArrowArray*>(PyCapsule_GetPointer(array_capsule, "arrow_array"));
  if (array == nullptr) throw PythonError{};

  ImportedArray imported;
  imported.schema_capsule = ProducerRef(PyRef::borrowed(schema_capsule));
  imported.schema = schema;
  imported.array = OwnedArrowArray::take(array);
  // From here on every failure releases the array as `imported` unwinds.
  const ArrowArray& taken = *imported.array.get();
  if (taken.release == nullptr) raise_type_error("The ArrowArray in the capsule has already been released");

  check_schema_pointers(*schema, {nullptr, "schema", -1});
  ArrowError error;
  ArrowErrorInit(&error);
  check_nanoarrow(ArrowSchemaViewInit(&imported.field, schema, &error), error);
  ArrowArrayView& view = imported.view.get();
  check_nanoarrow(ArrowArrayViewInitFromSchema(&view, schema, &error), error);
  check_array_pointers(view, taken, {nullptr, "array", -1});
  set_array(view, taken, error);
  if (imported.field.type == NANOARROW_TYPE_STRUCT) check_field_names(*schema);
  return imported;
}

ImportedRecordBatch from_arrow_pycapsule(PyObject* schema_capsule, PyObject* array_capsule) {
  ImportedArray imported = import_array_pycapsules(schema_capsule, array_capsule);
  const ArrowSchema& schema = *imported.schema;
  // An extension type is not its storage type, even when that is a struct.
  if (imported.field.type != NANOARROW_TYPE_STRUCT || imported.field.extension_name.data != nullptr) {
    raise_value_error("Unexpected data type " + type_rendering(schema));
  }

  const ArrowArrayView& batch = imported.view.get();
  if (const std::int64_t nulls = null_count(batch, 0, batch.length); nulls != 0) {
    throw InternalError("Cannot convert nullable StructArray to RecordBatch: found " +
                        std::to_string(nulls) + " top-level nulls, expected 0");
  }

  const auto width = static_cast<std::size_t>(schema.n_children);
  std::vector<ArrowSchemaView> fields(width);
  std::vector<ColumnView> columns;
  columns.reserve(width);
  ArrowError error;
  ArrowErrorInit(&error);
  for (std::size_t i = 0; i < width; ++i) {
    const ArrowSchema& field = *schema.children[i];
    check_nanoarrow(ArrowSchemaViewInit(&fields[i], &field, &error), error);
    const std::string_view name = field.name != nullptr ? field.name : "";
    const ArrowArrayView& column = *batch.children[i];
    if (column.length < batch.offset + batch.length) {
      raise_value_error("Column '" + std::string(name) + "' has length " +
                        std::to_string(column.length) + " but the record batch needs " +
                        std::to_string(batch.offset + batch.length) + " (offset " +
                        std::to_string(batch.offset) + " + " + std::to_string(batch.length) +
                        " rows)");
    }
    if ((field.flags & ARROW_FLAG_NULLABLE) == 0) {
      if (const std::int64_t nulls = null_count(column, batch.offset, batch.length); nulls != 0) {
        raise_value_error("Column '" + std::string(name) +
                          "' is declared non-nullable but contains " + std::to_string(nulls) +
                          " nulls");
      }
    }
    columns.push_back({name, &fields[i], &column, batch.offset, batch.length});
  }
  const auto rows = static_cast<std::uint64_t>(batch.length);
  return ImportedRecordBatch(std::move(imported), std::move(fields), std::move(columns), rows);
}

ImportedRecordBatch import_record_batch(PyObject* object) {
  auto [schema_capsule, array_capsule] = call_arrow_c_array(object);
  return from_arrow_pycapsule(schema_capsule.get(), array_capsule.get());
}

}  // namespace tessary::py

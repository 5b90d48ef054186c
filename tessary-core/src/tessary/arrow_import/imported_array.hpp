#pragma once

#include <nanoarrow/nanoarrow.h>
#include <nanoarrow/nanoarrow.hpp>

#include <cerrno>
#include <cstdint>
#include <new>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tessary/arrow_import/arrow_import_error.hpp"

namespace tessary {

namespace arrow_import_detail {

[[noreturn]] inline void malformed(const std::string& message) {
  throw ArrowImportError(ArrowImportError::Kind::malformed, message);
}

// A failed nanoarrow call: its message, as a malformed import.
inline void check_nanoarrow(ArrowErrorCode code, const ArrowError& error) {
  if (code == NANOARROW_OK) return;
  if (code == ENOMEM) throw std::bad_alloc();
  if (error.message[0] == '\0') {
    malformed("Arrow C Data Interface import failed with error code " + std::to_string(code));
  }
  malformed(error.message);
}

// Where a structure sits below the root, for messages: "array",
// "array->children[1]", "schema->dictionary". Rendered only when a check
// fails.
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
inline void check_schema_pointers(const ArrowSchema& schema, const TreePath& path) {
  if (schema.release == nullptr) {
    if (path.parent == nullptr) malformed("The ArrowSchema in the capsule has already been released");
    malformed("Expected valid schema at " + path.str() + " but found a released schema");
  }
  if (schema.format == nullptr) {
    malformed("Error parsing " + path.str() + "->format: Expected a null-terminated string but found NULL");
  }
  if (schema.n_children < 0) {
    malformed("Expected " + path.str() + "->n_children >= 0 but found " + std::to_string(schema.n_children));
  }
  if (schema.n_children > 0 && schema.children == nullptr) {
    malformed("Expected " + path.str() + "->children to point to " + std::to_string(schema.n_children) +
              " children but found NULL");
  }
  for (std::int64_t i = 0; i < schema.n_children; ++i) {
    const TreePath child{&path, "children", i};
    if (schema.children[i] == nullptr) malformed("Expected valid schema at " + child.str() + " but found NULL");
    check_schema_pointers(*schema.children[i], child);
  }
  if (schema.dictionary != nullptr) check_schema_pointers(*schema.dictionary, {&path, "dictionary", -1});
}

inline bool is_view_type(const ArrowArrayView& view) noexcept {
  return view.storage_type == NANOARROW_TYPE_STRING_VIEW || view.storage_type == NANOARROW_TYPE_BINARY_VIEW;
}

// The number of entries of array->buffers that nanoarrow reads before it
// compares the buffer count: the fixed buffers of the layout, and for the
// view types also the last one (the variadic buffer sizes).
inline std::int64_t buffers_read(const ArrowArrayView& view) noexcept {
  const int fixed = is_view_type(view) ? NANOARROW_BINARY_VIEW_FIXED_BUFFERS : NANOARROW_MAX_FIXED_BUFFERS;
  std::int64_t count = 0;
  while (count < fixed && view.layout.buffer_type[count] != NANOARROW_BUFFER_TYPE_NONE) ++count;
  return is_view_type(view) ? count + 1 : count;
}

// The same for the array, walked beside the view built from its schema, in
// the order in which nanoarrow reads it. Returns false where nanoarrow stops
// at a count mismatch of its own, so that its message is the one reported.
inline bool check_array_pointers(const ArrowArrayView& view, const ArrowArray& array, const TreePath& path) {
  if (array.release == nullptr) {
    if (path.parent == nullptr) malformed("The ArrowArray in the capsule has already been released");
    malformed("Expected valid array at " + path.str() + " but found a released array");
  }
  if (array.n_buffers > 0 && array.buffers == nullptr) {
    malformed("Expected " + path.str() + "->buffers to point to " + std::to_string(array.n_buffers) +
              " buffers but found NULL");
  }
  const std::int64_t read = buffers_read(view);
  if (array.n_buffers < read) {
    malformed("Expected array with " + std::string(is_view_type(view) ? "at least " : "") +
              std::to_string(read) + " buffer(s) but found " + std::to_string(array.n_buffers) + " buffer(s)");
  }
  if (array.n_children != view.n_children) return false;
  if (array.n_children > 0 && array.children == nullptr) {
    malformed("Expected " + path.str() + "->children to point to " + std::to_string(array.n_children) +
              " children but found NULL");
  }
  for (std::int64_t i = 0; i < array.n_children; ++i) {
    const TreePath child{&path, "children", i};
    if (array.children[i] == nullptr) malformed("Expected valid array at " + child.str() + " but found NULL");
    if (!check_array_pointers(*view.children[i], *array.children[i], child)) return false;
  }
  if (array.dictionary != nullptr && view.dictionary != nullptr) {
    return check_array_pointers(*view.dictionary, *array.dictionary, {&path, "dictionary", -1});
  }
  return true;
}

// Points `view` at `array` and validates it at nanoarrow's default level,
// whose cost does not depend on the number of rows. A struct is validated
// node by node: whether its children cover its slots is for the record
// batch to check, with its own message.
inline void set_array(ArrowArrayView& view, const ArrowArray& array) {
  ArrowError error;
  ArrowErrorInit(&error);
  if (view.storage_type != NANOARROW_TYPE_STRUCT || array.n_children != view.n_children) {
    check_nanoarrow(ArrowArrayViewSetArray(&view, &array, &error), error);
    return;
  }
  ArrowArray node = array;
  node.n_children = 0;
  node.children = nullptr;
  nanoarrow::UniqueArrayView node_view;
  ArrowArrayViewInitFromType(node_view.get(), NANOARROW_TYPE_STRUCT);
  check_nanoarrow(ArrowArrayViewSetArray(node_view.get(), &node, &error), error);
  for (std::int64_t i = 0; i < view.n_children; ++i) {
    check_nanoarrow(ArrowArrayViewSetArray(view.children[i], array.children[i], &error), error);
  }
  // What ArrowArrayViewSetArray sets on the struct itself.
  view.array = &array;
  view.offset = node_view->offset;
  view.length = node_view->length;
  view.null_count = node_view->null_count;
  view.buffer_views[0] = node_view->buffer_views[0];
}

}  // namespace arrow_import_detail

// Arrow's textual rendering of the type that `schema` describes ("int64",
// "struct<x: double>"). The schema must have passed the import's checks.
inline std::string arrow_type_text(const ArrowSchema& schema) {
  const std::int64_t size = ArrowSchemaToString(&schema, nullptr, 0, 1);
  std::string text(static_cast<std::size_t>(size), '\0');
  ArrowSchemaToString(&schema, text.data(), size + 1, 1);
  return text;
}

// Arrow's rendering of types, each format rendered once: a type without
// children, dictionary or metadata (so without an extension name) renders
// from its format string alone.
class TypeTexts {
 public:
  std::string of(const ArrowSchema& schema) {
    if (schema.n_children != 0 || schema.dictionary != nullptr || schema.metadata != nullptr) {
      return arrow_type_text(schema);
    }
    const std::string_view format(schema.format);
    for (const auto& [known, text] : rendered_) {
      if (known == format) return text;
    }
    std::string text = arrow_type_text(schema);
    if (rendered_.size() < kept) rendered_.emplace_back(format, text);
    return text;
  }

 private:
  static constexpr std::size_t kept = 16;
  std::vector<std::pair<std::string, std::string>> rendered_;
};

// An array taken over from its producer through the Arrow C Data Interface
// and validated against its schema, read in place.
//
// Construction takes the ArrowArray over first: the structure is moved out
// and a released one (null release callback) is left in its place, so that
// the producer's container does not release it again. It then checks, in
// this order, each step reading only what the previous one has checked:
// every pointer of the schema that nanoarrow would follow, the schema
// itself, the caller's `check_type` on the parsed type (which throws to
// refuse it), every pointer of the array, and the array against the schema
// at nanoarrow's default level (buffer sizes cover offset + length; cost
// independent of the row count). Any failure throws ArrowImportError and
// releases the taken array during the throw, exactly once.
//
// Invariants of a constructed object: view() describes exactly the taken
// array, its buffers cover every slot of its offset and length, and type()
// is the parsed type of `schema`. The schema is only read: it stays owned
// by the caller and must outlive the object. Neither copyable nor movable,
// because the view points at the taken array.
class ImportedArray {
 public:
  using TypeCheck = void (*)(const ArrowSchema& schema, const ArrowSchemaView& type);

  ImportedArray(const ArrowSchema& schema, ArrowArray& source, TypeCheck check_type)
      : schema_(schema), array_(&source) {
    using namespace arrow_import_detail;
    if (array_->release == nullptr) malformed("The ArrowArray in the capsule has already been released");
    check_schema_pointers(schema, {nullptr, "schema", -1});
    ArrowError error;
    ArrowErrorInit(&error);
    check_nanoarrow(ArrowSchemaViewInit(&type_, &schema, &error), error);
    check_type(schema, type_);
    check_nanoarrow(ArrowArrayViewInitFromSchema(view_.get(), &schema, &error), error);
    check_array_pointers(*view_.get(), *array_.get(), {nullptr, "array", -1});
    set_array(*view_.get(), *array_.get());
  }

  ImportedArray(const ImportedArray&) = delete;
  ImportedArray& operator=(const ImportedArray&) = delete;

  const ArrowSchema& schema() const noexcept { return schema_; }
  const ArrowSchemaView& type() const noexcept { return type_; }
  const ArrowArrayView& view() const noexcept { return *view_.get(); }

  // Gives the taken array up without calling its release callback, which
  // is the producer's code: the array and whatever the producer holds for
  // it are leaked. For a caller that may not run that code any more (a
  // thread being ended while the process exits). Only destruction may
  // follow.
  void abandon() noexcept { array_->release = nullptr; }

 private:
  const ArrowSchema& schema_;
  nanoarrow::UniqueArray array_;
  ArrowSchemaView type_{};
  nanoarrow::UniqueArrayView view_;
};

}  // namespace tessary

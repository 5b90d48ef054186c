#pragma once

// Import of an Arrow record batch handed over through the Arrow PyCapsule
// interface (array export only: `__arrow_c_array__`), zero-copy, on the
// C Data Interface import of nanoarrow.
#include <nanoarrow/nanoarrow.h>

#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "py_ref.hpp"
#include "tessary/fused_profile.hpp"

namespace tessary::py {

// Sets a pending exception aside while a producer's code runs (a release
// callback, a capsule destructor): such code may call into Python and must
// neither see nor clear it. An exception that the code leaves behind is
// reported as unraisable.
class PendingErrorStash {
 public:
  PendingErrorStash() noexcept { PyErr_Fetch(&type_, &value_, &traceback_); }
  PendingErrorStash(const PendingErrorStash&) = delete;
  PendingErrorStash& operator=(const PendingErrorStash&) = delete;
  ~PendingErrorStash() {
    if (PyErr_Occurred() != nullptr) PyErr_WriteUnraisable(nullptr);
    PyErr_Restore(type_, value_, traceback_);
  }

 private:
  PyObject* type_ = nullptr;
  PyObject* value_ = nullptr;
  PyObject* traceback_ = nullptr;
};

// An owned reference to a producer's object (its capsules, the tuple that
// holds them) whose destruction may run the producer's code: dropped with
// any pending exception set aside.
class ProducerRef {
 public:
  ProducerRef() noexcept = default;
  explicit ProducerRef(PyRef object) noexcept : object_(std::move(object)) {}
  ProducerRef(ProducerRef&&) noexcept = default;
  ProducerRef& operator=(ProducerRef&& other) noexcept {
    if (this != &other) {
      drop();
      object_ = std::move(other.object_);
    }
    return *this;
  }
  ~ProducerRef() { drop(); }

  PyObject* get() const noexcept { return object_.get(); }

 private:
  void drop() noexcept {
    if (!object_) return;
    const PendingErrorStash stash;
    object_ = PyRef();
  }

  PyRef object_;
};

// Owns an ArrowArray taken over from its producer: calls its release
// callback exactly once, when the owner is destroyed. The structure lives on
// the heap so that views keep pointing at it when the owner moves.
class OwnedArrowArray {
 public:
  OwnedArrowArray() = default;
  // Moves `*source` out and leaves a released structure (null release
  // callback) in its place, so that the producer's capsule does not release
  // it again.
  static OwnedArrowArray take(ArrowArray* source);

  OwnedArrowArray(OwnedArrowArray&&) noexcept = default;
  OwnedArrowArray& operator=(OwnedArrowArray&& other) noexcept {
    if (this != &other) {
      release();
      array_ = std::move(other.array_);
    }
    return *this;
  }
  ~OwnedArrowArray() { release(); }

  const ArrowArray* get() const noexcept { return array_.get(); }

 private:
  void release() noexcept;

  std::unique_ptr<ArrowArray> array_;
};

// Owns the allocations of an ArrowArrayView (its child and dictionary views).
class OwnedArrayView {
 public:
  OwnedArrayView() noexcept { ArrowArrayViewInitFromType(&view_, NANOARROW_TYPE_UNINITIALIZED); }
  OwnedArrayView(OwnedArrayView&& other) noexcept {
    ArrowArrayViewInitFromType(&view_, NANOARROW_TYPE_UNINITIALIZED);
    ArrowArrayViewMove(&other.view_, &view_);
  }
  OwnedArrayView& operator=(OwnedArrayView&& other) noexcept {
    if (this != &other) {
      ArrowArrayViewReset(&view_);
      ArrowArrayViewMove(&other.view_, &view_);
    }
    return *this;
  }
  ~OwnedArrayView() { ArrowArrayViewReset(&view_); }

  ArrowArrayView& get() noexcept { return view_; }
  const ArrowArrayView& get() const noexcept { return view_; }

 private:
  ArrowArrayView view_;
};

// An imported array with its field: the array taken over from its capsule,
// validated, and the schema it was read with. The schema stays owned by its
// capsule, which this object keeps alive.
struct ImportedArray {
  ProducerRef schema_capsule;
  const ArrowSchema* schema = nullptr;
  ArrowSchemaView field{};
  OwnedArrowArray array;
  OwnedArrayView view;
};

// A record batch: the columns of an exported struct array, each the struct's
// child restricted to the struct's slots. Owns everything that its view
// points to; dropping it releases the imported array.
class ImportedRecordBatch {
 public:
  ImportedRecordBatch(ImportedArray imported, std::vector<ArrowSchemaView> fields,
                      std::vector<ColumnView> columns, std::uint64_t rows) noexcept
      : imported_(std::move(imported)),
        fields_(std::move(fields)),
        columns_(std::move(columns)),
        rows_(rows) {}

  RecordBatchView view() const noexcept { return {rows_, columns_}; }

 private:
  ImportedArray imported_;
  std::vector<ArrowSchemaView> fields_;
  std::vector<ColumnView> columns_;
  std::uint64_t rows_ = 0;
};

// The (schema capsule, array capsule) pair of `object.__arrow_c_array__()`.
std::pair<ProducerRef, ProducerRef> call_arrow_c_array(PyObject* object);

// Takes the ArrowArray over from its capsule and imports it with the type of
// the ArrowSchema. A malformed import raises TypeError; the array is then
// released at once.
ImportedArray import_array_pycapsules(PyObject* schema_capsule, PyObject* array_capsule);

// Imports an exported struct array as a record batch. A type other than a
// struct, or columns that do not fit the batch, raise ValueError; top-level
// nulls are an internal error.
ImportedRecordBatch from_arrow_pycapsule(PyObject* schema_capsule, PyObject* array_capsule);

// The whole conversion of a Python object that exports a record batch.
ImportedRecordBatch import_record_batch(PyObject* object);

}  // namespace tessary::py

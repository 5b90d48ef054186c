#pragma once

// The Arrow PyCapsule interface, consumer side, array export only
// (`__arrow_c_array__`): the protocol with the Python object and its
// capsules. Everything else of the import (taking the array over,
// validation, reading) is the core's Arrow import component.
#include <optional>
#include <string>
#include <utility>

#include "errors.hpp"
#include "py_ref.hpp"
#include "tessary/arrow_import.hpp"

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

// Lets go of something whose release runs a producer's code (a capsule
// destructor, an array's release callback), which may need the interpreter:
// `release` runs with any pending exception set aside. Once the interpreter
// exits (see interpreter_running), `leak` runs instead, and no producer
// code.
template <class Release, class Leak>
void producer_release(Release&& release, Leak&& leak) noexcept {
  if (!interpreter_running()) {
    leak();
    return;
  }
  const PendingErrorStash stash;
  release();
}

// An owned reference to a producer's object (its capsules, the tuple that
// holds them) whose destruction may run the producer's code: dropped by
// producer_release.
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
    producer_release([this] { object_ = PyRef(); }, [this] { object_.release(); });
  }

  PyRef object_;
};

// The (schema capsule, array capsule) pair of `object.__arrow_c_array__()`.
std::pair<ProducerRef, ProducerRef> call_arrow_c_array(PyObject* object);

// The structure in a capsule of the given name; the interpreter's error
// (ValueError for another name) propagates.
void* capsule_pointer(PyObject* capsule, const char* name);

// What a Python object exports, imported by the core component `Imported`
// (ImportedArray or ImportedRecordBatch), which holds the taken-over array.
// Its release callback is the producer's code: it runs with any pending
// exception set aside, exactly once, when the import fails or when this
// object is destroyed (through producer_release, so never once the
// interpreter exits). The schema capsule is kept as long as the import,
// whose views point into its ArrowSchema. Neither copyable nor movable.
template <class Imported>
class ArrowImport {
 public:
  template <class... Args>
  explicit ArrowImport(PyObject* object, Args... args) {
    auto [schema_capsule, array_capsule] = call_arrow_c_array(object);
    auto* schema = static_cast<ArrowSchema*>(capsule_pointer(schema_capsule.get(), "arrow_schema"));
    auto* array = static_cast<ArrowArray*>(capsule_pointer(array_capsule.get(), "arrow_array"));
    schema_capsule_ = std::move(schema_capsule);
    const PendingErrorStash stash;
    imported_.emplace(*schema, *array, args...);
  }
  ArrowImport(const ArrowImport&) = delete;
  ArrowImport& operator=(const ArrowImport&) = delete;
  ~ArrowImport() {
    producer_release([this] { imported_.reset(); }, [this] { imported_->abandon(); });
  }

  const Imported& operator*() const noexcept { return *imported_; }
  const Imported* operator->() const noexcept { return &*imported_; }

 private:
  ProducerRef schema_capsule_;  // destroyed after the import that reads it
  std::optional<Imported> imported_;
};

// The conversion of the `batch` argument: a record batch, with the errors
// of the record batch import ("Unexpected data type ..." for a type other
// than a plain struct).
ArrowImport<ImportedRecordBatch> import_record_batch(PyObject* object);

}  // namespace tessary::py

#pragma once

#include <stdexcept>
#include <string>
#include <utility>

namespace tessary {

// The one failure of the Arrow import: a producer's structures that cannot
// be read, or that are not what the caller asked for. The import throws it
// before anything reads a value; the binding turns `kind` into an exception
// type (and for unexpected_type phrases the message). Running out of memory is
// std::bad_alloc, and a broken invariant of our own is InternalError.
class ArrowImportError : public std::runtime_error {
 public:
  enum class Kind {
    // The structures break the C Data Interface: null or released pointers,
    // a format nanoarrow cannot parse, buffers too small for the length.
    malformed,
    // Well-formed, but not a struct, so not a record batch; the message is
    // the type's rendering.
    unexpected_type,
    // Well-formed, but of a type that the caller's own check refuses; the
    // message is the caller's sentence.
    refused_type,
    // A struct whose children do not form a record batch: a column shorter
    // than the batch, or nulls in a column declared non-nullable.
    not_a_record_batch,
  };

  ArrowImportError(Kind kind, const std::string& message)
      : std::runtime_error(message), kind_(kind) {}

  Kind kind() const noexcept { return kind_; }

 private:
  Kind kind_;
};

}  // namespace tessary

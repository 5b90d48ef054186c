#pragma once

#include <stdexcept>

namespace tessary {

// A broken invariant of a computation. Core operations never fail on data;
// this is thrown only when the code itself is wrong or misused, and the
// binding reports it as PanicException.
class InternalError : public std::logic_error {
 public:
  using std::logic_error::logic_error;
};

}  // namespace tessary

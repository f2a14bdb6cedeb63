// src/model/error.cpp: a thrown exception as an error value.
#include "model/error.h"

#include <exception>
#include <new>

namespace velvane {

Error current_exception_error() noexcept {
  // Building the text may itself run out of memory.
  try {
    throw;
  } catch (const std::bad_alloc&) {
    return Error{ErrorKind::OutOfMemory, {}};
  } catch (const std::exception& e) {
    try {
      return Error{ErrorKind::Internal, e.what()};
    } catch (...) {
      return Error{ErrorKind::OutOfMemory, {}};
    }
  } catch (...) {
    try {
      return Error{ErrorKind::Internal, "unknown C++ exception"};
    } catch (...) {
      return Error{ErrorKind::OutOfMemory, {}};
    }
  }
}

}  // namespace velvane

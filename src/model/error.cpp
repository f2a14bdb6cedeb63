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

std::string_view kind_name(ErrorKind kind) {
  switch (kind) {
    case ErrorKind::EndOfInput: return "EndOfInput";
    case ErrorKind::InvalidData: return "InvalidData";
    case ErrorKind::NegativeSize: return "NegativeSize";
    case ErrorKind::SizeLimit: return "SizeLimit";
    case ErrorKind::DepthLimit: return "DepthLimit";
    case ErrorKind::BadVersion: return "BadVersion";
    case ErrorKind::UnknownStruct: return "UnknownStruct";
    case ErrorKind::WrongShape: return "WrongShape";
    case ErrorKind::InvalidInput: return "InvalidInput";
    case ErrorKind::WriteZero: return "WriteZero";
    case ErrorKind::Os: return "Os";
    case ErrorKind::TimedOut: return "TimedOut";
    case ErrorKind::Interrupted: return "Interrupted";
    case ErrorKind::OutOfMemory: return "OutOfMemory";
    case ErrorKind::Internal: return "Internal";
  }
  return "Internal";
}

}  // namespace velvane

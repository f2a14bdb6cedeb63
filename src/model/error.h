// src/model/error.h: errors as values for the core (parser, protocols, transports).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

namespace velvane {

/// What went wrong, in the core's own terms. The Python face picks the exception class and the
/// message prefix from the kind and the operation that failed (src/python/errors.cpp).
enum class ErrorKind : uint8_t {
  EndOfInput,     // ran out of input ("failed to fill whole buffer", an IDL text that stops early)
  InvalidData,    // malformed bytes or text: type ids, UTF-8, varints, Base64, JSON, IDL
  NegativeSize,   // a length or count below zero
  SizeLimit,      // a length or count beyond what the wire can say
  DepthLimit,     // nesting deeper than the limit
  BadVersion,     // a message header of another protocol or version
  UnknownStruct,  // a struct name the schema does not hold
  WrongShape,     // a JSON value of another kind than the declared type needs
  InvalidInput,   // a caller's request the core cannot carry out
  WriteZero,      // a transport accepted no bytes
  Os,             // the operating system's error text
  TimedOut,       // an operation ran past its deadline
  Interrupted,    // a signal arrived and the caller's check asked to stop (the caller knows why)
  OutOfMemory,    // an allocation failed
  Internal,       // anything else that was thrown; the text is the exception's
};

/// The kind's name as written above ("EndOfInput", "Os", ...).
std::string_view kind_name(ErrorKind kind);

struct Error {
  ErrorKind kind = ErrorKind::InvalidData;
  std::string text;
};

/// A value or an Error. Small on purpose: `ok()`, `value()`, `error()`.
template <class T>
class Result {
 public:
  Result(T value) : v_(std::move(value)) {}
  Result(Error error) : v_(std::move(error)) {}
  bool ok() const { return v_.index() == 0; }
  explicit operator bool() const { return ok(); }
  T& value() & { return std::get<0>(v_); }
  T&& value() && { return std::get<0>(std::move(v_)); }
  const T& value() const& { return std::get<0>(v_); }
  const Error& error() const { return std::get<1>(v_); }
  Error&& take_error() { return std::get<1>(std::move(v_)); }

 private:
  std::variant<T, Error> v_;
};

/// Success or an Error, for operations without a result.
class Status {
 public:
  Status() = default;
  Status(Error error) : err_(std::move(error)), failed_(true) {}
  static Status Ok() { return {}; }
  bool ok() const { return !failed_; }
  explicit operator bool() const { return ok(); }
  const Error& error() const { return err_; }
  Error&& take_error() { return std::move(err_); }

 private:
  Error err_;
  bool failed_ = false;
};

/// The exception being handled, as an Error: OutOfMemory for std::bad_alloc, Internal with the
/// exception's text otherwise. Call only inside a catch block; never throws.
Error current_exception_error() noexcept;

}  // namespace velvane

// src/protocol/error.h: errors as values for the core (parser, protocols, transports).
#pragma once

#include <string>
#include <utility>
#include <variant>

namespace velvane {

/// What went wrong, so the Python face can pick the exception class and the message prefix.
enum class ErrorKind {
  UnexpectedEof,  // ran out of input: text "failed to fill whole buffer" inside a protocol error
  InvalidData,    // malformed bytes: protocol errors, bad UTF-8, bad headers, depth exceeded
  InvalidInput,   // a caller's value the core cannot write
  WriteZero,      // a transport accepted no bytes
  Os,             // the operating system's error text
  Type,           // surfaces as TypeError (JSON document reader)
  Value,          // surfaces as ValueError (JSON document reader, Base64)
};

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

}  // namespace velvane

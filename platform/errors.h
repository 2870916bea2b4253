// The engine's exception classes: the general error, the database and
// input/output errors, and ZorException with its table of numbered messages.
//
// Every class reports its own class name, so that a failed unattended run can
// write "ClassName: message".
#pragma once

#include <cstdint>
#include <exception>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace kivo {

// The general error: a message text and nothing else.
class Exception : public std::exception {
 public:
  explicit Exception(std::string message) : message_(std::move(message)) {}
  ~Exception() override = default;

  const char* what() const noexcept override { return message_.c_str(); }
  const std::string& Message() const noexcept { return message_; }
  virtual const char* ClassName() const noexcept { return "Exception"; }

 protected:
  std::string message_;
};

// A failure reported by the data-set layer.
class EDatabaseError : public Exception {
 public:
  using Exception::Exception;
  const char* ClassName() const noexcept override { return "EDatabaseError"; }
};

// A failure of a file operation; ErrorCode is the operating system's code (errno), 0 if none.
class EInOutError : public Exception {
 public:
  EInOutError(std::string message, int errorCode = 0)
      : Exception(std::move(message)), error_code_(errorCode) {}
  const char* ClassName() const noexcept override { return "EInOutError"; }
  int ErrorCode() const noexcept { return error_code_; }

 private:
  int error_code_;
};

// The message of the exception being handled: what() of a std::exception
// followed by ": " and each nested cause (see ThrowWithCause), "Unknown
// error" for anything else.
// REQUIRES: called inside a catch block.
std::string CurrentErrorMessage();

// Raises `error` with an error whose message is `cause` nested in it
// (std::nested_exception): the error's class and message stay as they are,
// and std::rethrow_if_nested reaches the cause. With an empty cause it
// raises `error` alone.
template <class E>
[[noreturn]] void ThrowWithCause(E error, const std::string& cause) {
  if (cause.empty()) throw error;
  try {
    throw Exception(cause);
  } catch (const Exception&) {
    std::throw_with_nested(std::move(error));
  }
}

// The messages of the causes nested in `error` (see ThrowWithCause),
// nearest first; empty when it has none.
std::vector<std::string> CausesOf(const std::exception& error);

// One argument of a formatted message: text for %s, a number for %d.
using FormatArg = std::variant<std::string, std::int64_t>;

// Fills a message template the way the engine's format routine does: %s takes
// a text argument, %d a number, %% is a literal percent sign. Arguments are
// used in order; a missing or mistyped argument is written in its other form
// (a number as decimal text, a text unchanged) and a missing one as nothing,
// so formatting a message never fails.
std::string FormatMessage(std::string_view templ, const std::vector<FormatArg>& args);

// The engine's numbered error. NativeError is the code given when raising,
// ErrorCode the number of the message template that code maps to (0 for
// "Unknown error").
//
// Message: [component name ": "] text " - Native error: " NNNNN, where NNNNN
// is the native code formatted "%5d" with blanks replaced by zeros.
class ZorException : public Exception {
 public:
  // The template is used as it stands (no formatting).
  static ZorException Create(int nativeError, std::string_view componentName = {});
  // The template is formatted with `args`.
  static ZorException CreateFmt(int nativeError, std::string_view componentName,
                                const std::vector<FormatArg>& args);

  const char* ClassName() const noexcept override { return "ZorException"; }
  int ErrorCode() const noexcept { return error_code_; }
  int NativeError() const noexcept { return native_error_; }

  // The message number for a native code (first match in the code table), 0 when absent.
  static int MessageNumberFor(int nativeError);
  // The message template with that number; "Unknown error" for an unknown number.
  static const char* MessageTemplate(int messageNumber);
  // How many (native code, message number) pairs the code table holds.
  static int CodeTableSize();

 private:
  ZorException(std::string message, int errorCode, int nativeError)
      : Exception(std::move(message)), error_code_(errorCode), native_error_(nativeError) {}

  int error_code_;
  int native_error_;
};

}  // namespace kivo

// How the library records errors in a SendMail's log and raises them.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "postwing/exception.hpp"
#include "postwing/types.hpp"

namespace postwing {
class SendMail;
}

namespace postwing::detail {

// Runtime error numbers the library raises besides its own codes.
enum RuntimeError : int32_t {
  kErrInvalidProcedureCall = 5,
  kErrOverflow = 6,
  kErrOutOfMemory = 7,
  kErrSubscriptOutOfRange = 9,
  kErrTypeMismatch = 13,
  kErrFileNotFound = 53,
  kErrFileAlreadyOpen = 55,
  kErrDiskFull = 61,
  kErrPermissionDenied = 70,
  kErrPathFileAccess = 75,
  kErrPathNotFound = 76,
  kErrInvalidPropertyValue = 380,
  kErrKeyExists = 457,
};

// The source of runtime errors and of most of the library's own errors.
inline constexpr std::string_view kSource = "postwing";
// The source the library uses for 12005 and the socket option errors.
inline constexpr std::string_view kSourceAlt = "postWing";
inline constexpr std::string_view kSourceWinsock = "Winsock";

// The standard text of a runtime error number.
std::string RuntimeErrorText(int32_t number);

// A runtime error as an Exception (source "postwing", standard text unless given).
Exception RuntimeException(int32_t number, std::string description = {});
[[noreturn]] void RaiseRuntimeError(int32_t number, std::string description = {});

// The number a MailErrors code is raised and recorded with.
constexpr int32_t ObjectErrorNumber(MailErrors code) { return vbObjectError + code; }

// Appends a record to the log of root; does nothing when root is gone.
void RecordError(const std::shared_ptr<SendMail>& root, int32_t number, std::string_view source,
                 std::string_view description, std::string_view help_file,
                 int32_t help_context, std::string_view method);
void RecordError(const std::shared_ptr<SendMail>& root, const Exception& e,
                 std::string_view method);

// A failed check on host input: one record (base added), then raised to the caller.
[[noreturn]] void RaiseMailError(const std::shared_ptr<SendMail>& root, MailErrors code,
                                 std::string_view source, std::string_view description,
                                 std::string_view method);

// Converts the exception being handled (call inside a catch block) to an Exception:
// postwing::Exception as it is, std::bad_alloc as error 7, anything else as error 5
// with its what() text.
Exception CurrentException();

// For a procedure's error handler: records the exception being handled under method
// and raises it again as an Exception with the same five values.
[[noreturn]] void RecordAndRethrow(const std::shared_ptr<SendMail>& root, std::string_view method);

}  // namespace postwing::detail

#include "core/error_report.hpp"

#include <new>

#include "postwing/errors.hpp"
#include "postwing/send_mail.hpp"

namespace postwing::detail {

std::string RuntimeErrorText(int32_t number) {
  switch (number) {
    case kErrInvalidProcedureCall: return "Invalid procedure call or argument";
    case kErrOverflow: return "Overflow";
    case kErrOutOfMemory: return "Out of memory";
    case kErrSubscriptOutOfRange: return "Subscript out of range";
    case kErrTypeMismatch: return "Type mismatch";
    case kErrFileNotFound: return "File not found";
    case kErrFileAlreadyOpen: return "File already open";
    case kErrDiskFull: return "Disk full";
    case kErrPermissionDenied: return "Permission denied";
    case kErrPathFileAccess: return "Path/File access error";
    case kErrPathNotFound: return "Path not found";
    case kErrInvalidPropertyValue: return "Invalid property value";
    case kErrKeyExists: return "This key is already associated with an element of this collection";
    default: return "Application-defined or object-defined error";
  }
}

Exception RuntimeException(int32_t number, std::string description) {
  if (description.empty()) description = RuntimeErrorText(number);
  return Exception(number, std::string(kSource), std::move(description));
}

void RaiseRuntimeError(int32_t number, std::string description) {
  throw RuntimeException(number, std::move(description));
}

void RecordError(const std::shared_ptr<SendMail>& root, int32_t number, std::string_view source,
                 std::string_view description, std::string_view help_file,
                 int32_t help_context, std::string_view method) {
  if (!root) return;
  auto log = root->Errors();
  if (!log) return;
  log->Add(number, std::string(source), std::string(description), std::string(help_file),
           help_context, std::string(method));
}

void RecordError(const std::shared_ptr<SendMail>& root, const Exception& e,
                 std::string_view method) {
  RecordError(root, e.Number(), e.Source(), e.Description(), e.HelpFile(), e.HelpContext(),
              method);
}

void RaiseMailError(const std::shared_ptr<SendMail>& root, MailErrors code,
                    std::string_view source, std::string_view description,
                    std::string_view method) {
  RecordError(root, ObjectErrorNumber(code), source, description, "", 0, method);
  throw Exception(ObjectErrorNumber(code), std::string(source), std::string(description));
}

Exception CurrentException() {
  try {
    throw;
  } catch (const Exception& e) {
    return e;
  } catch (const std::bad_alloc&) {
    return RuntimeException(kErrOutOfMemory);
  } catch (const std::exception& e) {
    return RuntimeException(kErrInvalidProcedureCall, e.what());
  } catch (...) {
    return RuntimeException(kErrInvalidProcedureCall);
  }
}

void RecordAndRethrow(const std::shared_ptr<SendMail>& root, std::string_view method) {
  Exception e = CurrentException();
  RecordError(root, e, method);
  throw e;
}

}  // namespace postwing::detail

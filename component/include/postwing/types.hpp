// Shared value types of the postwing object model.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace postwing {

// Base of every object of the model, so a Variant can hold any of them.
class Object {
 public:
  virtual ~Object() = default;
};
using ObjectRef = std::shared_ptr<Object>;

namespace detail {
struct Factory;
// Only the library makes its objects: their constructors take a key hosts cannot build.
class PassKey {
  PassKey() = default;
  friend struct Factory;
};
}  // namespace detail

// A local date and time with one-second resolution.
class Date {
 public:
  Date() = default;
  explicit Date(std::chrono::local_seconds t) : time_(t) {}
  // Builds a date from its parts (month and day from 1).
  static Date FromParts(int year, int month, int day, int hour = 0, int minute = 0, int second = 0);
  // The current local date and time.
  static Date Now();

  std::chrono::local_seconds Time() const { return time_; }
  int Year() const;
  int Month() const;
  int Day() const;
  int Hour() const;
  int Minute() const;
  int Second() const;
  // 0 = Sunday .. 6 = Saturday.
  int Weekday() const;

  friend bool operator==(const Date&, const Date&) = default;
  friend auto operator<=>(const Date&, const Date&) = default;

 private:
  std::chrono::local_seconds time_{};
};

// The automation interface's tagged value.
class Variant {
 public:
  using Array = std::vector<Variant>;
  using Storage =
      std::variant<std::monostate, int32_t, double, bool, std::string, Date, Array, ObjectRef>;

  Variant() = default;
  Variant(int32_t v) : value_(v) {}
  Variant(double v) : value_(v) {}
  Variant(bool v) : value_(v) {}
  Variant(std::string v) : value_(std::move(v)) {}
  Variant(std::string_view v) : value_(std::string(v)) {}
  Variant(const char* v) : value_(std::string(v)) {}
  Variant(Date v) : value_(v) {}
  Variant(Array v) : value_(std::move(v)) {}
  Variant(ObjectRef v) : value_(std::move(v)) {}
  template <class T>
    requires std::is_base_of_v<Object, T>
  Variant(std::shared_ptr<T> v) : value_(ObjectRef(std::move(v))) {}

  bool IsEmpty() const { return std::holds_alternative<std::monostate>(value_); }
  bool IsInteger() const { return std::holds_alternative<int32_t>(value_); }
  bool IsDouble() const { return std::holds_alternative<double>(value_); }
  bool IsNumber() const { return IsInteger() || IsDouble(); }
  bool IsBool() const { return std::holds_alternative<bool>(value_); }
  bool IsString() const { return std::holds_alternative<std::string>(value_); }
  bool IsDate() const { return std::holds_alternative<Date>(value_); }
  bool IsArray() const { return std::holds_alternative<Array>(value_); }
  bool IsObject() const { return std::holds_alternative<ObjectRef>(value_); }

  // Typed access; throws std::bad_variant_access on the wrong kind.
  int32_t AsInteger() const { return std::get<int32_t>(value_); }
  double AsDouble() const { return std::get<double>(value_); }
  bool AsBool() const { return std::get<bool>(value_); }
  const std::string& AsString() const { return std::get<std::string>(value_); }
  const Date& AsDate() const { return std::get<Date>(value_); }
  const Array& AsArray() const { return std::get<Array>(value_); }
  Array& AsArray() { return std::get<Array>(value_); }
  const ObjectRef& AsObject() const { return std::get<ObjectRef>(value_); }
  template <class T>
  std::shared_ptr<T> AsObjectOf() const {
    return IsObject() ? std::dynamic_pointer_cast<T>(AsObject()) : nullptr;
  }

  // The value as text, as the automation runtime converts it: empty gives "",
  // numbers in decimal, booleans "True"/"False", dates "YYYY-MM-DD hh:mm:ss".
  // Arrays and objects raise a type mismatch (postwing::Exception 13).
  std::string ToString() const;

  const Storage& Value() const { return value_; }
  friend bool operator==(const Variant&, const Variant&) = default;

 private:
  Storage value_;
};

// The error base for object-defined errors: the library's own codes are raised with it added.
constexpr int32_t vbObjectError = -2147221504;

enum MailErrors : int32_t {
  emxEmailHostNotSpecified = 12000,
  emxFromNotSpecified = 12001,
  emxToListNotSpecified = 12002,
  emxHostError = 12003,
  emxPropertyCannotBeSetAtThisTime = 12004,
  emxMustSpecifyFilenameWhenAttachingData = 12005,
  emxEncodeTypeNotCompatible = 12006,
  emxEncodeTypeUnknown = 12007,
  emxMIMETypeRequired = 12008,
  emxCannotSetCustomType = 12009,
  emxUnrecognizedType = 12010,
  emxHostNotFound = 12011,
  emxMIMETypeNotSupported = 12012,
  emxIllegalCharacter = 12013,
  emxTLSNotAvailable = 12014,
  emxTLSFailed = 12015,
  emxReplyTooLong = 12016,
  // The message holds content that no encoding it may use can carry intact (a header line
  // that cannot be folded under 998 octets, 8-bit or NUL text in a message without MIME).
  emxContentNotSendable = 12017,
  emxUnexpectedError = 12200,
};

enum HeaderContentTypes : int32_t {
  emxCustomHeaderContent = 1,
  emxMultipartMixed = 2,
  emxMultipartAlternative = 3,
  emxMultipartDigest = 4,
  emxMultipartParallel = 5,
};

enum BodyContentTypes : int32_t {
  emxCustomBodyContent = 1,
  emxBodyContentTypeText = 2,
  emxBodyContentTypeHTML = 3,
};

enum EncodeTypes : int32_t {
  emxCustomEncode = 1,
  emxBase64 = 2,
  emxQuotedPrintable = 3,
  emx8Bit = 4,
  emx7Bit = 5,
  emxBinary = 6,
  emxUUEncode = 7,
};

enum SourceTypes : int32_t {
  emxFile = 0,
  emxData = 1,
};

}  // namespace postwing

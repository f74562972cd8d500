#include "postwing/errors.hpp"

#include "core/error_report.hpp"
#include "core/factory.hpp"

namespace postwing {

std::shared_ptr<Error> Errors::Item(int32_t index) const {
  if (index < 1 || index > Count()) detail::RaiseRuntimeError(detail::kErrSubscriptOutOfRange);
  return records_.At(static_cast<size_t>(index - 1)).item;
}

void Errors::Clear() {
  records_.Clear();
  last_index_ = 0;
}

std::shared_ptr<Error> Errors::Add(int32_t number, std::string source, std::string description,
                                   std::string help_file, int32_t help_context,
                                   std::string method) {
  auto record = detail::Factory::Make<Error>();
  record->number_ = number;
  record->source_ = std::move(source);
  record->description_ = std::move(description);
  record->help_file_ = std::move(help_file);
  record->help_context_ = help_context;
  record->method_ = std::move(method);
  record->index_ = ++last_index_;
  records_.PushBack(record, {});
  return record;
}

}  // namespace postwing

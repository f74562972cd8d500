#include "postwing/errors.hpp"

#include "core/error_report.hpp"
#include "core/factory.hpp"
#include "core/keyed_list.hpp"

namespace postwing {

Errors::Errors(detail::PassKey) : records_(std::make_unique<detail::KeyedList<Error>>()) {}
Errors::~Errors() = default;
int32_t Errors::Count() const {
  return static_cast<int32_t>(records_->Size());
}
Errors::const_iterator Errors::begin() const {
  return records_->Begin();
}
Errors::const_iterator Errors::end() const {
  return records_->End();
}

std::shared_ptr<Error> Errors::Item(int32_t index) const {
  if (index < 1 || index > Count()) detail::RaiseRuntimeError(detail::kErrSubscriptOutOfRange);
  return records_->At(static_cast<size_t>(index - 1)).item;
}

void Errors::Clear() {
  records_->Clear();
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
  records_->PushBack(record, {});
  return record;
}

}  // namespace postwing

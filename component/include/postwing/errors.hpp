// The error log of a SendMail.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "postwing/enumeration.hpp"
#include "postwing/types.hpp"

namespace postwing {

// One record of the log; read-only to the host.
class Error : public Object {
 public:
  explicit Error(detail::PassKey) {}

  int32_t Index() const { return index_; }
  const std::string& Method() const { return method_; }
  int32_t HelpContext() const { return help_context_; }
  const std::string& HelpFile() const { return help_file_; }
  const std::string& Description() const { return description_; }
  const std::string& Source() const { return source_; }
  int32_t Number() const { return number_; }

 private:
  friend class Errors;
  int32_t number_ = 0;
  std::string source_;
  std::string description_;
  std::string help_file_;
  int32_t help_context_ = 0;
  std::string method_;
  int32_t index_ = 0;
};

// The log: records in the order they were added, never emptied by a send.
class Errors : public Object {
 public:
  using const_iterator = detail::Enumerator<Error>;

  explicit Errors(detail::PassKey);
  ~Errors() override;

  // The record at position index, from 1; raises postwing::Exception 9 outside 1..Count.
  std::shared_ptr<Error> Item(int32_t index) const;
  int32_t Count() const;
  // Empties the log; the next record gets Index 1 again.
  void Clear();

  // Library use: appends a record and returns it.
  std::shared_ptr<Error> Add(int32_t number, std::string source, std::string description,
                             std::string help_file, int32_t help_context, std::string method);

  // For-each visits the records present when the loop began, in order.
  const_iterator begin() const;
  const_iterator end() const;

 private:
  std::unique_ptr<detail::KeyedList<Error>> records_;
  int32_t last_index_ = 0;
};

}  // namespace postwing

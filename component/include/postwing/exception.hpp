// The error raised to a host.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace postwing {

// Carries the five values of an automation error. The library's own codes are raised
// with vbObjectError added: Number() - vbObjectError gives the MailErrors code back.
class Exception : public std::runtime_error {
 public:
  Exception(int32_t number, std::string source, std::string description,
            std::string help_file = {}, int32_t help_context = 0)
      : std::runtime_error(description),
        number_(number),
        source_(std::move(source)),
        description_(std::move(description)),
        help_file_(std::move(help_file)),
        help_context_(help_context) {}

  int32_t Number() const { return number_; }
  const std::string& Source() const { return source_; }
  const std::string& Description() const { return description_; }
  const std::string& HelpFile() const { return help_file_; }
  int32_t HelpContext() const { return help_context_; }

 private:
  int32_t number_;
  std::string source_;
  std::string description_;
  std::string help_file_;
  int32_t help_context_;
};

}  // namespace postwing

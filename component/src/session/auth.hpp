// SASL mechanisms for AUTH (RFC 4954), as a table: a new mechanism is one class and one row.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "session/capabilities.hpp"

namespace postwing::session {

// What a mechanism authenticates with: User, and the Password (for XOAUTH2 the token).
struct Credentials {
  std::string_view user;
  std::string_view secret;
};

// One line a mechanism writes: the line (Base64), the status text shown instead of it (a
// secret is never shown), a notice reported before it, and whether it is the last one.
struct SaslAnswer {
  std::string line;
  std::string shown;
  std::string notice;
  bool last = true;
};

class SaslMechanism {
 public:
  virtual ~SaslMechanism() = default;
  virtual std::string_view Name() const = 0;
  // The initial response written with "AUTH name", or nothing when the mechanism waits for
  // the first challenge.
  virtual std::optional<SaslAnswer> Initial(const Credentials& credentials) const = 0;
  // The answer to challenge number step (from 0), as the server sent it (Base64).
  virtual SaslAnswer Respond(int step, std::string_view challenge,
                             const Credentials& credentials) const = 0;
};

// The mechanism of this name (either case), or nullptr for one the library does not know.
const SaslMechanism* FindMechanism(std::string_view name);
// With no mechanism named: the first of the table the server offers and the connection
// suits; LOGIN when none is.
const SaslMechanism& ChooseMechanism(const Capabilities& offered, bool secure);

// text's characters as bytes, in Base64 on one line.
std::string Base64Text(std::string_view text);

}  // namespace postwing::session

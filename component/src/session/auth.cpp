#include "session/auth.hpp"

#include "codecs/base64.hpp"
#include "core/ascii.hpp"

namespace postwing::session {

std::string Base64Text(std::string_view text) {
  Base64 codec;
  codec.Init();
  ByteArray bytes;
  ByteArray encoded;
  std::string line;
  codec.StrToAry(text, bytes);
  codec.Encode(bytes, encoded);
  codec.AryToStr(encoded, line);
  return line;
}

namespace {

constexpr std::string_view kMasked = "********";

// The user name and the password, each asked for by a challenge.
const class Login final : public SaslMechanism {
 public:
  std::string_view Name() const override { return "LOGIN"; }
  std::optional<SaslAnswer> Initial(const Credentials&) const override { return std::nullopt; }
  SaslAnswer Respond(int step, std::string_view, const Credentials& c) const override {
    if (step == 0) return {Base64Text(c.user), {}, "Base64 Encoding User\r\n", false};
    const std::string secret = c.secret.empty() ? std::string() : Base64Text(c.secret);
    return {secret, secret.empty() ? std::string() : std::string(kMasked),
            "Base64 Encoding Password\r\n", true};
  }
} kLogin;

// RFC 4616: the authorisation identity (none), the user and the password in one response.
const class Plain final : public SaslMechanism {
 public:
  std::string_view Name() const override { return "PLAIN"; }
  std::optional<SaslAnswer> Initial(const Credentials& c) const override {
    std::string message;
    message.append(1, '\0').append(c.user).append(1, '\0').append(c.secret);
    return SaslAnswer{Base64Text(message), std::string(kMasked), {}, true};
  }
  SaslAnswer Respond(int, std::string_view, const Credentials& c) const override {
    return *Initial(c);
  }
} kPlain;

// Google's and Microsoft's OAuth 2.0 login: the user and the bearer token (the Password) in
// one response. A refusal comes as a challenge holding the error, answered with an empty
// line, after which the server sends its refusing reply.
const class XOAuth2 final : public SaslMechanism {
 public:
  std::string_view Name() const override { return "XOAUTH2"; }
  std::optional<SaslAnswer> Initial(const Credentials& c) const override {
    const std::string message = "user=" + std::string(c.user) +
                                "\x01"
                                "auth=Bearer " +
                                std::string(c.secret) + "\x01\x01";
    return SaslAnswer{Base64Text(message), std::string(kMasked), {}, false};
  }
  SaslAnswer Respond(int, std::string_view, const Credentials&) const override {
    return {std::string(), std::string(), {}, true};
  }
} kXOAuth2;

// Whether the table may pick a mechanism the host did not name.
enum class Automatic { kNever, kOverTls, kAlways };

struct Row {
  const SaslMechanism* mechanism;
  Automatic automatic;
};

// In order of preference.
const Row kMechanisms[] = {
    {&kPlain, Automatic::kOverTls},
    {&kLogin, Automatic::kAlways},
    {&kXOAuth2, Automatic::kNever},
};

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (detail::AsciiUpper(a[i]) != detail::AsciiUpper(b[i])) {
      return false;
    }
  }
  return true;
}

}  // namespace

const SaslMechanism* FindMechanism(std::string_view name) {
  for (const Row& row : kMechanisms) {
    if (SameName(row.mechanism->Name(), name)) return row.mechanism;
  }
  return nullptr;
}

const SaslMechanism& ChooseMechanism(const Capabilities& offered, bool secure) {
  for (const Row& row : kMechanisms) {
    const bool suits =
        row.automatic == Automatic::kAlways || (row.automatic == Automatic::kOverTls && secure);
    if (suits && offered.OffersAuth(row.mechanism->Name())) return *row.mechanism;
  }
  return kLogin;
}

}  // namespace postwing::session

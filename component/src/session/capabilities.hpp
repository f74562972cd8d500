// What a server's EHLO reply offers: its keywords and their parameters.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace postwing::session {

// Parsed once per EHLO reply (RFC 5321 4.1.1.1): each line after the first is a keyword,
// compared without regard to case, and its parameters as sent. Forgotten when the
// connection changes its security (STARTTLS), where the server is asked again.
class Capabilities {
 public:
  static Capabilities Parse(std::string_view reply);

  bool Has(std::string_view keyword) const;
  // The parameters of keyword, empty when it has none or is not offered.
  const std::vector<std::string>& Parameters(std::string_view keyword) const;
  // AUTH offers mechanism (either case).
  bool OffersAuth(std::string_view mechanism) const;
  // The SIZE limit in bytes: nullopt when SIZE is not offered, 0 when it sets no limit.
  std::optional<uint64_t> SizeLimit() const;
  void Clear() { map_.clear(); }

 private:
  std::map<std::string, std::vector<std::string>> map_;  // keyword in upper case
};

}  // namespace postwing::session

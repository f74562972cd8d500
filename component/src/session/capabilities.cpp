#include "session/capabilities.hpp"

#include <charconv>

#include "core/ascii.hpp"

namespace postwing::session {
namespace {

std::string Upper(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = detail::AsciiUpper(c);
  return out;
}

std::vector<std::string> Words(std::string_view text) {
  std::vector<std::string> words;
  size_t pos = 0;
  while (pos < text.size()) {
    const size_t start = text.find_first_not_of(" \t", pos);
    if (start == std::string_view::npos) break;
    size_t end = text.find_first_of(" \t", start);
    if (end == std::string_view::npos) end = text.size();
    words.emplace_back(text.substr(start, end - start));
    pos = end;
  }
  return words;
}

}  // namespace

Capabilities Capabilities::Parse(std::string_view reply) {
  Capabilities caps;
  // The first line names the server; the extensions follow, one a line.
  size_t start = reply.find('\n');
  start = start == std::string_view::npos ? reply.size() : start + 1;
  while (start < reply.size()) {
    size_t end = reply.find('\n', start);
    if (end == std::string_view::npos) end = reply.size();
    std::string_view line = reply.substr(start, end - start);
    start = end + 1;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.size() < 5) continue;
    std::vector<std::string> words = Words(line.substr(4));
    if (words.empty()) continue;
    std::string keyword = Upper(words.front());
    words.erase(words.begin());
    caps.map_[std::move(keyword)] = std::move(words);
  }
  return caps;
}

bool Capabilities::Has(std::string_view keyword) const {
  return map_.count(Upper(keyword)) != 0;
}

const std::vector<std::string>& Capabilities::Parameters(std::string_view keyword) const {
  static const std::vector<std::string> kNone;
  auto it = map_.find(Upper(keyword));
  return it == map_.end() ? kNone : it->second;
}

bool Capabilities::OffersAuth(std::string_view mechanism) const {
  const std::string wanted = Upper(mechanism);
  for (const auto& offered : Parameters("AUTH")) {
    if (Upper(offered) == wanted) return true;
  }
  return false;
}

std::optional<uint64_t> Capabilities::SizeLimit() const {
  if (!Has("SIZE")) return std::nullopt;
  const auto& params = Parameters("SIZE");
  uint64_t limit = 0;
  if (params.empty()) return limit;
  const std::string& text = params.front();
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), limit);
  return ec == std::errc() && end == text.data() + text.size() ? limit : 0;
}

}  // namespace postwing::session

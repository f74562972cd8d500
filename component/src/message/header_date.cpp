#include "message/header_date.hpp"

#include <array>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <vector>

#include "message/mime_texts.hpp"
#include "platform/module.hpp"

namespace postwing::detail {

namespace {

constexpr std::array<std::string_view, 7> kDayNames = {"Sun", "Mon", "Tue", "Wed",
                                                       "Thu", "Fri", "Sat"};
constexpr std::array<std::string_view, 12> kMonthNames = {"JAN", "FEB", "MAR", "APR", "MAY", "JUN",
                                                          "JUL", "AUG", "SEP", "OCT", "NOV", "DEC"};

bool AllDigits(std::string_view s) {
  if (s.empty()) return false;
  for (char c : s) {
    if (!IsAsciiDigit(c)) return false;
  }
  return true;
}
bool AllAlpha(std::string_view s) {
  if (s.empty()) return false;
  for (char c : s) {
    if (!IsAsciiAlpha(c)) return false;
  }
  return true;
}
int ToInt(std::string_view s) {
  int v = 0;
  for (char c : s) v = v * 10 + (c - '0');
  return v;
}

// Splits at blanks and commas, leaving out comments in parentheses.
std::vector<std::string_view> Tokens(std::string_view text) {
  std::vector<std::string_view> tokens;
  int depth = 0;
  size_t start = std::string_view::npos;
  for (size_t i = 0; i <= text.size(); ++i) {
    const char c = i < text.size() ? text[i] : ' ';
    const bool separator =
        depth > 0 || c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == ',' || c == '(';
    if (separator || c == ')') {
      if (start != std::string_view::npos) tokens.push_back(text.substr(start, i - start));
      start = std::string_view::npos;
      if (c == '(') ++depth;
      if (c == ')' && depth > 0) --depth;
    } else if (start == std::string_view::npos) {
      start = i;
    }
  }
  return tokens;
}

std::optional<int> MonthOf(std::string_view token) {
  if (token.size() < 3 || !AllAlpha(token)) return std::nullopt;
  const std::string head = LowerCase(token.substr(0, 3));
  for (size_t m = 0; m < kMonthNames.size(); ++m) {
    if (LowerCase(kMonthNames[m]) == head) return static_cast<int>(m) + 1;
  }
  return std::nullopt;
}

std::optional<int> ZoneOf(std::string_view token) {
  if (token.size() == 5 && (token[0] == '+' || token[0] == '-') && AllDigits(token.substr(1))) {
    const int hours = ToInt(token.substr(1, 2));
    const int minutes = ToInt(token.substr(3, 2));
    if (minutes > 59) return std::nullopt;
    const int offset = hours * 60 + minutes;
    return token[0] == '-' ? -offset : offset;
  }
  const std::string name = LowerCase(token);
  if (name == "ut" || name == "utc" || name == "gmt" || name == "z") return 0;
  if (name == "edt") return -4 * 60;
  if (name == "est" || name == "cdt") return -5 * 60;
  if (name == "cst" || name == "mdt") return -6 * 60;
  if (name == "mst" || name == "pdt") return -7 * 60;
  if (name == "pst") return -8 * 60;
  return std::nullopt;
}

}  // namespace

int LocalOffsetMinutes(const Date& date) {
  std::tm tm{};
  tm.tm_year = date.Year() - 1900;
  tm.tm_mon = date.Month() - 1;
  tm.tm_mday = date.Day();
  tm.tm_hour = date.Hour();
  tm.tm_min = date.Minute();
  tm.tm_sec = date.Second();
  tm.tm_isdst = -1;
  const std::time_t instant = std::mktime(&tm);
  const long long wall = date.Time().time_since_epoch().count();
  const long long offset_seconds = wall - static_cast<long long>(instant);
  // -1 is also a valid instant; only an implausible offset means the conversion failed.
  if (instant == static_cast<std::time_t>(-1) &&
      (offset_seconds > 18 * 3600 || offset_seconds < -18 * 3600)) {
    return LocalOffsetMinutes(Date::Now());
  }
  return static_cast<int>(offset_seconds / 60);
}

std::string ZoneText(int offset_minutes) {
  const int magnitude = offset_minutes < 0 ? -offset_minutes : offset_minutes;
  char buf[16];
  std::snprintf(buf, sizeof buf, "%c%02d%02d", offset_minutes < 0 ? '-' : '+',
                (magnitude / 60) % 100, magnitude % 60);
  return buf;
}

std::string FormatHeaderDate(const Date& date, int offset_minutes) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%s, %d %s %04d %02d:%02d:%02d ",
                std::string(kDayNames[static_cast<size_t>(date.Weekday())]).c_str(), date.Day(),
                std::string(kMonthNames[static_cast<size_t>(date.Month() - 1)]).c_str(),
                date.Year(), date.Hour(), date.Minute(), date.Second());
  return buf + ZoneText(offset_minutes);
}

std::string FormatHeaderDate(const Date& date) {
  return FormatHeaderDate(date, LocalOffsetMinutes(date));
}

std::string FormatHeaderDateNow() {
  int offset = 0;
  const std::tm t = platform::LocalTimeNow(offset);
  return FormatHeaderDate(
      Date::FromParts(t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec),
      offset);
}

std::optional<Date> ParseHeaderDate(std::string_view text) {
  const std::vector<std::string_view> tokens = Tokens(text);
  size_t i = 0;
  if (i < tokens.size() && AllAlpha(tokens[i]) && !MonthOf(tokens[i])) ++i;  // day name
  if (i + 3 > tokens.size()) return std::nullopt;
  if (!AllDigits(tokens[i]) || tokens[i].size() > 2) return std::nullopt;
  const int day = ToInt(tokens[i++]);
  const std::optional<int> month = MonthOf(tokens[i++]);
  if (!month) return std::nullopt;
  if (!AllDigits(tokens[i]) || tokens[i].size() < 2 || tokens[i].size() > 4) return std::nullopt;
  int year = ToInt(tokens[i]);
  if (tokens[i].size() == 2) year += year < 50 ? 2000 : 1900;
  if (tokens[i].size() == 3) year += 1900;
  ++i;

  int hour = 0, minute = 0, second = 0;
  if (i < tokens.size()) {
    std::string_view time = tokens[i++];
    std::array<int, 3> parts{0, 0, 0};
    size_t count = 0;
    while (count < 3) {
      const size_t colon = time.find(':');
      const std::string_view part = time.substr(0, colon);
      if (!AllDigits(part) || part.size() > 2) return std::nullopt;
      parts[count++] = ToInt(part);
      if (colon == std::string_view::npos) break;
      time.remove_prefix(colon + 1);
    }
    if (count < 2 || time.find(':') != std::string_view::npos) return std::nullopt;
    hour = parts[0];
    minute = parts[1];
    second = parts[2] == 60 ? 59 : parts[2];  // a leap second reads as the second before
    if (hour > 23 || minute > 59 || second > 59) return std::nullopt;
  } else {
    return std::nullopt;
  }
  std::optional<int> zone;
  if (i < tokens.size()) {
    zone = ZoneOf(tokens[i++]);
  }

  const std::chrono::year_month_day ymd{std::chrono::year{year},
                                        std::chrono::month{static_cast<unsigned>(*month)},
                                        std::chrono::day{static_cast<unsigned>(day)}};
  if (!ymd.ok()) return std::nullopt;
  const Date wall = Date::FromParts(year, *month, day, hour, minute, second);
  if (!zone || *zone == LocalOffsetMinutes(wall)) return wall;

  const long long instant = wall.Time().time_since_epoch().count() - *zone * 60LL;
  const std::time_t t = static_cast<std::time_t>(instant);
  std::tm tm{};
  if (localtime_r(&t, &tm) == nullptr) return wall;
  return Date::FromParts(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min,
                         tm.tm_sec);
}

}  // namespace postwing::detail

#include <cstdio>
#include <ctime>

#include "core/error_report.hpp"
#include "postwing/types.hpp"

namespace postwing {

namespace {
using namespace std::chrono;

year_month_day Ymd(local_seconds t) { return year_month_day{floor<days>(t)}; }
hh_mm_ss<seconds> Hms(local_seconds t) { return hh_mm_ss<seconds>{t - floor<days>(t)}; }
}  // namespace

Date Date::FromParts(int y, int mo, int d, int h, int mi, int s) {
  const local_days date{year{y} / month{static_cast<unsigned>(mo)} / day{static_cast<unsigned>(d)}};
  return Date(local_seconds{date} + hours{h} + minutes{mi} + seconds{s});
}

Date Date::Now() {
  std::time_t now = std::time(nullptr);
  std::tm tm{};
  localtime_r(&now, &tm);
  return FromParts(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min,
                   tm.tm_sec);
}

int Date::Year() const { return static_cast<int>(Ymd(time_).year()); }
int Date::Month() const { return static_cast<int>(static_cast<unsigned>(Ymd(time_).month())); }
int Date::Day() const { return static_cast<int>(static_cast<unsigned>(Ymd(time_).day())); }
int Date::Hour() const { return static_cast<int>(Hms(time_).hours().count()); }
int Date::Minute() const { return static_cast<int>(Hms(time_).minutes().count()); }
int Date::Second() const { return static_cast<int>(Hms(time_).seconds().count()); }
int Date::Weekday() const {
  return static_cast<int>(weekday{floor<days>(time_)}.c_encoding());
}

std::string Variant::ToString() const {
  struct Visitor {
    std::string operator()(std::monostate) const { return {}; }
    std::string operator()(int32_t v) const { return std::to_string(v); }
    std::string operator()(double v) const {
      char buf[64];
      std::snprintf(buf, sizeof buf, "%.15g", v);
      return buf;
    }
    std::string operator()(bool v) const { return v ? "True" : "False"; }
    std::string operator()(const std::string& v) const { return v; }
    std::string operator()(const Date& d) const {
      char buf[32];
      std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d", d.Year(), d.Month(),
                    d.Day(), d.Hour(), d.Minute(), d.Second());
      return buf;
    }
    std::string operator()(const Array&) const {
      detail::RaiseRuntimeError(detail::kErrTypeMismatch);
    }
    std::string operator()(const ObjectRef&) const {
      detail::RaiseRuntimeError(detail::kErrTypeMismatch);
    }
  };
  return std::visit(Visitor{}, value_);
}

}  // namespace postwing

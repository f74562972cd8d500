// The date of the "DATE" header field: "Fri, 5 JAN 2007 14:03:09 -0500".
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "postwing/header.hpp"
#include "postwing/types.hpp"

namespace postwing::detail {

// The offset from UTC, in minutes east, that the local zone has at this local date and
// time (daylight saving time included when it is in effect then).
int LocalOffsetMinutes(const Date& date);

// "+hhmm" or "-hhmm" for an offset in minutes east of UTC ("-" for zones behind UTC).
std::string ZoneText(int offset_minutes);

// The date in the header format with the given zone offset.
std::string FormatHeaderDate(const Date& date, int offset_minutes);
// The date in the header format with the local zone's offset at that date.
std::string FormatHeaderDate(const Date& date);
// Now in the header format with the local zone's offset.
std::string FormatHeaderDateNow();

// Reads a header date back as a local date and time. A date whose zone is the local
// zone's offset at its own time reads back as written; another zone is converted to local
// time; without a zone the time is taken as local. Day names, month names in any case,
// two-digit years, missing seconds, zone names and comments are accepted. Nothing for a
// text that is no date.
std::optional<Date> ParseHeaderDate(std::string_view text);

// Sets the header's "DATE" to now, unless the host has chosen the date: set SendDate, or
// changed the field through Values, since the header wrote it (header.cpp).
void RefreshSendDate(Header& header);

}  // namespace postwing::detail

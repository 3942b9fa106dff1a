#pragma once
// Date texts: DateFormatter with fixed patterns (en_US_POSIX names), ISO 8601 texts with
// offsets, and HTTP dates in the three forms servers send.

#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/Date.hpp"
#include "platform/foundation/TimeZone.hpp"

namespace plat {

// Pattern letters: yyyy yy y MM M MMM MMMM dd d HH H hh h mm m ss s S.. (fraction) a EEE EEEE
// Z (+0200) ZZZZZ (Z or +02:00) and 'quoted literal' ('' is a quote). Month and day names are
// the English ones whatever the locale, as the system only formats machine-read dates.
class DateFormatter {
public:
    DateFormatter() : timeZone_(TimeZone::local()) {}
    DateFormatter(std::string format, std::string localeIdentifier, TimeZone timeZone)
        : format_(std::move(format)), locale_(std::move(localeIdentifier)), timeZone_(std::move(timeZone)) {}

    const std::string& dateFormat() const { return format_; }
    void setDateFormat(std::string f) { format_ = std::move(f); }
    const std::string& localeIdentifier() const { return locale_; }
    void setLocaleIdentifier(std::string l) { locale_ = std::move(l); }
    const TimeZone& timeZone() const { return timeZone_; }
    void setTimeZone(TimeZone tz) { timeZone_ = std::move(tz); }

    std::string string(Date date) const;
    // The whole text must match the pattern; none otherwise. Without an offset in the
    // text the formatter's zone applies.
    std::optional<Date> date(std::string_view text) const;

private:
    std::string format_;
    std::string locale_ = "en_US_POSIX";
    TimeZone timeZone_;
};

namespace ISO8601 {
// "2024-03-01T12:00:00Z", or "+02:00" style for another zone; fractionalSeconds adds ".SSS".
std::string format(Date date, const TimeZone& zone = TimeZone::gmt(), bool fractionalSeconds = false);
// "YYYY-MM-DDTHH:MM:SS[.fraction](Z|±HH:MM|±HHMM|±HH)"; a space may stand for the 'T'.
std::optional<Date> parse(std::string_view text);
} // namespace ISO8601

// IMF-fixdate "Sun, 06 Nov 1994 08:49:37 GMT", the obsolete RFC 850 form
// "Sunday, 06-Nov-94 08:49:37 GMT" and asctime "Sun Nov  6 08:49:37 1994".
std::optional<Date> parseHTTPDate(std::string_view text);
// IMF-fixdate.
std::string formatHTTPDate(Date date);

} // namespace plat

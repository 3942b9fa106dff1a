#include "platform/foundation/DateFormatter.hpp"

#include <cmath>
#include <cstdio>
#include <vector>

#include "platform/foundation/String.hpp"

namespace plat {

namespace {

constexpr const char* kMonths[] = {"January", "February", "March",     "April",   "May",      "June",
                                   "July",    "August",   "September", "October", "November", "December"};
constexpr const char* kDays[] = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                 "Thursday", "Friday", "Saturday"};

struct Token {
    char letter = 0; // 0: literal
    int count = 0;
    std::string literal;
};

std::vector<Token> tokenize(std::string_view f) {
    std::vector<Token> out;
    auto addLiteral = [&](std::string_view s) {
        if (out.empty() || out.back().letter != 0) {
            out.push_back(Token{});
        }
        out.back().literal += s;
    };
    for (size_t i = 0; i < f.size();) {
        char c = f[i];
        if (c == '\'') {
            if (i + 1 < f.size() && f[i + 1] == '\'') {
                addLiteral("'");
                i += 2;
                continue;
            }
            size_t j = i + 1;
            std::string lit;
            while (j < f.size()) {
                if (f[j] == '\'') {
                    if (j + 1 < f.size() && f[j + 1] == '\'') {
                        lit += '\'';
                        j += 2;
                        continue;
                    }
                    break;
                }
                lit += f[j++];
            }
            addLiteral(lit);
            i = j + 1;
            continue;
        }
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) {
            size_t j = i;
            while (j < f.size() && f[j] == c) {
                ++j;
            }
            out.push_back(Token{c, static_cast<int>(j - i), {}});
            i = j;
            continue;
        }
        addLiteral(f.substr(i, 1));
        ++i;
    }
    return out;
}

std::string padded(int64_t v, int width) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%0*lld", width, static_cast<long long>(v));
    return buf;
}

std::string offsetText(int seconds, bool colon, bool zForZero) {
    if (seconds == 0 && zForZero) {
        return "Z";
    }
    int a = std::abs(seconds);
    char buf[16];
    std::snprintf(buf, sizeof buf, colon ? "%c%02d:%02d" : "%c%02d%02d", seconds < 0 ? '-' : '+', a / 3600,
                  (a % 3600) / 60);
    return buf;
}

// A cursor over the text being parsed.
struct Scanner {
    std::string_view s;
    size_t pos = 0;

    bool atEnd() const { return pos >= s.size(); }
    bool digits(int minCount, int maxCount, int64_t& out) {
        size_t start = pos;
        int64_t v = 0;
        while (pos < s.size() && pos - start < static_cast<size_t>(maxCount) && s[pos] >= '0' &&
               s[pos] <= '9') {
            v = v * 10 + (s[pos++] - '0');
        }
        if (pos - start < static_cast<size_t>(minCount)) {
            return false;
        }
        out = v;
        return true;
    }
    bool literal(std::string_view lit) {
        if (s.substr(pos, lit.size()) != lit) {
            return false;
        }
        pos += lit.size();
        return true;
    }
    // One of `names` (full or first three letters), case-insensitively; index or -1.
    int name(const char* const* names, int n, bool abbreviated) {
        for (int i = 0; i < n; ++i) {
            std::string_view full = names[i];
            std::string_view want = abbreviated ? full.substr(0, 3) : full;
            if (String::equalsIgnoringASCIICase(s.substr(pos, want.size()), want)) {
                pos += want.size();
                return i;
            }
        }
        return -1;
    }
    // Z, ±HH:MM, ±HHMM, ±HH, GMT, UTC, GMT±H[:MM]
    bool offset(int& seconds) {
        if (literal("Z") || literal("z")) {
            seconds = 0;
            return true;
        }
        bool named = literal("GMT") || literal("UTC");
        if (pos >= s.size() || (s[pos] != '+' && s[pos] != '-')) {
            if (named) {
                seconds = 0;
                return true;
            }
            return false;
        }
        int sign = s[pos++] == '-' ? -1 : 1;
        int64_t h = 0, m = 0;
        size_t start = pos;
        if (!digits(1, 2, h)) {
            return false;
        }
        bool twoDigitHours = pos - start == 2;
        if (literal(":")) {
            if (!digits(2, 2, m)) {
                return false;
            }
        } else if (twoDigitHours && pos < s.size() && s[pos] >= '0' && s[pos] <= '9') {
            if (!digits(2, 2, m)) {
                return false;
            }
        }
        if (h > 23 || m > 59) {
            return false;
        }
        seconds = sign * static_cast<int>(h * 3600 + m * 60);
        return true;
    }
};

int currentYear() {
    return static_cast<int>(Calendar::components(Date::now(), TimeZone::gmt()).year);
}

// Two-digit years land within 80 years before and 20 after the current year.
int64_t expandTwoDigitYear(int64_t yy) {
    int now = currentYear();
    int64_t century = now - now % 100;
    int64_t y = century + yy;
    if (y > now + 20) {
        y -= 100;
    } else if (y <= now - 80) {
        y += 100;
    }
    return y;
}

bool validFields(const DateComponents& c) {
    if (c.month < 1 || c.month > 12 || c.day < 1 || c.hour > 23 || c.minute > 59 || c.second > 60) {
        return false;
    }
    int64_t y;
    int m, d;
    Calendar::civilFromDays(Calendar::daysFromCivil(c.year, c.month, c.day), y, m, d);
    return y == c.year && m == c.month && d == c.day; // rejects Feb 30 and the like
}

} // namespace

std::string DateFormatter::string(Date date) const {
    const DateComponents c = Calendar::components(date, timeZone_);
    const int offset = timeZone_.secondsFromGMT(date);
    std::string out;
    for (const Token& t : tokenize(format_)) {
        switch (t.letter) {
        case 0:
            out += t.literal;
            break;
        case 'y':
            if (t.count == 2) {
                out += padded(((c.year % 100) + 100) % 100, 2);
            } else {
                out += padded(c.year, t.count);
            }
            break;
        case 'M':
            if (t.count >= 4) {
                out += kMonths[c.month - 1];
            } else if (t.count == 3) {
                out += std::string(kMonths[c.month - 1], 3);
            } else {
                out += padded(c.month, t.count);
            }
            break;
        case 'd':
            out += padded(c.day, t.count);
            break;
        case 'H':
            out += padded(c.hour, t.count);
            break;
        case 'h':
            out += padded(c.hour % 12 == 0 ? 12 : c.hour % 12, t.count);
            break;
        case 'm':
            out += padded(c.minute, t.count);
            break;
        case 's':
            out += padded(c.second, t.count);
            break;
        case 'S': {
            // Fraction digits, truncated as the platform does.
            std::string ns = padded(c.nanosecond, 9);
            std::string frac = ns.substr(0, static_cast<size_t>(std::min(t.count, 9)));
            frac.append(static_cast<size_t>(std::max(0, t.count - 9)), '0');
            out += frac;
            break;
        }
        case 'a':
            out += c.hour < 12 ? "AM" : "PM";
            break;
        case 'E':
            out += t.count >= 4 ? std::string(kDays[c.weekday - 1]) : std::string(kDays[c.weekday - 1], 3);
            break;
        case 'Z':
            if (t.count == 5) {
                out += offsetText(offset, true, true);
            } else if (t.count == 4) {
                out += offset == 0 ? "GMT" : "GMT" + offsetText(offset, true, false);
            } else {
                out += offsetText(offset, false, false);
            }
            break;
        case 'X':
        case 'x':
            out += offsetText(offset, t.count >= 3, t.letter == 'X');
            break;
        default:
            out.append(static_cast<size_t>(t.count), t.letter);
            break;
        }
    }
    return out;
}

std::optional<Date> DateFormatter::date(std::string_view text) const {
    Scanner sc{text};
    DateComponents c;
    std::optional<int> offset;
    std::optional<bool> pm;
    int64_t hour12 = -1;
    for (const Token& t : tokenize(format_)) {
        int64_t v = 0;
        switch (t.letter) {
        case 0:
            if (!sc.literal(t.literal)) {
                return std::nullopt;
            }
            break;
        case 'y':
            if (t.count == 2) {
                if (!sc.digits(2, 2, v)) {
                    return std::nullopt;
                }
                c.year = expandTwoDigitYear(v);
            } else {
                if (!sc.digits(1, std::max(t.count, 4) + 2, v)) {
                    return std::nullopt;
                }
                c.year = v;
            }
            break;
        case 'M':
            if (t.count >= 3) {
                int i = sc.name(kMonths, 12, t.count == 3);
                if (i < 0) {
                    return std::nullopt;
                }
                c.month = i + 1;
            } else {
                if (!sc.digits(t.count, 2, v)) {
                    return std::nullopt;
                }
                c.month = static_cast<int>(v);
            }
            break;
        case 'd':
        case 'H':
        case 'h':
        case 'm':
        case 's':
            if (!sc.digits(t.count, 2, v)) {
                return std::nullopt;
            }
            switch (t.letter) {
            case 'd':
                c.day = static_cast<int>(v);
                break;
            case 'H':
                c.hour = static_cast<int>(v);
                break;
            case 'h':
                hour12 = v;
                break;
            case 'm':
                c.minute = static_cast<int>(v);
                break;
            default:
                c.second = static_cast<int>(v);
                break;
            }
            break;
        case 'S': {
            size_t start = sc.pos;
            if (!sc.digits(1, 18, v)) {
                return std::nullopt;
            }
            size_t n = sc.pos - start;
            double frac = static_cast<double>(v) / std::pow(10.0, static_cast<double>(n));
            c.nanosecond = static_cast<int>(std::llround(frac * 1e9));
            if (c.nanosecond > 999999999) {
                c.nanosecond = 999999999;
            }
            break;
        }
        case 'a':
            if (String::equalsIgnoringASCIICase(text.substr(sc.pos, 2), "AM")) {
                pm = false;
            } else if (String::equalsIgnoringASCIICase(text.substr(sc.pos, 2), "PM")) {
                pm = true;
            } else {
                return std::nullopt;
            }
            sc.pos += 2;
            break;
        case 'E':
            if (sc.name(kDays, 7, t.count < 4) < 0) {
                return std::nullopt;
            }
            break;
        case 'Z':
        case 'X':
        case 'x': {
            int off = 0;
            if (!sc.offset(off)) {
                return std::nullopt;
            }
            offset = off;
            break;
        }
        default:
            if (!sc.literal(std::string(static_cast<size_t>(t.count), t.letter))) {
                return std::nullopt;
            }
        }
    }
    if (!sc.atEnd()) {
        return std::nullopt;
    }
    if (hour12 >= 0) {
        if (hour12 < 1 || hour12 > 12) {
            return std::nullopt;
        }
        c.hour = static_cast<int>(hour12 % 12) + (pm.value_or(false) ? 12 : 0);
    } else if (pm && *pm && c.hour < 12) {
        c.hour += 12;
    }
    if (!validFields(c)) {
        return std::nullopt;
    }
    return Calendar::date(c, offset ? TimeZone::forSecondsFromGMT(*offset) : timeZone_);
}

// ---- ISO 8601 -------------------------------------------------------------------

std::string ISO8601::format(Date date, const TimeZone& zone, bool fractionalSeconds) {
    DateFormatter f(fractionalSeconds ? "yyyy-MM-dd'T'HH:mm:ss.SSSZZZZZ" : "yyyy-MM-dd'T'HH:mm:ssZZZZZ",
                    "en_US_POSIX", zone);
    return f.string(date);
}

std::optional<Date> ISO8601::parse(std::string_view text) {
    Scanner sc{text};
    DateComponents c;
    int64_t v;
    if (!sc.digits(4, 4, v)) {
        return std::nullopt;
    }
    c.year = v;
    if (!sc.literal("-") || !sc.digits(2, 2, v)) {
        return std::nullopt;
    }
    c.month = static_cast<int>(v);
    if (!sc.literal("-") || !sc.digits(2, 2, v)) {
        return std::nullopt;
    }
    c.day = static_cast<int>(v);
    if (!(sc.literal("T") || sc.literal("t") || sc.literal(" "))) {
        return std::nullopt;
    }
    if (!sc.digits(2, 2, v)) {
        return std::nullopt;
    }
    c.hour = static_cast<int>(v);
    if (!sc.literal(":") || !sc.digits(2, 2, v)) {
        return std::nullopt;
    }
    c.minute = static_cast<int>(v);
    if (!sc.literal(":") || !sc.digits(2, 2, v)) {
        return std::nullopt;
    }
    c.second = static_cast<int>(v);
    if (sc.literal(".") || sc.literal(",")) {
        size_t start = sc.pos;
        if (!sc.digits(1, 18, v)) {
            return std::nullopt;
        }
        double frac = static_cast<double>(v) / std::pow(10.0, static_cast<double>(sc.pos - start));
        c.nanosecond = static_cast<int>(std::min<long long>(999999999, std::llround(frac * 1e9)));
    }
    int offset = 0;
    if (!sc.offset(offset) || !sc.atEnd() || !validFields(c)) {
        return std::nullopt;
    }
    return Calendar::date(c, TimeZone::forSecondsFromGMT(offset));
}

// ---- HTTP dates -------------------------------------------------------------------

std::optional<Date> parseHTTPDate(std::string_view text) {
    const DateFormatter imf("EEE, dd MMM yyyy HH:mm:ss 'GMT'", "en_US_POSIX", TimeZone::gmt());
    const DateFormatter rfc850("EEEE, dd-MMM-yy HH:mm:ss 'GMT'", "en_US_POSIX", TimeZone::gmt());
    const DateFormatter asctime("EEE MMM d HH:mm:ss yyyy", "en_US_POSIX", TimeZone::gmt());
    std::string t = String::trimming(text, CharacterSet::whitespace());
    if (auto d = imf.date(t)) {
        return d;
    }
    if (auto d = rfc850.date(t)) {
        return d;
    }
    // asctime pads a one-digit day with a space ("Nov  6").
    std::string collapsed;
    for (char c : t) {
        if (c == ' ' && !collapsed.empty() && collapsed.back() == ' ') {
            continue;
        }
        collapsed += c;
    }
    return asctime.date(collapsed);
}

std::string formatHTTPDate(Date date) {
    const DateFormatter imf("EEE, dd MMM yyyy HH:mm:ss 'GMT'", "en_US_POSIX", TimeZone::gmt());
    return imf.string(date);
}

} // namespace plat

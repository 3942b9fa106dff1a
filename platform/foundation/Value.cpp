#include "platform/foundation/Value.hpp"

#include "platform/foundation/NeverDestroyed.hpp"
#include "platform/foundation/String.hpp"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <limits>
#include <ostream>
#include <stdexcept>

namespace plat {

namespace {

std::atomic<std::string (*)(const rt::Object&)> gClassNameHook{nullptr};
std::atomic<std::string (*)(const rt::Object&)> gDescriptionHook{nullptr};

[[noreturn]] void wrongKind(const char* wanted) {
    throw std::logic_error(std::string("plat::Value is not ") + wanted);
}

// Copy-on-write: a container shared with other Values is copied before it is handed out for writing.
template <class T> T& unshared(std::shared_ptr<T>& p) {
    if (p.use_count() > 1) {
        p = std::make_shared<T>(*p);
    } else {
        // Pairs with the release of the last other owner, so its reads finished first.
        std::atomic_thread_fence(std::memory_order_acquire);
    }
    return *p;
}

// Leading whitespace, optional sign, decimal digits; saturating.
int64_t parseIntegerPrefix(std::string_view s) {
    size_t i = 0;
    while (i < s.size() && String::isASCIIWhitespace(s[i])) {
        ++i;
    }
    bool negative = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) {
        negative = s[i] == '-';
        ++i;
    }
    uint64_t magnitude = 0;
    bool overflow = false;
    for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i) {
        unsigned digit = static_cast<unsigned>(s[i] - '0');
        if (magnitude > (std::numeric_limits<uint64_t>::max() - digit) / 10) {
            overflow = true;
            break;
        }
        magnitude = magnitude * 10 + digit;
    }
    if (negative) {
        if (overflow || magnitude > static_cast<uint64_t>(INT64_MAX) + 1) {
            return INT64_MIN;
        }
        return static_cast<int64_t>(0 - magnitude);
    }
    if (overflow || magnitude > static_cast<uint64_t>(INT64_MAX)) {
        return INT64_MAX;
    }
    return static_cast<int64_t>(magnitude);
}

// strtod-like prefix parse, independent of the process locale.
double parseDoublePrefix(std::string_view s) {
    size_t i = 0;
    while (i < s.size() && String::isASCIIWhitespace(s[i])) {
        ++i;
    }
    bool negative = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) {
        negative = s[i] == '-';
        ++i;
    }
    double d = 0;
    const char* first = s.data() + i;
    const char* last = s.data() + s.size();
    if (first < last && (*first == '+' || *first == '-')) {
        return 0; // a second sign is no number
    }
    auto [ptr, ec] = std::from_chars(first, last, d, std::chars_format::general);
    if (ec == std::errc::result_out_of_range) {
        // from_chars leaves d untouched here; strtod gives ±HUGE_VAL or 0.
        size_t n = static_cast<size_t>(ptr - first);
        std::string digits(first, n);
        d = std::strtod(digits.c_str(), nullptr);
    } else if (ec != std::errc()) {
        return 0;
    }
    return negative ? -d : d;
}

int64_t saturatingTrunc(double d) {
    if (std::isnan(d)) {
        return 0;
    }
    if (d >= 9223372036854775808.0) {
        return INT64_MAX;
    }
    if (d < -9223372036854775808.0) {
        return INT64_MIN;
    }
    return static_cast<int64_t>(d);
}

bool isPlainWord(const std::string& s) {
    if (s.empty()) {
        return false;
    }
    for (char c : s) {
        bool alnum = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        if (!(alnum || c == '_' || c == '.')) {
            return false;
        }
    }
    return true;
}

void appendQuoted(std::string& out, const std::string& s) {
    if (isPlainWord(s)) {
        out += s;
        return;
    }
    out += '"';
    for (char c : s) {
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\t':
            out += "\\t";
            break;
        case '\r':
            out += "\\r";
            break;
        default:
            out += c;
        }
    }
    out += '"';
}

std::string formatDouble(const char* fmt, double d) {
    char buf[64];
    std::snprintf(buf, sizeof buf, fmt, d);
    return buf;
}

void appendDate(std::string& out, Date date) {
    double secs = std::floor(date.timeIntervalSince1970());
    time_t t =
        secs > static_cast<double>(std::numeric_limits<time_t>::max())   ? std::numeric_limits<time_t>::max()
        : secs < static_cast<double>(std::numeric_limits<time_t>::min()) ? std::numeric_limits<time_t>::min()
                                                                         : static_cast<time_t>(secs);
    struct tm tm {};
    char buf[64];
    if (gmtime_r(&t, &tm) && std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S +0000", &tm) > 0) {
        out += buf;
    } else {
        out += "(invalid date)";
    }
}

// Numbers as one comparable shape: exact for every integer, double otherwise.
struct NumberView {
    enum { Signed, Unsigned, Real } type;
    int64_t i = 0;
    uint64_t u = 0;
    double d = 0;
};

int compareNumbers(const NumberView& a, const NumberView& b) {
    auto cmp = [](auto x, auto y) { return x < y ? -1 : (y < x ? 1 : 0); };
    if (a.type == NumberView::Real || b.type == NumberView::Real) {
        // long double holds every 64-bit integer exactly on this platform.
        auto asLong = [](const NumberView& n) -> long double {
            if (n.type == NumberView::Real) {
                return static_cast<long double>(n.d);
            }
            return n.type == NumberView::Signed ? static_cast<long double>(n.i)
                                                : static_cast<long double>(n.u);
        };
        long double x = asLong(a), y = asLong(b);
        if (std::isnan(x) || std::isnan(y)) {
            return std::isnan(x) && std::isnan(y) ? 0 : (std::isnan(x) ? -1 : 1);
        }
        return cmp(x, y);
    }
    if (a.type == NumberView::Signed && b.type == NumberView::Signed) {
        return cmp(a.i, b.i);
    }
    if (a.type == NumberView::Unsigned && b.type == NumberView::Unsigned) {
        return cmp(a.u, b.u);
    }
    if (a.type == NumberView::Signed) { // b unsigned (above INT64_MAX)
        return -1;
    }
    return 1;
}

} // namespace

// ---- construction ------------------------------------------------------------

Value::Value(Array a) : v_(std::make_shared<plat::Array>(std::move(a))) {}
Value::Value(Dictionary d) : v_(std::make_shared<plat::Dictionary>(std::move(d))) {}
Value::Value(std::shared_ptr<rt::Object> o) {
    if (o) {
        v_ = std::move(o);
    }
}
Value Value::emptyArray() {
    return Value(plat::Array{});
}
Value Value::emptyDictionary() {
    return Value(plat::Dictionary{});
}

void Value::setObjectHooks(ObjectHooks hooks) noexcept {
    gClassNameHook.store(hooks.className);
    gDescriptionHook.store(hooks.description);
}
ObjectHooks Value::objectHooks() noexcept {
    return ObjectHooks{gClassNameHook.load(), gDescriptionHook.load()};
}

// ---- kinds and typed access ---------------------------------------------------

bool Value::isNumber() const noexcept {
    switch (kind()) {
    case Kind::Bool:
    case Kind::Int:
    case Kind::UInt:
    case Kind::Double:
        return true;
    case Kind::Object: {
        auto hook = gClassNameHook.load();
        try {
            return hook && hook(*std::get<std::shared_ptr<rt::Object>>(v_)) == "NSDecimalNumber";
        } catch (...) {
            return false;
        }
    }
    default:
        return false;
    }
}

bool Value::isFloat() const noexcept {
    return kind() == Kind::Double && std::get<Real>(v_).wasFloat;
}

bool Value::asBool() const {
    if (!isBool()) {
        wrongKind("a bool");
    }
    return std::get<bool>(v_);
}

int64_t Value::asInt64() const {
    if (kind() == Kind::Int) {
        return std::get<int64_t>(v_);
    }
    wrongKind("an int64");
}

uint64_t Value::asUInt64() const {
    if (kind() == Kind::UInt) {
        return std::get<uint64_t>(v_);
    }
    if (kind() == Kind::Int && std::get<int64_t>(v_) >= 0) {
        return static_cast<uint64_t>(std::get<int64_t>(v_));
    }
    wrongKind("a uint64");
}

double Value::asDouble() const {
    if (!isFloatingPoint()) {
        wrongKind("a double");
    }
    return std::get<Real>(v_).value;
}

const std::string& Value::asString() const {
    if (auto p = ifString()) {
        return *p;
    }
    wrongKind("a string");
}

const Data& Value::asData() const {
    if (auto p = ifData()) {
        return *p;
    }
    wrongKind("data");
}

Date Value::asDate() const {
    if (!isDate()) {
        wrongKind("a date");
    }
    return std::get<plat::Date>(v_);
}

const Array& Value::asArray() const {
    if (auto p = ifArray()) {
        return *p;
    }
    wrongKind("an array");
}

Array& Value::asArray() {
    if (!isArray()) {
        wrongKind("an array");
    }
    return unshared(std::get<std::shared_ptr<plat::Array>>(v_));
}

const Dictionary& Value::asDictionary() const {
    if (auto p = ifDictionary()) {
        return *p;
    }
    wrongKind("a dictionary");
}

Dictionary& Value::asDictionary() {
    if (!isDictionary()) {
        wrongKind("a dictionary");
    }
    return unshared(std::get<std::shared_ptr<plat::Dictionary>>(v_));
}

const std::shared_ptr<rt::Object>& Value::asObject() const {
    if (!isObject()) {
        wrongKind("an object");
    }
    return std::get<std::shared_ptr<rt::Object>>(v_);
}

const std::string* Value::ifString() const noexcept {
    auto p = std::get_if<std::shared_ptr<const std::string>>(&v_);
    return p ? p->get() : nullptr;
}
const Data* Value::ifData() const noexcept {
    auto p = std::get_if<std::shared_ptr<const plat::Data>>(&v_);
    return p ? p->get() : nullptr;
}
const Array* Value::ifArray() const noexcept {
    auto p = std::get_if<std::shared_ptr<plat::Array>>(&v_);
    return p ? p->get() : nullptr;
}
const Dictionary* Value::ifDictionary() const noexcept {
    auto p = std::get_if<std::shared_ptr<plat::Dictionary>>(&v_);
    return p ? p->get() : nullptr;
}
std::optional<Date> Value::ifDate() const noexcept {
    if (auto p = std::get_if<plat::Date>(&v_)) {
        return *p;
    }
    return std::nullopt;
}
rt::Object* Value::ifObject() const noexcept {
    auto p = std::get_if<std::shared_ptr<rt::Object>>(&v_);
    return p ? p->get() : nullptr;
}

// ---- container conveniences ---------------------------------------------------

const Value* Value::find(std::string_view key) const noexcept {
    auto d = ifDictionary();
    return d ? d->find(key) : nullptr;
}

Value* Value::find(std::string_view key) {
    if (!isDictionary()) {
        return nullptr;
    }
    return asDictionary().find(key);
}

Value& Value::operator[](std::string_view key) {
    if (isNull()) {
        *this = emptyDictionary();
    }
    return asDictionary()[key];
}

const Value& Value::operator[](std::string_view key) const noexcept {
    static NeverDestroyed<Value> null;
    auto p = find(key);
    return p ? *p : *null;
}

const Value& Value::at(size_t index) const {
    return asArray().at(index);
}

void Value::push_back(Value v) {
    if (isNull()) {
        *this = emptyArray();
    }
    asArray().push_back(std::move(v));
}

size_t Value::size() const noexcept {
    switch (kind()) {
    case Kind::Array:
        return ifArray()->size();
    case Kind::Dictionary:
        return ifDictionary()->size();
    case Kind::String:
        return ifString()->size();
    case Kind::Data:
        return ifData()->size();
    default:
        return 0;
    }
}

// ---- conversions --------------------------------------------------------------

bool Value::boolValue() const noexcept {
    switch (kind()) {
    case Kind::Bool:
        return std::get<bool>(v_);
    case Kind::Int:
        return std::get<int64_t>(v_) != 0;
    case Kind::UInt:
        return std::get<uint64_t>(v_) != 0;
    case Kind::Double:
        return std::get<Real>(v_).value != 0;
    case Kind::String: {
        const std::string& s = *ifString();
        size_t i = 0;
        while (i < s.size() && String::isASCIIWhitespace(s[i])) {
            ++i;
        }
        if (i < s.size() && (s[i] == '+' || s[i] == '-')) {
            ++i;
        }
        while (i < s.size() && s[i] == '0') {
            ++i;
        }
        if (i >= s.size()) {
            return false;
        }
        char c = s[i];
        return c == 'Y' || c == 'y' || c == 'T' || c == 't' || (c >= '1' && c <= '9');
    }
    default:
        return false;
    }
}

int64_t Value::integerValue() const noexcept {
    switch (kind()) {
    case Kind::Bool:
        return std::get<bool>(v_) ? 1 : 0;
    case Kind::Int:
        return std::get<int64_t>(v_);
    case Kind::UInt:
        return INT64_MAX; // only values above INT64_MAX are kept unsigned
    case Kind::Double:
        return saturatingTrunc(std::get<Real>(v_).value);
    case Kind::String:
        return parseIntegerPrefix(*ifString());
    default:
        return 0;
    }
}

uint32_t Value::unsignedIntValue() const noexcept {
    if (kind() == Kind::UInt) {
        return static_cast<uint32_t>(std::get<uint64_t>(v_));
    }
    return static_cast<uint32_t>(static_cast<uint64_t>(integerValue()));
}

uint64_t Value::unsignedLongLongValue() const noexcept {
    if (kind() == Kind::UInt) {
        return std::get<uint64_t>(v_);
    }
    if (kind() == Kind::Double) {
        double d = std::get<Real>(v_).value;
        if (d >= 0 && d < 18446744073709551616.0) {
            return static_cast<uint64_t>(d);
        }
        if (d >= 18446744073709551616.0) {
            return UINT64_MAX;
        }
    }
    return static_cast<uint64_t>(integerValue());
}

double Value::doubleValue() const noexcept {
    switch (kind()) {
    case Kind::Bool:
        return std::get<bool>(v_) ? 1 : 0;
    case Kind::Int:
        return static_cast<double>(std::get<int64_t>(v_));
    case Kind::UInt:
        return static_cast<double>(std::get<uint64_t>(v_));
    case Kind::Double:
        return std::get<Real>(v_).value;
    case Kind::String:
        return parseDoublePrefix(*ifString());
    default:
        return 0;
    }
}

std::string Value::stringValue() const {
    if (auto s = ifString()) {
        return *s;
    }
    return description();
}

// ---- description --------------------------------------------------------------

std::string Value::description() const {
    std::string out;
    describeInto(out, 0);
    return out;
}

std::string Value::description(const std::optional<Value>& v) {
    return v ? v->description() : "(null)";
}
std::string Value::description(const Value* v) {
    return v ? v->description() : "(null)";
}

void Value::describeInto(std::string& out, int indent) const {
    const std::string pad(static_cast<size_t>(indent) * 4, ' ');
    const std::string inner(static_cast<size_t>(indent + 1) * 4, ' ');
    switch (kind()) {
    // Inside containers null and dates print quoted, as their texts hold '<' and spaces.
    case Kind::Null:
        out += indent == 0 ? "<null>" : "\"<null>\"";
        break;
    case Kind::Bool:
        out += std::get<bool>(v_) ? "1" : "0";
        break;
    case Kind::Int:
        out += std::to_string(std::get<int64_t>(v_));
        break;
    case Kind::UInt:
        out += std::to_string(std::get<uint64_t>(v_));
        break;
    case Kind::Double: {
        const Real& r = std::get<Real>(v_);
        out += formatDouble(r.wasFloat ? "%.7g" : "%.16g", r.value);
        break;
    }
    case Kind::String:
        if (indent == 0) { // a string describes itself; inside containers it is quoted
            out += *ifString();
        } else {
            appendQuoted(out, *ifString());
        }
        break;
    case Kind::Data: {
        static const char* hex = "0123456789abcdef";
        const Data& d = *ifData();
        out += '<';
        for (size_t i = 0; i < d.size(); ++i) {
            if (i > 0 && i % 4 == 0) {
                out += ' ';
            }
            out += hex[d[i] >> 4];
            out += hex[d[i] & 15];
        }
        out += '>';
        break;
    }
    case Kind::Date:
        if (indent > 0) {
            out += '"';
        }
        appendDate(out, std::get<plat::Date>(v_));
        if (indent > 0) {
            out += '"';
        }
        break;
    case Kind::Array: {
        const Array& a = *ifArray();
        out += "(\n";
        for (size_t i = 0; i < a.size(); ++i) {
            out += inner;
            a[i].describeInto(out, indent + 1);
            out += i + 1 < a.size() ? ",\n" : "\n";
        }
        out += pad;
        out += ')';
        break;
    }
    case Kind::Dictionary: {
        // The platform describes a dictionary in ascending key order, whatever order it was built in.
        const Dictionary& d = *ifDictionary();
        std::vector<const Dictionary::Entry*> entries;
        entries.reserve(d.size());
        for (const auto& entry : d) {
            entries.push_back(&entry);
        }
        std::sort(entries.begin(), entries.end(),
                  [](const auto* a, const auto* b) { return String::compareUTF16(a->first, b->first) < 0; });
        out += "{\n";
        for (const auto* entry : entries) {
            out += inner;
            appendQuoted(out, entry->first);
            out += " = ";
            entry->second.describeInto(out, indent + 1);
            out += ";\n";
        }
        out += pad;
        out += '}';
        break;
    }
    case Kind::Object: {
        const rt::Object& o = *std::get<std::shared_ptr<rt::Object>>(v_);
        if (auto hook = gDescriptionHook.load()) {
            out += hook(o);
        } else {
            char buf[32];
            std::snprintf(buf, sizeof buf, "%p", static_cast<const void*>(&o));
            out += '<' + className() + ": " + buf + '>';
        }
        break;
    }
    }
}

std::string Value::className() const {
    switch (kind()) {
    case Kind::Null:
        return "NSNull";
    case Kind::Bool:
    case Kind::Int:
    case Kind::UInt:
    case Kind::Double:
        return "NSNumber";
    case Kind::String:
        return "NSString";
    case Kind::Data:
        return "NSData";
    case Kind::Date:
        return "NSDate";
    case Kind::Array:
        return "NSArray";
    case Kind::Dictionary:
        return "NSDictionary";
    case Kind::Object:
        if (auto hook = gClassNameHook.load()) {
            return hook(*std::get<std::shared_ptr<rt::Object>>(v_));
        }
        return "NSObject";
    }
    return "NSObject";
}

// ---- equality and hashing ----------------------------------------------------

namespace {

std::optional<NumberView> numberView(const Value& v) {
    switch (v.kind()) {
    case Value::Kind::Bool:
        return NumberView{NumberView::Signed, v.asBool() ? 1 : 0, 0, 0};
    case Value::Kind::Int:
        return NumberView{NumberView::Signed, v.asInt64(), 0, 0};
    case Value::Kind::UInt:
        return NumberView{NumberView::Unsigned, 0, v.asUInt64(), 0};
    case Value::Kind::Double:
        return NumberView{NumberView::Real, 0, 0, v.asDouble()};
    default:
        return std::nullopt;
    }
}

} // namespace

bool Value::isEqual(const Value& other) const noexcept {
    if (auto a = numberView(*this)) {
        auto b = numberView(other);
        return b && compareNumbers(*a, *b) == 0;
    }
    if (kind() != other.kind()) {
        return false;
    }
    switch (kind()) {
    case Kind::Null:
        return true;
    case Kind::String:
        return *ifString() == *other.ifString();
    case Kind::Data:
        return *ifData() == *other.ifData();
    case Kind::Date:
        return std::get<plat::Date>(v_) == std::get<plat::Date>(other.v_);
    case Kind::Array: {
        auto a = ifArray(), b = other.ifArray();
        return a == b || *a == *b;
    }
    case Kind::Dictionary: {
        auto a = ifDictionary(), b = other.ifDictionary();
        return a == b || *a == *b;
    }
    case Kind::Object:
        return ifObject() == other.ifObject();
    default:
        return false;
    }
}

size_t Value::hash() const noexcept {
    auto mix = [](size_t seed, size_t h) {
        return seed ^ (h + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2));
    };
    switch (kind()) {
    case Kind::Null:
        return 0x5bd1e995;
    case Kind::Bool:
    case Kind::Int:
    case Kind::UInt:
    case Kind::Double: {
        // Equal numbers of different kinds must hash alike: hash integral values as integers.
        auto n = *numberView(*this);
        if (n.type == NumberView::Real) {
            double d = n.d;
            if (std::isnan(d)) {
                return 0x7ff8;
            }
            if (d == std::trunc(d) && d >= -9223372036854775808.0 && d < 9223372036854775808.0) {
                return std::hash<int64_t>{}(static_cast<int64_t>(d));
            }
            if (d == std::trunc(d) && d >= 0 && d < 18446744073709551616.0) {
                return std::hash<uint64_t>{}(static_cast<uint64_t>(d));
            }
            return std::hash<double>{}(d);
        }
        return n.type == NumberView::Signed ? std::hash<int64_t>{}(n.i) : std::hash<uint64_t>{}(n.u);
    }
    case Kind::String:
        return std::hash<std::string>{}(*ifString());
    case Kind::Data: {
        const Data& d = *ifData();
        return std::hash<std::string_view>{}(
            std::string_view(reinterpret_cast<const char*>(d.data()), d.size()));
    }
    case Kind::Date:
        return std::hash<double>{}(std::get<plat::Date>(v_).timeIntervalSince1970());
    case Kind::Array: {
        size_t h = 0xa11a;
        for (const auto& v : *ifArray()) {
            h = mix(h, v.hash());
        }
        return h;
    }
    case Kind::Dictionary: {
        // Order-independent, as equality ignores order.
        size_t h = 0xd1c7;
        for (const auto& [k, v] : *ifDictionary()) {
            h += mix(std::hash<std::string>{}(k), v.hash());
        }
        return h;
    }
    case Kind::Object:
        return std::hash<const void*>{}(ifObject());
    }
    return 0;
}

std::ostream& operator<<(std::ostream& os, const Value& v) {
    return os << v.description();
}

// ---- Dictionary ----------------------------------------------------------------

Dictionary::Dictionary(std::initializer_list<Entry> entries) {
    entries_.reserve(entries.size());
    for (const auto& e : entries) {
        set(e.first, e.second);
    }
}

Dictionary::Dictionary(const Dictionary& other) : entries_(other.entries_) {
    if (!other.index_.empty()) {
        rebuildIndex();
    }
}

Dictionary& Dictionary::operator=(const Dictionary& other) {
    if (this != &other) {
        entries_ = other.entries_;
        index_.clear();
        if (!other.index_.empty()) {
            rebuildIndex();
        }
    }
    return *this;
}

std::optional<size_t> Dictionary::indexOf(std::string_view key) const noexcept {
    if (entries_.size() <= kIndexThreshold) {
        for (size_t i = 0; i < entries_.size(); ++i) {
            if (entries_[i].first == key) {
                return i;
            }
        }
        return std::nullopt;
    }
    auto it = index_.find(key);
    if (it == index_.end()) {
        return std::nullopt;
    }
    return it->second;
}

void Dictionary::rebuildIndex() {
    index_.clear();
    if (entries_.size() <= kIndexThreshold) {
        return;
    }
    index_.reserve(entries_.size());
    for (size_t i = 0; i < entries_.size(); ++i) {
        index_.emplace(entries_[i].first, i);
    }
}

const Value* Dictionary::find(std::string_view key) const noexcept {
    auto i = indexOf(key);
    return i ? &entries_[*i].second : nullptr;
}

Value* Dictionary::find(std::string_view key) noexcept {
    auto i = indexOf(key);
    return i ? &entries_[*i].second : nullptr;
}

Value& Dictionary::operator[](std::string_view key) {
    if (auto i = indexOf(key)) {
        return entries_[*i].second;
    }
    entries_.emplace_back(std::string(key), Value());
    if (entries_.size() == kIndexThreshold + 1) {
        rebuildIndex();
    } else if (entries_.size() > kIndexThreshold + 1) {
        index_.emplace(entries_.back().first, entries_.size() - 1);
    }
    return entries_.back().second;
}

void Dictionary::set(std::string_view key, Value v) {
    (*this)[key] = std::move(v);
}

bool Dictionary::erase(std::string_view key) {
    auto i = indexOf(key);
    if (!i) {
        return false;
    }
    entries_.erase(entries_.begin() + static_cast<std::ptrdiff_t>(*i));
    rebuildIndex();
    return true;
}

void Dictionary::clear() noexcept {
    entries_.clear();
    index_.clear();
}

std::vector<std::string> Dictionary::keys() const {
    std::vector<std::string> out;
    out.reserve(entries_.size());
    for (const auto& e : entries_) {
        out.push_back(e.first);
    }
    return out;
}

bool Dictionary::operator==(const Dictionary& other) const noexcept {
    if (size() != other.size()) {
        return false;
    }
    for (const auto& [k, v] : entries_) {
        auto o = other.find(k);
        if (!o || !v.isEqual(*o)) {
            return false;
        }
    }
    return true;
}

} // namespace plat

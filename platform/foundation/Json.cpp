#include "platform/foundation/Json.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <nlohmann/json.hpp>

#include "platform/foundation/String.hpp"

namespace plat {

namespace {

// Builds Values straight from parser events. nlohmann's parser keeps its own state on
// the heap, and refusing a container past the depth bound stops it, so neither the
// parser nor this builder can be driven into a deep recursion.
class ValueBuilder {
public:
    using json = nlohmann::json;
    using number_integer_t = json::number_integer_t;
    using number_unsigned_t = json::number_unsigned_t;
    using number_float_t = json::number_float_t;
    using string_t = json::string_t;
    using binary_t = json::binary_t;

    explicit ValueBuilder(bool fragmentsAllowed) : fragmentsAllowed_(fragmentsAllowed) {}

    bool null() { return add(Value()); }
    bool boolean(bool b) { return add(Value(b)); }
    bool number_integer(number_integer_t n) { return add(Value(static_cast<int64_t>(n))); }
    bool number_unsigned(number_unsigned_t n) { return add(Value(static_cast<uint64_t>(n))); }
    bool number_float(number_float_t d, const string_t&) { return add(Value(static_cast<double>(d))); }
    bool string(string_t& s) { return add(Value(std::move(s))); }
    bool binary(binary_t&) { return fail("Binary values are not JSON."); }

    bool start_object(std::size_t) { return open(false); }
    bool key(string_t& k) {
        frames_.back().key = std::move(k);
        return true;
    }
    bool end_object() { return close(); }
    bool start_array(std::size_t) { return open(true); }
    bool end_array() { return close(); }

    bool parse_error(std::size_t position, const std::string&, const nlohmann::detail::exception& ex) {
        if (!error_) {
            std::string what = ex.what();
            // Drop the library's "[json.exception.parse_error.101] " tag.
            if (auto p = what.find("] "); p != std::string::npos && what.starts_with("[json.")) {
                what.erase(0, p + 2);
            }
            error_ =
                Error::propertyListReadCorrupt(what + " (around character " + std::to_string(position) + ")");
        }
        return false;
    }

    Result<Value> finish(bool parsed) {
        if (error_) {
            return *error_;
        }
        if (!parsed || !result_) {
            return Error::propertyListReadCorrupt("No value.");
        }
        return std::move(*result_);
    }

private:
    struct Frame {
        bool isArray;
        Array array;
        Dictionary dict;
        std::string key;
    };

    bool fail(std::string text) {
        if (!error_) {
            error_ = Error::propertyListReadCorrupt(std::move(text));
        }
        return false;
    }

    bool open(bool isArray) {
        if (frames_.size() >= static_cast<size_t>(JSONSerialization::kMaxDepth)) {
            return fail("Too many nested arrays or dictionaries (more than " +
                        std::to_string(JSONSerialization::kMaxDepth) + ").");
        }
        frames_.push_back(Frame{isArray, {}, {}, {}});
        return true;
    }

    bool close() {
        Frame f = std::move(frames_.back());
        frames_.pop_back();
        return f.isArray ? add(Value(std::move(f.array))) : add(Value(std::move(f.dict)));
    }

    bool add(Value v) {
        if (frames_.empty()) {
            if (!fragmentsAllowed_ && !v.isArray() && !v.isDictionary()) {
                return fail(
                    "JSON text did not start with array or object and option to allow fragments not set.");
            }
            result_ = std::move(v);
            return true;
        }
        Frame& f = frames_.back();
        if (f.isArray) {
            f.array.push_back(std::move(v));
        } else {
            f.dict.set(f.key, std::move(v)); // a repeated key: the last one wins
        }
        return true;
    }

    bool fragmentsAllowed_;
    std::vector<Frame> frames_;
    std::optional<Value> result_;
    std::optional<Error> error_;
};

// ---- writing -----------------------------------------------------------------

class Writer {
public:
    Writer(unsigned options, std::string& out) : options_(options), out_(out) {}

    bool write(const Value& v, int depth) {
        switch (v.kind()) {
        case Value::Kind::Null:
            out_ += "null";
            return true;
        case Value::Kind::Bool:
            out_ += v.asBool() ? "true" : "false";
            return true;
        case Value::Kind::Int:
            appendNumber(v.asInt64());
            return true;
        case Value::Kind::UInt:
            appendNumber(v.asUInt64());
            return true;
        case Value::Kind::Double:
            return writeDouble(v.asDouble(), v.isFloat());
        case Value::Kind::String:
            return writeString(v.asString());
        case Value::Kind::Array:
            return writeArray(v.asArray(), depth);
        case Value::Kind::Dictionary:
            return writeDictionary(v.asDictionary(), depth);
        default:
            return fail(
                Error::propertyListWriteInvalid("Invalid type in JSON write (" + v.className() + ")"));
        }
    }

    std::optional<Error>& error() { return error_; }

private:
    bool fail(Error e) {
        error_ = std::move(e);
        return false;
    }

    bool pretty() const { return options_ & JSONSerialization::WritingPrettyPrinted; }

    template <class T> void appendNumber(T n) {
        char buf[32];
        auto r = std::to_chars(buf, buf + sizeof buf, n);
        out_.append(buf, r.ptr);
    }

    bool writeDouble(double d, bool wasFloat) {
        if (std::isnan(d)) {
            return fail(Error::propertyListWriteInvalid("Invalid number value (NaN) in JSON write"));
        }
        if (std::isinf(d)) {
            return fail(Error::propertyListWriteInvalid("Invalid number value (infinite) in JSON write"));
        }
        if (d == std::trunc(d) && std::fabs(d) < 1e15) {
            appendNumber(static_cast<int64_t>(d));
            return true;
        }
        char buf[64];
        auto r = wasFloat ? std::to_chars(buf, buf + sizeof buf, static_cast<float>(d))
                          : std::to_chars(buf, buf + sizeof buf, d);
        out_.append(buf, r.ptr);
        return true;
    }

    bool writeString(const std::string& s) {
        // 0: copy as is, 1: escape, 2: start of a multi-byte character.
        static const auto kClass = [] {
            std::array<uint8_t, 256> t{};
            for (int c = 0; c < 0x20; ++c) {
                t[static_cast<size_t>(c)] = 1;
            }
            t['"'] = t['\\'] = t['/'] = 1;
            for (int c = 0x80; c < 0x100; ++c) {
                t[static_cast<size_t>(c)] = 2;
            }
            return t;
        }();
        static const char* hex = "0123456789abcdef";
        const bool escapeSlash = !(options_ & JSONSerialization::WritingWithoutEscapingSlashes);
        bool checkedUTF8 = false;
        out_ += '"';
        size_t run = 0; // start of the pending run that needs no escaping
        for (size_t i = 0; i < s.size(); ++i) {
            unsigned char c = static_cast<unsigned char>(s[i]);
            uint8_t cls = kClass[c];
            if (cls == 0) {
                continue;
            }
            if (cls == 2) {
                if (!checkedUTF8) {
                    if (!String::isValidUTF8(s)) {
                        return fail(
                            Error::propertyListWriteInvalid("Invalid string (not UTF-8) in JSON write"));
                    }
                    checkedUTF8 = true;
                }
                continue;
            }
            const char* esc = nullptr;
            char u[7];
            switch (c) {
            case '"':
                esc = "\\\"";
                break;
            case '\\':
                esc = "\\\\";
                break;
            case '/':
                esc = escapeSlash ? "\\/" : nullptr;
                break;
            case '\b':
                esc = "\\b";
                break;
            case '\f':
                esc = "\\f";
                break;
            case '\n':
                esc = "\\n";
                break;
            case '\r':
                esc = "\\r";
                break;
            case '\t':
                esc = "\\t";
                break;
            default:
                u[0] = '\\', u[1] = 'u', u[2] = '0', u[3] = '0', u[4] = hex[c >> 4], u[5] = hex[c & 15],
                u[6] = 0;
                esc = u;
            }
            if (esc) {
                out_.append(s, run, i - run);
                out_ += esc;
                run = i + 1;
            }
        }
        out_.append(s, run, s.size() - run);
        out_ += '"';
        return true;
    }

    void newline(int depth) {
        out_ += '\n';
        out_.append(static_cast<size_t>(depth) * 2, ' ');
    }

    bool checkDepth(int depth) {
        if (depth >= JSONSerialization::kMaxDepth) {
            return fail(
                Error::propertyListWriteInvalid("Too many nested arrays or dictionaries in JSON write"));
        }
        return true;
    }

    bool writeArray(const Array& a, int depth) {
        if (!checkDepth(depth)) {
            return false;
        }
        out_ += '[';
        for (size_t i = 0; i < a.size(); ++i) {
            if (i) {
                out_ += ',';
            }
            if (pretty()) {
                newline(depth + 1);
            }
            if (!write(a[i], depth + 1)) {
                return false;
            }
        }
        if (pretty() && !a.empty()) {
            newline(depth);
        }
        out_ += ']';
        return true;
    }

    bool writeDictionary(const Dictionary& d, int depth) {
        if (!checkDepth(depth)) {
            return false;
        }
        if (!(options_ & JSONSerialization::WritingSortedKeys)) {
            return writeEntries(d.begin(), d.end(), d.size(), depth,
                                [](auto it) -> const Dictionary::Entry& { return *it; });
        }
        std::vector<const Dictionary::Entry*> entries;
        entries.reserve(d.size());
        for (const auto& e : d) {
            entries.push_back(&e);
        }
        std::stable_sort(entries.begin(), entries.end(),
                         [](auto* a, auto* b) { return String::compareUTF16(a->first, b->first) < 0; });
        return writeEntries(entries.begin(), entries.end(), entries.size(), depth,
                            [](auto it) -> const Dictionary::Entry& { return **it; });
    }

    template <class It, class Deref>
    bool writeEntries(It begin, It end, size_t count, int depth, Deref deref) {
        out_ += '{';
        bool first = true;
        for (It it = begin; it != end; ++it) {
            const Dictionary::Entry& e = deref(it);
            if (!first) {
                out_ += ',';
            }
            first = false;
            if (pretty()) {
                newline(depth + 1);
            }
            if (!writeString(e.first)) {
                return false;
            }
            out_ += pretty() ? " : " : ":";
            if (!write(e.second, depth + 1)) {
                return false;
            }
        }
        if (pretty() && count > 0) {
            newline(depth);
        }
        out_ += '}';
        return true;
    }

    unsigned options_;
    std::string& out_;
    std::optional<Error> error_;
};

bool validJSON(const Value& v, int depth) {
    switch (v.kind()) {
    case Value::Kind::Null:
    case Value::Kind::Bool:
    case Value::Kind::Int:
    case Value::Kind::UInt:
    case Value::Kind::String:
        return true;
    case Value::Kind::Double:
        return std::isfinite(v.asDouble());
    case Value::Kind::Array:
        if (depth >= JSONSerialization::kMaxDepth) {
            return false;
        }
        return std::all_of(v.asArray().begin(), v.asArray().end(),
                           [depth](const Value& e) { return validJSON(e, depth + 1); });
    case Value::Kind::Dictionary:
        if (depth >= JSONSerialization::kMaxDepth) {
            return false;
        }
        for (const auto& [k, e] : v.asDictionary()) {
            if (!validJSON(e, depth + 1)) {
                return false;
            }
        }
        return true;
    default:
        return false;
    }
}

enum class UnicodeForm { utf8, utf16BE, utf16LE, utf32BE, utf32LE };

struct DetectedForm {
    UnicodeForm form;
    std::size_t markLength;
};

// As the platform reads JSON: a byte-order mark names the form; without one, JSON text starts with an
// ASCII character, so the places of the zero bytes among the first four tell UTF-16 and UTF-32 apart.
DetectedForm detectForm(std::string_view text) {
    const auto at = [&](std::size_t i) { return i < text.size() ? static_cast<uint8_t>(text[i]) : -1; };
    const std::size_t n = text.size();
    if (n >= 4 && at(0) == 0 && at(1) == 0 && at(2) == 0xFE && at(3) == 0xFF)
        return {UnicodeForm::utf32BE, 4};
    if (n >= 4 && at(0) == 0xFF && at(1) == 0xFE && at(2) == 0 && at(3) == 0)
        return {UnicodeForm::utf32LE, 4};
    if (n >= 2 && at(0) == 0xFE && at(1) == 0xFF)
        return {UnicodeForm::utf16BE, 2};
    if (n >= 2 && at(0) == 0xFF && at(1) == 0xFE)
        return {UnicodeForm::utf16LE, 2};
    if (n >= 4 && at(0) == 0 && at(1) == 0 && at(2) == 0 && at(3) != 0)
        return {UnicodeForm::utf32BE, 0};
    if (n >= 4 && at(0) != 0 && at(1) == 0 && at(2) == 0 && at(3) == 0)
        return {UnicodeForm::utf32LE, 0};
    if (n >= 2 && at(0) == 0 && at(1) != 0)
        return {UnicodeForm::utf16BE, 0};
    if (n >= 2 && at(0) != 0 && at(1) == 0)
        return {UnicodeForm::utf16LE, 0};
    return {UnicodeForm::utf8, 0};
}

// UTF-16 or UTF-32 text (after its mark) as UTF-8; none for a cut-off unit, an unpaired surrogate or a
// value outside Unicode.
std::optional<std::string> toUTF8(std::string_view text, UnicodeForm form) {
    const bool wide = form == UnicodeForm::utf32BE || form == UnicodeForm::utf32LE;
    const bool big = form == UnicodeForm::utf16BE || form == UnicodeForm::utf32BE;
    const std::size_t width = wide ? 4 : 2;
    if (text.size() % width != 0)
        return std::nullopt;
    const auto unit = [&](std::size_t i) {
        char32_t u = 0;
        for (std::size_t b = 0; b < width; ++b) {
            const auto byte = static_cast<uint8_t>(text[i * width + (big ? b : width - 1 - b)]);
            u = (u << 8) | byte;
        }
        return u;
    };
    std::string out;
    out.reserve(text.size());
    const std::size_t count = text.size() / width;
    for (std::size_t i = 0; i < count; ++i) {
        char32_t c = unit(i);
        if (!wide && c >= 0xD800 && c <= 0xDBFF) {
            const char32_t low = i + 1 < count ? unit(i + 1) : 0;
            if (low < 0xDC00 || low > 0xDFFF)
                return std::nullopt;
            c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
            ++i;
        } else if ((c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF) {
            return std::nullopt;
        }
        String::appendUTF8(out, c);
    }
    return out;
}

} // namespace

Result<Value> JSONSerialization::jsonObject(std::string_view text, unsigned options) {
    ValueBuilder builder((options & ReadingFragmentsAllowed) != 0);
    if (text.empty()) {
        return Error::propertyListReadCorrupt("Unable to parse empty data.");
    }
    const DetectedForm detected = detectForm(text);
    if (detected.form != UnicodeForm::utf8) {
        const auto utf8 = toUTF8(text.substr(detected.markLength), detected.form);
        if (!utf8) {
            return Error::propertyListReadCorrupt("Unable to convert data to string.");
        }
        if (utf8->empty()) {
            return Error::propertyListReadCorrupt("Unable to parse empty data.");
        }
        bool parsed = nlohmann::json::sax_parse(utf8->begin(), utf8->end(), &builder);
        return builder.finish(parsed);
    }
    bool parsed = nlohmann::json::sax_parse(text.begin(), text.end(), &builder);
    return builder.finish(parsed);
}

Result<Value> JSONSerialization::jsonObject(std::span<const uint8_t> bytes, unsigned options) {
    return jsonObject(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()), options);
}

Result<std::string> JSONSerialization::string(const Value& value, unsigned options) {
    if (!(options & WritingFragmentsAllowed) && !value.isArray() && !value.isDictionary()) {
        return Error::propertyListWriteInvalid("Invalid top-level type in JSON write");
    }
    std::string out;
    Writer w(options, out);
    if (!w.write(value, 0)) {
        return std::move(*w.error());
    }
    return out;
}

Result<Data> JSONSerialization::data(const Value& value, unsigned options) {
    auto s = string(value, options);
    if (!s) {
        return s.error();
    }
    return Data(s->begin(), s->end());
}

bool JSONSerialization::isValidJSONObject(const Value& value) {
    return (value.isArray() || value.isDictionary()) && validJSON(value, 0);
}

} // namespace plat

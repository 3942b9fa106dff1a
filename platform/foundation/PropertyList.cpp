#include "platform/foundation/PropertyList.hpp"

#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <plist/plist.h>

#include "platform/foundation/String.hpp"

namespace plat {

namespace {

struct PlistFree {
    void operator()(void* p) const { plist_free(static_cast<plist_t>(p)); }
};
using PlistPtr = std::unique_ptr<void, PlistFree>;

// ---- nesting bounds, checked before libplist sees the input -------------------------
// libplist parses both formats recursively; a deep enough file overflows the stack.

// Maximum <array>/<dict> nesting of an XML property list, skipping comments, CDATA,
// processing instructions and declarations the way the parser does.
int xmlDepth(std::string_view s) {
    int depth = 0, maxDepth = 0;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '<') {
            continue;
        }
        std::string_view rest = s.substr(i);
        auto skipTo = [&](std::string_view end) {
            size_t p = s.find(end, i);
            i = p == std::string_view::npos ? s.size() : p + end.size() - 1;
        };
        if (rest.starts_with("<!--")) {
            skipTo("-->");
            continue;
        }
        if (rest.starts_with("<![CDATA[")) {
            skipTo("]]>");
            continue;
        }
        if (rest.starts_with("<?")) {
            skipTo("?>");
            continue;
        }
        if (rest.starts_with("<!")) {
            skipTo(">");
            continue;
        }
        size_t close = s.find('>', i);
        if (close == std::string_view::npos) {
            break;
        }
        std::string_view tag = s.substr(i + 1, close - i - 1);
        bool selfClosing = !tag.empty() && tag.back() == '/';
        bool closing = !tag.empty() && tag.front() == '/';
        std::string_view name = closing ? tag.substr(1) : tag;
        size_t end = name.find_first_of(" \t\r\n/");
        name = name.substr(0, end);
        if (name == "array" || name == "dict") {
            if (closing) {
                --depth;
            } else if (!selfClosing) {
                maxDepth = std::max(maxDepth, ++depth);
            }
        }
        i = close;
    }
    return maxDepth;
}

uint64_t readBE(const uint8_t* p, size_t n) {
    uint64_t v = 0;
    for (size_t i = 0; i < n; ++i) {
        v = (v << 8) | p[i];
    }
    return v;
}

// Maximum container nesting of a binary property list, or -1 when its structure is
// broken (offsets outside the file, references to missing objects, cycles).
int binaryDepth(std::span<const uint8_t> b) {
    if (b.size() < 8 + 32) {
        return -1;
    }
    const uint8_t* t = b.data() + b.size() - 32;
    size_t offsetSize = t[6], refSize = t[7];
    uint64_t numObjects = readBE(t + 8, 8), top = readBE(t + 16, 8), tableOffset = readBE(t + 24, 8);
    if (offsetSize < 1 || offsetSize > 8 || refSize < 1 || refSize > 8 || numObjects == 0 ||
        top >= numObjects || tableOffset >= b.size() || numObjects > (b.size() - tableOffset) / offsetSize) {
        return -1;
    }
    auto objectOffset = [&](uint64_t ref) -> uint64_t {
        return readBE(b.data() + tableOffset + ref * offsetSize, offsetSize);
    };
    // Children of a container object: (first ref position, count); count 0 for leaves.
    struct Refs {
        uint64_t at = 0, count = 0;
        bool ok = true;
    };
    auto refsOf = [&](uint64_t ref) -> Refs {
        uint64_t off = objectOffset(ref);
        if (off >= tableOffset) {
            return {0, 0, false};
        }
        uint8_t marker = b[off];
        unsigned type = marker >> 4;
        if (type != 0xA && type != 0xB && type != 0xC && type != 0xD) {
            return {};
        }
        uint64_t count = marker & 0x0F, pos = off + 1;
        if (count == 0x0F) {
            if (pos >= b.size() || (b[pos] >> 4) != 0x1) {
                return {0, 0, false};
            }
            size_t n = size_t{1} << (b[pos] & 0x0F);
            if (n > 8 || pos + 1 + n > b.size()) {
                return {0, 0, false};
            }
            count = readBE(b.data() + pos + 1, n);
            pos += 1 + n;
        }
        uint64_t refs = type == 0xD ? count * 2 : count;
        if (count > b.size() || refs > (b.size() - pos) / refSize) {
            return {0, 0, false};
        }
        return {pos, refs, true};
    };

    std::vector<int> depth(numObjects, -1); // -1 unvisited, -2 on the path, else done
    struct Frame {
        uint64_t ref;
        Refs refs;
        uint64_t next;
        int best;
    };
    std::vector<Frame> stack;
    auto push = [&](uint64_t ref) -> bool {
        Refs r = refsOf(ref);
        if (!r.ok) {
            return false;
        }
        depth[ref] = -2;
        stack.push_back(Frame{ref, r, 0, 0});
        return true;
    };
    if (!push(top)) {
        return -1;
    }
    int result = 0;
    while (!stack.empty()) {
        Frame& f = stack.back();
        if (f.next < f.refs.count) {
            uint64_t child = readBE(b.data() + f.refs.at + f.next * refSize, refSize);
            ++f.next;
            if (child >= numObjects || depth[child] == -2) {
                return -1;
            }
            if (depth[child] >= 0) {
                f.best = std::max(f.best, depth[child]);
                continue;
            }
            if (!push(child)) {
                return -1;
            }
            if (stack.size() > static_cast<size_t>(PropertyListSerialization::kMaxDepth) + 1) {
                return static_cast<int>(stack.size());
            }
            continue;
        }
        int d = f.refs.count > 0 || (b[objectOffset(f.ref)] >> 4) >= 0xA ? f.best + 1 : 0;
        depth[f.ref] = d;
        result = d;
        stack.pop_back();
        if (!stack.empty()) {
            stack.back().best = std::max(stack.back().best, d);
        }
    }
    return result;
}

// ---- libplist tree to Value ---------------------------------------------------------------

Result<Value> toValue(plist_t node, int depth) {
    if (depth > PropertyListSerialization::kMaxDepth) {
        return Error::propertyListReadCorrupt("Too many nested arrays or dictionaries.");
    }
    switch (plist_get_node_type(node)) {
    case PLIST_BOOLEAN: {
        uint8_t b = 0;
        plist_get_bool_val(node, &b);
        return Value(b != 0);
    }
    case PLIST_UINT: {
        uint64_t u = 0;
        plist_get_uint_val(node, &u);
        // libplist keeps negative integers as their two's-complement bit pattern and
        // does not say which was meant; negative values are the common case in files.
        return Value(static_cast<int64_t>(u));
    }
    case PLIST_REAL: {
        double d = 0;
        plist_get_real_val(node, &d);
        return Value(d);
    }
    case PLIST_STRING:
    case PLIST_KEY: {
        char* s = nullptr;
        if (plist_get_node_type(node) == PLIST_STRING) {
            plist_get_string_val(node, &s);
        } else {
            plist_get_key_val(node, &s);
        }
        std::unique_ptr<char, decltype(&std::free)> owned(s, &std::free);
        std::string_view text = s ? std::string_view(s) : std::string_view();
        if (!String::isValidUTF8(text)) {
            return Error::propertyListReadCorrupt("String is not valid UTF-8.");
        }
        return Value(std::string(text));
    }
    case PLIST_DATE: {
        int32_t sec = 0, usec = 0;
        plist_get_date_val(node, &sec, &usec);
        // libplist splits a negative time toward zero and drops the fraction's sign
        // (-5.25 comes back as -5 and 250000).
        double fraction = std::abs(usec) / 1e6;
        return Value(Date::fromTimeIntervalSinceReferenceDate(sec < 0 ? sec - fraction : sec + fraction));
    }
    case PLIST_DATA: {
        char* p = nullptr;
        uint64_t len = 0;
        plist_get_data_val(node, &p, &len);
        std::unique_ptr<char, decltype(&std::free)> owned(p, &std::free);
        const uint8_t* u = reinterpret_cast<const uint8_t*>(p);
        return Value(Data(u, u + (p ? len : 0)));
    }
    case PLIST_ARRAY: {
        Array a;
        uint32_t n = plist_array_get_size(node);
        a.reserve(n);
        for (uint32_t i = 0; i < n; ++i) {
            auto v = toValue(plist_array_get_item(node, i), depth + 1);
            if (!v) {
                return v.error();
            }
            a.push_back(std::move(*v));
        }
        return Value(std::move(a));
    }
    case PLIST_DICT: {
        Dictionary d;
        plist_dict_iter it = nullptr;
        plist_dict_new_iter(node, &it);
        std::unique_ptr<void, decltype(&std::free)> ownedIter(it, &std::free);
        while (true) {
            char* key = nullptr;
            plist_t item = nullptr;
            plist_dict_next_item(node, it, &key, &item);
            std::unique_ptr<char, decltype(&std::free)> ownedKey(key, &std::free);
            if (!item) {
                break;
            }
            std::string_view k = key ? std::string_view(key) : std::string_view();
            if (!String::isValidUTF8(k)) {
                return Error::propertyListReadCorrupt("Key is not valid UTF-8.");
            }
            auto v = toValue(item, depth + 1);
            if (!v) {
                return v.error();
            }
            d.set(k, std::move(*v));
        }
        return Value(std::move(d));
    }
    case PLIST_UID: {
        uint64_t u = 0;
        plist_get_uid_val(node, &u);
        return Value(Dictionary{{"CF$UID", Value(u)}});
    }
    default:
        return Error::propertyListReadCorrupt("Unknown property list object.");
    }
}

// ---- Value to libplist tree ---------------------------------------------------------------

Result<PlistPtr> toPlist(const Value& v, PropertyListSerialization::Format format, int depth) {
    if (depth > PropertyListSerialization::kMaxDepth) {
        return Error::propertyListWriteInvalid("Too many nested arrays or dictionaries.");
    }
    switch (v.kind()) {
    case Value::Kind::Null:
        return Error::propertyListWriteInvalid("Property list invalid for format (NSNull)");
    case Value::Kind::Bool:
        return PlistPtr(plist_new_bool(v.asBool() ? 1 : 0));
    case Value::Kind::Int:
        return PlistPtr(plist_new_uint(static_cast<uint64_t>(v.asInt64())));
    case Value::Kind::UInt:
        // libplist writes these as their negative bit pattern, which every reader
        // takes for a negative number; refusing beats a silently changed value.
        return Error::propertyListWriteInvalid(
            "Property list invalid for format (integer above 9223372036854775807)");
    case Value::Kind::Double:
        if (format == PropertyListSerialization::Format::XML && !std::isfinite(v.asDouble())) {
            return Error::propertyListWriteInvalid(
                "Property list invalid for format (non-finite real in XML)");
        }
        return PlistPtr(plist_new_real(v.asDouble()));
    case Value::Kind::String: {
        const std::string& s = v.asString();
        if (s.find('\0') != std::string::npos || !String::isValidUTF8(s)) {
            return Error::propertyListWriteInvalid(
                "Property list invalid for format (string with NUL or not UTF-8)");
        }
        return PlistPtr(plist_new_string(s.c_str()));
    }
    case Value::Kind::Data: {
        const Data& d = v.asData();
        return PlistPtr(plist_new_data(reinterpret_cast<const char*>(d.data()), d.size()));
    }
    case Value::Kind::Date: {
        double t = v.asDate().timeIntervalSinceReferenceDate();
        double sec = std::floor(t);
        if (!std::isfinite(t) || sec < std::numeric_limits<int32_t>::min() ||
            sec > std::numeric_limits<int32_t>::max()) {
            return Error::propertyListWriteInvalid("Property list invalid for format (date out of range)");
        }
        int32_t usec = static_cast<int32_t>(std::min(999999.0, std::round((t - sec) * 1e6)));
        return PlistPtr(plist_new_date(static_cast<int32_t>(sec), usec));
    }
    case Value::Kind::Array: {
        PlistPtr a(plist_new_array());
        for (const Value& e : v.asArray()) {
            auto child = toPlist(e, format, depth + 1);
            if (!child) {
                return child.error();
            }
            plist_array_append_item(a.get(), child->release());
        }
        return a;
    }
    case Value::Kind::Dictionary: {
        PlistPtr d(plist_new_dict());
        for (const auto& [k, e] : v.asDictionary()) {
            if (k.find('\0') != std::string::npos) {
                return Error::propertyListWriteInvalid("Property list invalid for format (key with NUL)");
            }
            auto child = toPlist(e, format, depth + 1);
            if (!child) {
                return child.error();
            }
            plist_dict_set_item(d.get(), k.c_str(), child->release());
        }
        return d;
    }
    case Value::Kind::Object:
        return Error::propertyListWriteInvalid("Property list invalid for format (" + v.className() + ")");
    }
    return Error::propertyListWriteInvalid("Property list invalid for format");
}

std::string_view kindName(const Value& v) {
    switch (v.kind()) {
    case Value::Kind::Array:
        return "an array";
    case Value::Kind::String:
        return "a string";
    case Value::Kind::Data:
        return "data";
    case Value::Kind::Date:
        return "a date";
    case Value::Kind::Bool:
        return "a boolean";
    default:
        return "a number";
    }
}

} // namespace

Result<PropertyListSerialization::Parsed>
PropertyListSerialization::propertyList(std::span<const uint8_t> bytes, unsigned) {
    if (bytes.size() > kMaxInputBytes) {
        return Error::propertyListReadCorrupt("Property list input is larger than 64 MiB.");
    }
    std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    plist_t root = nullptr;
    Format format;
    if (text.starts_with("bplist00")) {
        int d = binaryDepth(bytes);
        if (d < 0) {
            return Error::propertyListReadCorrupt("Corrupt binary property list.");
        }
        if (d > kMaxDepth) {
            return Error::propertyListReadCorrupt("Too many nested arrays or dictionaries.");
        }
        plist_from_bin(text.data(), static_cast<uint32_t>(text.size()), &root);
        format = Format::Binary;
    } else {
        std::string_view body = text;
        if (body.starts_with("\xEF\xBB\xBF")) {
            body.remove_prefix(3);
        }
        size_t first = body.find_first_not_of(" \t\r\n");
        if (first == std::string_view::npos || body[first] != '<') {
            return Error::propertyListReadCorrupt(
                first == std::string_view::npos
                    ? "Empty property list input."
                    : "Old-style (OpenStep) property lists are not read; expected XML or binary.");
        }
        if (xmlDepth(body) > kMaxDepth) {
            return Error::propertyListReadCorrupt("Too many nested arrays or dictionaries.");
        }
        plist_from_xml(text.data(), static_cast<uint32_t>(text.size()), &root);
        format = Format::XML;
    }
    if (!root) {
        return Error::propertyListReadCorrupt("Unexpected character or structure in property list.");
    }
    PlistPtr owned(root);
    auto v = toValue(root, 0);
    if (!v) {
        return v.error();
    }
    return Parsed{std::move(*v), format};
}

Result<PropertyListSerialization::Parsed> PropertyListSerialization::propertyList(std::string_view bytes,
                                                                                  unsigned options) {
    return propertyList(std::span(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()), options);
}

Result<Dictionary> PropertyListSerialization::dictionary(std::span<const uint8_t> bytes) {
    auto parsed = propertyList(bytes);
    if (!parsed) {
        return parsed.error();
    }
    if (!parsed->value.isDictionary()) {
        return Error::propertyListReadCorrupt(
            "Expected a dictionary at the top of the property list, found " +
            std::string(kindName(parsed->value)) + ".");
    }
    return parsed->value.asDictionary();
}

Result<Data> PropertyListSerialization::data(const Value& value, Format format, unsigned) {
    if (format != Format::XML && format != Format::Binary) {
        return Error::propertyListWriteInvalid("Property list format not supported for writing.");
    }
    auto tree = toPlist(value, format, 0);
    if (!tree) {
        return tree.error();
    }
    char* out = nullptr;
    uint32_t len = 0;
    if (format == Format::XML) {
        plist_to_xml(tree->get(), &out, &len);
    } else {
        plist_to_bin(tree->get(), &out, &len);
    }
    if (!out) {
        return Error::propertyListWriteInvalid("Property list could not be written.");
    }
    Data d(reinterpret_cast<uint8_t*>(out), reinterpret_cast<uint8_t*>(out) + len);
    if (format == Format::XML) {
        plist_to_xml_free(out);
    } else {
        plist_to_bin_free(out);
    }
    return d;
}

bool PropertyListSerialization::propertyListIsValidForFormat(const Value& value, Format format) {
    return data(value, format).ok();
}

} // namespace plat

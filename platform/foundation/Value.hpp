#pragma once
// plat::Value stands for the platform's object graph (numbers, strings, data, dates,
// arrays, dictionaries, null, runtime objects) with the platform's conversion rules.
// Containers are shared copy-on-write, so copying a Value is cheap.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <iosfwd>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

#include "platform/foundation/Date.hpp"

namespace plat::rt {
class Object;
}

namespace plat {

class Value;
class Dictionary;

// Integer types a Value holds as a number (bool and character types excluded).
template <class T>
concept PlainInteger = std::is_integral_v<T> && !std::is_same_v<T, bool> && !std::is_same_v<T, char> &&
                       !std::is_same_v<T, char8_t> && !std::is_same_v<T, char16_t> &&
                       !std::is_same_v<T, char32_t> && !std::is_same_v<T, wchar_t>;
template <class T>
concept NonCharPointee = !std::is_same_v<std::remove_cv_t<T>, char>;

using Data = std::vector<uint8_t>;
using Array = std::vector<Value>;

// Hooks the object runtime installs so that values can name and describe the
// objects they hold without foundation depending on the runtime.
struct ObjectHooks {
    std::string (*className)(const rt::Object&) = nullptr;
    std::string (*description)(const rt::Object&) = nullptr; // nullptr: "<ClassName: 0x...>"
};

class Value {
public:
    enum class Kind { Null, Bool, Int, UInt, Double, String, Data, Date, Array, Dictionary, Object };

    Value() noexcept = default; // the platform's null object
    Value(std::nullptr_t) noexcept {}
    Value(bool b) noexcept : v_(b) {}
    template <PlainInteger T> Value(T n) noexcept {
        if constexpr (std::is_signed_v<T>) {
            v_ = static_cast<int64_t>(n);
        } else if (static_cast<uint64_t>(n) <= static_cast<uint64_t>(INT64_MAX)) {
            // Unsigned values in the signed range behave exactly like signed ones;
            // only the top half keeps its own kind.
            v_ = static_cast<int64_t>(n);
        } else {
            v_ = static_cast<uint64_t>(n);
        }
    }
    Value(double d) noexcept : v_(Real{d, false}) {}
    Value(float f) noexcept : v_(Real{f, true}) {}
    Value(const char* s) { // a null C string is null, as a nil string is
        if (s) {
            v_ = std::make_shared<const std::string>(s);
        }
    }
    Value(std::string s) : v_(std::make_shared<const std::string>(std::move(s))) {}
    Value(std::string_view s) : v_(std::make_shared<const std::string>(s)) {}
    Value(Data d) : v_(std::make_shared<const plat::Data>(std::move(d))) {}
    Value(plat::Date d) noexcept : v_(d) {}
    Value(Array a);
    Value(Dictionary d);
    Value(std::shared_ptr<rt::Object> o);
    // A stray pointer must not become a bool.
    template <NonCharPointee T> Value(T*) = delete;

    static Value fromFloat(float f) noexcept { return Value(f); }
    static Value emptyArray();
    static Value emptyDictionary();

    Kind kind() const noexcept { return static_cast<Kind>(v_.index()); }

    bool isNull() const noexcept { return kind() == Kind::Null; }
    bool isBool() const noexcept { return kind() == Kind::Bool; }
    // Bools, integers, reals, and decimal-number objects.
    bool isNumber() const noexcept;
    bool isInteger() const noexcept { return kind() == Kind::Int || kind() == Kind::UInt; }
    bool isFloatingPoint() const noexcept { return kind() == Kind::Double; }
    bool isFloat() const noexcept; // a real that was stored from a float
    bool isString() const noexcept { return kind() == Kind::String; }
    bool isData() const noexcept { return kind() == Kind::Data; }
    bool isDate() const noexcept { return kind() == Kind::Date; }
    bool isArray() const noexcept { return kind() == Kind::Array; }
    bool isDictionary() const noexcept { return kind() == Kind::Dictionary; }
    bool isObject() const noexcept { return kind() == Kind::Object; }

    // Typed access; the wrong kind throws std::logic_error (a programming fault).
    bool asBool() const;
    int64_t asInt64() const;   // Int, or UInt within range
    uint64_t asUInt64() const; // UInt, or non-negative Int
    double asDouble() const;   // Double only
    const std::string& asString() const;
    const plat::Data& asData() const;
    plat::Date asDate() const;
    const plat::Array& asArray() const;
    plat::Array& asArray(); // detaches a shared array
    const plat::Dictionary& asDictionary() const;
    plat::Dictionary& asDictionary(); // detaches a shared dictionary
    const std::shared_ptr<rt::Object>& asObject() const;

    // Typed access that yields nullptr for another kind.
    const std::string* ifString() const noexcept;
    const plat::Data* ifData() const noexcept;
    const plat::Array* ifArray() const noexcept;
    const plat::Dictionary* ifDictionary() const noexcept;
    std::optional<plat::Date> ifDate() const noexcept;
    rt::Object* ifObject() const noexcept;

    // Dictionary conveniences. find() yields nullptr when this is no dictionary or
    // the key is absent (absent differs from a stored null).
    const Value* find(std::string_view key) const noexcept;
    Value* find(std::string_view key);
    bool contains(std::string_view key) const noexcept { return find(key) != nullptr; }
    // Inserts null for a missing key; a null value first becomes an empty dictionary.
    Value& operator[](std::string_view key);
    // A missing key or a non-dictionary reads as null.
    const Value& operator[](std::string_view key) const noexcept;

    // Array conveniences; at() throws std::out_of_range past the end.
    const Value& at(size_t index) const;
    void push_back(Value v); // a null value first becomes an empty array
    // Element count of an array or dictionary, byte count of data or string; else 0.
    size_t size() const noexcept;

    // Conversions with the platform's rules.
    bool boolValue() const noexcept;
    int64_t integerValue() const noexcept;
    int64_t longLongValue() const noexcept { return integerValue(); }
    int32_t intValue() const noexcept { return static_cast<int32_t>(static_cast<uint32_t>(integerValue())); }
    uint32_t unsignedIntValue() const noexcept;
    uint64_t unsignedLongLongValue() const noexcept;
    double doubleValue() const noexcept;
    // A string as is, a number its description; other kinds their description.
    std::string stringValue() const;

    std::string description() const;
    // "(null)" for absent, else description().
    static std::string description(const std::optional<Value>& v);
    static std::string description(const Value* v);
    std::string className() const;

    bool isEqual(const Value& other) const noexcept;
    friend bool operator==(const Value& a, const Value& b) noexcept { return a.isEqual(b); }
    size_t hash() const noexcept;

    static void setObjectHooks(ObjectHooks hooks) noexcept;
    static ObjectHooks objectHooks() noexcept;

private:
    struct Real {
        double value;
        bool wasFloat;
    };
    using Storage =
        std::variant<std::monostate, bool, int64_t, uint64_t, Real, std::shared_ptr<const std::string>,
                     std::shared_ptr<const plat::Data>, plat::Date, std::shared_ptr<plat::Array>,
                     std::shared_ptr<plat::Dictionary>, std::shared_ptr<rt::Object>>;
    Storage v_;

    friend class Dictionary;
    void describeInto(std::string& out, int indent) const;
};

// String-keyed dictionary that keeps insertion order and looks keys up in O(1).
class Dictionary {
public:
    using Entry = std::pair<std::string, Value>;

    Dictionary() = default;
    Dictionary(std::initializer_list<Entry> entries);
    Dictionary(const Dictionary& other);
    Dictionary(Dictionary&&) noexcept = default;
    Dictionary& operator=(const Dictionary& other);
    Dictionary& operator=(Dictionary&&) noexcept = default;

    size_t size() const noexcept { return entries_.size(); }
    bool empty() const noexcept { return entries_.empty(); }

    const Value* find(std::string_view key) const noexcept;
    Value* find(std::string_view key) noexcept;
    bool contains(std::string_view key) const noexcept { return find(key) != nullptr; }
    // Inserts null for a missing key.
    Value& operator[](std::string_view key);
    // Replaces the value of an existing key in place, else appends.
    void set(std::string_view key, Value v);
    bool erase(std::string_view key);
    void clear() noexcept;

    std::vector<std::string> keys() const;
    // Entries in insertion order.
    auto begin() const noexcept { return entries_.begin(); }
    auto end() const noexcept { return entries_.end(); }
    auto begin() noexcept { return entries_.begin(); }
    auto end() noexcept { return entries_.end(); }

    // Same key set and equal values; order does not matter.
    bool operator==(const Dictionary& other) const noexcept;

private:
    // Small dictionaries are scanned; an index is built once they grow.
    static constexpr size_t kIndexThreshold = 8;
    std::optional<size_t> indexOf(std::string_view key) const noexcept;
    void rebuildIndex();

    struct Hash {
        using is_transparent = void;
        size_t operator()(std::string_view s) const noexcept { return std::hash<std::string_view>{}(s); }
    };
    std::vector<Entry> entries_;
    std::unordered_map<std::string, size_t, Hash, std::equal_to<>> index_;
};

// Writes description(); lets test frameworks and logs print values.
std::ostream& operator<<(std::ostream& os, const Value& v);

} // namespace plat

template <> struct std::hash<plat::Value> {
    size_t operator()(const plat::Value& v) const noexcept { return v.hash(); }
};

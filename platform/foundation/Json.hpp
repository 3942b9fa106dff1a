#pragma once
// JSONSerialization: JSON text to plat::Value and back, with the platform's options,
// errors (3840 unreadable, 3852 unwritable) and a nesting bound against hostile input.

#include <cstdint>
#include <span>
#include <string_view>

#include "platform/foundation/Error.hpp"
#include "platform/foundation/Value.hpp"

namespace plat {

class JSONSerialization {
public:
    // Reading options. Only fragmentsAllowed changes anything: containers here are
    // always mutable.
    static constexpr unsigned ReadingMutableContainers = 1;
    static constexpr unsigned ReadingMutableLeaves = 2;
    static constexpr unsigned ReadingFragmentsAllowed = 4;
    // Writing options.
    static constexpr unsigned WritingPrettyPrinted = 1;
    static constexpr unsigned WritingSortedKeys = 2;
    static constexpr unsigned WritingFragmentsAllowed = 4;
    static constexpr unsigned WritingWithoutEscapingSlashes = 8;

    // Arrays and objects nested deeper than this are refused, on read and on write.
    static constexpr int kMaxDepth = 512;

    static Result<Value> jsonObject(std::span<const uint8_t> bytes, unsigned options = 0);
    static Result<Value> jsonObject(std::string_view text, unsigned options = 0);

    static Result<Data> data(const Value& value, unsigned options = 0);
    // The same output as text.
    static Result<std::string> string(const Value& value, unsigned options = 0);

    // True when data() would succeed without fragmentsAllowed: an array or dictionary
    // of strings, finite numbers, bools, nulls and such containers.
    static bool isValidJSONObject(const Value& value);
};

} // namespace plat

#pragma once
// PropertyListSerialization: XML and binary property lists to plat::Value and back
// (libplist underneath), with input and nesting bounds against hostile files.

#include <cstdint>
#include <span>
#include <string_view>

#include "platform/foundation/Error.hpp"
#include "platform/foundation/Value.hpp"

namespace plat {

class PropertyListSerialization {
public:
    enum class Format { OpenStep = 1, XML = 100, Binary = 200 };
    // Mutability options have no effect: containers here are always mutable.
    static constexpr unsigned Immutable = 0;
    static constexpr unsigned MutableContainers = 1;
    static constexpr unsigned MutableContainersAndLeaves = 2;

    static constexpr size_t kMaxInputBytes = 64 * 1024 * 1024;
    static constexpr int kMaxDepth = 512;

    struct Parsed {
        Value value;
        Format format;
    };

    // XML or binary; error 3840 (with NSDebugDescription) for anything else, for input
    // above 64 MiB and for nesting deeper than kMaxDepth.
    static Result<Parsed> propertyList(std::span<const uint8_t> bytes, unsigned options = 0);
    static Result<Parsed> propertyList(std::string_view bytes, unsigned options = 0);
    // For callers that need a dictionary at the top: another top level is error 3840
    // whose debug description names what was found.
    static Result<Dictionary> dictionary(std::span<const uint8_t> bytes);

    // XML or binary; error 3852 for null, non-finite reals in XML, runtime objects,
    // strings with NUL, integers above INT64_MAX and dates outside 1933-2069 (what
    // libplist can hold), and OpenStep output.
    static Result<Data> data(const Value& value, Format format, unsigned options = 0);

    static bool propertyListIsValidForFormat(const Value& value, Format format);
};

} // namespace plat

#pragma once
// The decoded form of an audience's ResultData and the bit arithmetic on its word lists: filter n owns bit
// n % 64 of word n / 64, and a word the list does not carry reads as 0.

#include "core/NANOMessage.hpp"
#include "platform/foundation/Value.hpp"

#include <cstdint>
#include <map>
#include <optional>
#include <vector>

struct DMSAudienceResultData {
    std::vector<uint64_t> status;
    std::vector<uint64_t> results;
    // Filter ID -> the latest event time (whole seconds) at which the dynamic filter was true.
    std::map<int32_t, double> dynamicTimestamps;

    // None for bytes that do not decode.
    static std::optional<DMSAudienceResultData> decode(const plat::Data& bytes);
    static std::vector<uint64_t> words(NANOMessageRef resultData, int32_t field);
    static bool bit(const std::vector<uint64_t>& words, int32_t filterID);
    // Grows the list as far as the filter's word.
    static void setBit(std::vector<uint64_t>& words, int32_t filterID, bool value);
    // DynamicFilterResultTimestamp messages in ascending filter ID, times cut to whole seconds.
    static plat::Array dynamicTimestampMessages(const std::map<int32_t, double>& timestamps);
    static plat::Data encode(const std::vector<uint64_t>& status, const std::vector<uint64_t>& results,
                             const std::optional<plat::Array>& dynamicFilterTimestamps,
                             const std::optional<plat::Array>& sequenceFilterTimestamps);
};

#include "measurement/audiences/DMSAudienceResultData.hpp"

#include "measurement/messages/DMSPBMessages.hpp"

#include <cmath>

std::vector<uint64_t> DMSAudienceResultData::words(NANOMessageRef resultData, int32_t field) {
    std::vector<uint64_t> out;
    for (const plat::Value& word : NANOGetArray(resultData, field).value_or(plat::Array())) {
        out.push_back(word.unsignedLongLongValue());
    }
    return out;
}

std::optional<DMSAudienceResultData> DMSAudienceResultData::decode(const plat::Data& bytes) {
    auto message = bytes.empty() ? nullptr : DMSPBResultData::initWithBuffer(bytes);
    if (!message) {
        return std::nullopt;
    }
    DMSAudienceResultData data;
    data.status = words(message, DMSPBResultData::kStatus);
    data.results = words(message, DMSPBResultData::kResults);
    auto dynamic = NANOGetArray(message, DMSPBResultData::kDynamicFilterTimestamps,
                                &DMSPBDynamicFilterResultTimestamp::messageClass());
    for (const plat::Value& element : dynamic.value_or(plat::Array())) {
        auto* entry = dynamic_cast<DMSPBDynamicFilterResultTimestamp*>(element.ifObject());
        if (entry && NANOHasField(entry, DMSPBDynamicFilterResultTimestamp::kFilterID)) {
            data.dynamicTimestamps[NANOGetInt32(entry, DMSPBDynamicFilterResultTimestamp::kFilterID)] =
                static_cast<double>(NANOGetInt64(entry, DMSPBDynamicFilterResultTimestamp::kEvalTimestamp));
        }
    }
    return data;
}

bool DMSAudienceResultData::bit(const std::vector<uint64_t>& words, int32_t filterID) {
    if (filterID < 0) {
        return false;
    }
    const size_t word = static_cast<size_t>(filterID) / 64;
    return word < words.size() && ((words[word] >> (filterID % 64)) & 1u) != 0;
}

void DMSAudienceResultData::setBit(std::vector<uint64_t>& words, int32_t filterID, bool value) {
    if (filterID < 0) {
        return;
    }
    const size_t word = static_cast<size_t>(filterID) / 64;
    if (words.size() <= word) {
        words.resize(word + 1, 0);
    }
    const uint64_t mask = uint64_t{1} << (filterID % 64);
    words[word] = value ? (words[word] | mask) : (words[word] & ~mask);
}

plat::Array DMSAudienceResultData::dynamicTimestampMessages(const std::map<int32_t, double>& timestamps) {
    plat::Array messages;
    for (const auto& [filterID, time] : timestamps) {
        auto message = DMSPBDynamicFilterResultTimestamp::init();
        NANOSetInt32(message, DMSPBDynamicFilterResultTimestamp::kFilterID, filterID);
        NANOSetInt64(message, DMSPBDynamicFilterResultTimestamp::kEvalTimestamp, static_cast<int64_t>(std::trunc(time)));
        messages.push_back(plat::Value(plat::rt::ObjectPtr(message)));
    }
    return messages;
}

plat::Data DMSAudienceResultData::encode(const std::vector<uint64_t>& status, const std::vector<uint64_t>& results,
                                         const std::optional<plat::Array>& dynamicFilterTimestamps,
                                         const std::optional<plat::Array>& sequenceFilterTimestamps) {
    auto message = DMSPBResultData::init();
    auto list = [](const std::vector<uint64_t>& words) {
        plat::Array values;
        for (uint64_t word : words) {
            values.push_back(plat::Value(word));
        }
        return values;
    };
    NANOSetArray(message, DMSPBResultData::kStatus, list(status));
    NANOSetArray(message, DMSPBResultData::kResults, list(results));
    if (dynamicFilterTimestamps && !dynamicFilterTimestamps->empty()) {
        NANOSetArray(message, DMSPBResultData::kDynamicFilterTimestamps, dynamicFilterTimestamps);
    }
    if (sequenceFilterTimestamps && !sequenceFilterTimestamps->empty()) {
        NANOSetArray(message, DMSPBResultData::kSequenceFilterTimestamps, sequenceFilterTimestamps);
    }
    return message->protoBuffer().value_or(plat::Data());
}

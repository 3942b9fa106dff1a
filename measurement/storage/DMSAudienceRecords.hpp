#pragma once
// The stored forms of the audience definitions and of their evaluation results: value records, set once, as
// the database keeps them (the filters keyed by audience and filter ID, the results by audience).

#include "platform/foundation/Value.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <utility>

// A filter on events of one name; `data` is the encoded EventFilter message.
class DMSEventFilter {
public:
    DMSEventFilter(int32_t audienceID, int32_t filterID, std::string eventName, plat::Data data)
        : audienceID_(audienceID), filterID_(filterID), eventName_(std::move(eventName)), data_(std::move(data)) {}
    int32_t audienceID() const { return audienceID_; }
    int32_t filterID() const { return filterID_; }
    const std::string& eventName() const { return eventName_; }
    const plat::Data& data() const { return data_; }

private:
    int32_t audienceID_;
    int32_t filterID_;
    std::string eventName_;
    plat::Data data_;
};

// A filter on one user property; `data` is the encoded PropertyFilter message.
class DMSPropertyFilter {
public:
    DMSPropertyFilter(int32_t audienceID, int32_t filterID, std::string propertyName, plat::Data data)
        : audienceID_(audienceID), filterID_(filterID), propertyName_(std::move(propertyName)),
          data_(std::move(data)) {}
    int32_t audienceID() const { return audienceID_; }
    int32_t filterID() const { return filterID_; }
    const std::string& propertyName() const { return propertyName_; }
    const plat::Data& data() const { return data_; }

private:
    int32_t audienceID_;
    int32_t filterID_;
    std::string propertyName_;
    plat::Data data_;
};

// One audience's evaluation state: the current and, once bundled, the previous results (encoded ResultData
// messages; previous results may be absent).
class DMSFilterResult {
public:
    DMSFilterResult(int32_t audienceID, plat::Data currentResults, std::optional<plat::Data> previousResults)
        : audienceID_(audienceID), currentResults_(std::move(currentResults)),
          previousResults_(std::move(previousResults)) {}
    int32_t audienceID() const { return audienceID_; }
    const plat::Data& currentResults() const { return currentResults_; }
    const std::optional<plat::Data>& previousResults() const { return previousResults_; }

private:
    int32_t audienceID_;
    plat::Data currentResults_;
    std::optional<plat::Data> previousResults_;
};

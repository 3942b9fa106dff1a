#pragma once
// The timing record of one request: four absolute times (seconds since 2001-01-01 UTC) and the
// durations between them, unclamped so that out-of-order stamps stay visible.

#include <string>

namespace Zavorida {

class Timeline {
public:
    Timeline() : Timeline(0, 0, 0, 0) {}
    Timeline(double requestStartTime, double initialResponseTime, double requestCompletedTime,
             double serializationCompletedTime);

    double requestStartTime() const { return requestStartTime_; }
    double initialResponseTime() const { return initialResponseTime_; }
    double requestCompletedTime() const { return requestCompletedTime_; }
    double serializationCompletedTime() const { return serializationCompletedTime_; }
    double latency() const { return latency_; }
    double requestDuration() const { return requestDuration_; }
    double serializationDuration() const { return serializationDuration_; }
    double totalDuration() const { return totalDuration_; }

    // The four durations.
    std::string description() const;
    // The four times, then the four durations.
    std::string debugDescription() const;

private:
    double requestStartTime_;
    double initialResponseTime_;
    double requestCompletedTime_;
    double serializationCompletedTime_;
    double latency_;
    double requestDuration_;
    double serializationDuration_;
    double totalDuration_;
};

} // namespace Zavorida

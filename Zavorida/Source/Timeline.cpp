#include "Zavorida/Source/Timeline.hpp"

#include <charconv>
#include <initializer_list>
#include <utility>

namespace Zavorida {

namespace {

// "%.3f" without any locale: to_chars never uses a decimal comma, whatever locale the process set.
std::string formatSeconds(double value) {
    char buffer[400];
    auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, 3);
    return ec == std::errc() ? std::string(buffer, end) : std::string();
}

std::string entry(const char* label, double value, bool duration) {
    std::string text = "\"";
    text += label;
    text += "\": ";
    text += formatSeconds(value);
    if (duration) {
        text += " secs";
    }
    return text;
}

std::string wrap(std::initializer_list<std::string> entries) {
    std::string text = "Timeline: { ";
    bool first = true;
    for (const std::string& e : entries) {
        if (!first) {
            text += ", ";
        }
        first = false;
        text += e;
    }
    text += " }";
    return text;
}

} // namespace

Timeline::Timeline(double requestStartTime, double initialResponseTime, double requestCompletedTime,
                   double serializationCompletedTime)
    : requestStartTime_(requestStartTime), initialResponseTime_(initialResponseTime),
      requestCompletedTime_(requestCompletedTime), serializationCompletedTime_(serializationCompletedTime),
      latency_(initialResponseTime - requestStartTime),
      requestDuration_(requestCompletedTime - requestStartTime),
      serializationDuration_(serializationCompletedTime - requestCompletedTime),
      totalDuration_(serializationCompletedTime - requestStartTime) {}

std::string Timeline::description() const {
    return wrap({entry("Latency", latency_, true), entry("Request Duration", requestDuration_, true),
                 entry("Serialization Duration", serializationDuration_, true),
                 entry("Total Duration", totalDuration_, true)});
}

std::string Timeline::debugDescription() const {
    return wrap({entry("Request Start Time", requestStartTime_, false),
                 entry("Initial Response Time", initialResponseTime_, false),
                 entry("Request Completed Time", requestCompletedTime_, false),
                 entry("Serialization Completed Time", serializationCompletedTime_, false),
                 entry("Latency", latency_, true), entry("Request Duration", requestDuration_, true),
                 entry("Serialization Duration", serializationDuration_, true),
                 entry("Total Duration", totalDuration_, true)});
}

} // namespace Zavorida

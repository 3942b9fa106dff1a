#pragma once
// What the measurement suites share: a recorder of every monitor call and of the internal events handed to
// the analytics facade.

#include "measurement/engine/DMSAnalytics.hpp"
#include "measurement/engine/DMSMonitor.hpp"

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace dms::test {

// The piece `times` times over.
inline std::string repeated(const std::string& piece, int times) {
    std::string text;
    for (int i = 0; i < times; ++i) {
        text += piece;
    }
    return text;
}

struct MonitorCall {
    int64_t level;
    int64_t code;
    std::optional<std::string> message;
    DMSLogContexts contexts;
};

class MonitorRecorder {
public:
    MonitorRecorder() {
        DMSMonitor::setObserverForTesting([this](int64_t level, int64_t code,
                                                 const std::optional<std::string>& message,
                                                 const DMSLogContexts& contexts) {
            std::lock_guard lock(mutex_);
            calls_.push_back(MonitorCall{level, code, message, contexts});
        });
    }
    ~MonitorRecorder() { DMSMonitor::setObserverForTesting(nullptr); }
    MonitorRecorder(const MonitorRecorder&) = delete;
    MonitorRecorder& operator=(const MonitorRecorder&) = delete;

    std::vector<MonitorCall> calls() const {
        std::lock_guard lock(mutex_);
        return calls_;
    }
    std::vector<int64_t> codes() const {
        std::vector<int64_t> codes;
        for (const auto& call : calls()) {
            codes.push_back(call.code);
        }
        return codes;
    }
    void clear() {
        std::lock_guard lock(mutex_);
        calls_.clear();
    }

private:
    mutable std::mutex mutex_;
    std::vector<MonitorCall> calls_;
};

struct InternalEvent {
    std::string origin;
    std::string name;
    plat::Dictionary parameters;
};

class InternalEventRecorder {
public:
    InternalEventRecorder() {
        DMSAnalytics::setInternalEventListenerForTesting(
            [this](const std::string& origin, const std::string& name, const plat::Dictionary& parameters) {
                events.push_back(InternalEvent{origin, name, parameters});
            });
    }
    ~InternalEventRecorder() { DMSAnalytics::setInternalEventListenerForTesting(nullptr); }
    InternalEventRecorder(const InternalEventRecorder&) = delete;
    InternalEventRecorder& operator=(const InternalEventRecorder&) = delete;

    std::vector<InternalEvent> events;
};

} // namespace dms::test

#pragma once
// Shared by the session-shim and network-client tests: a booted device on the scripted network, and a
// session delegate that records what it hears in order.

#include "kit_host/VZRURLSession.hpp"

#include "platform/device/Boot.hpp"
#include "platform/dispatch/Backend.hpp"
#include "platform/net/ScriptedTransport.hpp"
#include "platform/net/SimNetwork.hpp"
#include "testing/TempAppHome.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <vector>

namespace shim_test {

inline void bootDevice(const plat::test::TempAppHome& home, std::vector<std::string> absentClasses = {}) {
    plat::DeviceConfig config;
    config.appHome = home.home();
    config.absentClasses = std::move(absentClasses);
    ASSERT_TRUE(plat::boot(config).ok());
}

// Records the delegate calls it answers for, as "<event> <task description>".
class RecordingSessionDelegate : public VZRSessionDelegate {
public:
    bool respondsTo(std::string_view selector) const override {
        namespace S = plat::URLSessionSelector;
        return selector == S::didCompleteWithError || selector == S::didReceiveResponse ||
               selector == S::didReceiveData || selector == S::didFinishDownloadingToURL;
    }
    void didCompleteWithError(VZRSession&, const VZRSessionTaskPtr& task, const std::optional<plat::Error>& error) override {
        record("complete " + task->taskDescription() + (error ? " " + std::to_string(error->code) : ""));
    }
    void didReceiveResponse(VZRSession&, const VZRSessionTaskPtr& task, const plat::HTTPURLResponse& response,
                            ResponseCompletion completion) override {
        record("response " + task->taskDescription() + " " + std::to_string(response.statusCode()));
        completion(plat::URLSessionResponseDisposition::allow);
    }
    void didReceiveData(VZRSession&, const VZRSessionTaskPtr& task, const plat::Data& data) override {
        record("data " + task->taskDescription() + " " + std::string(data.begin(), data.end()));
    }
    void didFinishDownloadingToURL(VZRSession&, const VZRSessionTaskPtr& task, const plat::URL& location) override {
        std::ifstream in(location.path());
        std::string body((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        record("downloaded " + task->taskDescription() + " " + body);
    }
    std::vector<std::string> events() const {
        std::lock_guard lock(mutex_);
        return events_;
    }

private:
    void record(std::string e) {
        std::lock_guard lock(mutex_);
        events_.push_back(std::move(e));
    }
    mutable std::mutex mutex_;
    std::vector<std::string> events_;
};

} // namespace shim_test

#pragma once
// The production WireTransport: one libcurl multi handle driven by one I/O thread, fed through a command
// queue that curl_multi_wakeup interrupts. All hop events and posted work run on that thread.

#include "platform/net/WireTransport.hpp"

#include <memory>
#include <string>
#include <thread>

namespace plat {

class CurlTransport final : public WireTransport {
public:
    // `label` names the I/O thread; `maxConnectionsPerHost` 0 leaves libcurl's default.
    explicit CurlTransport(std::string label, long maxConnectionsPerHost = 0);
    ~CurlTransport() override;
    CurlTransport(const CurlTransport&) = delete;
    CurlTransport& operator=(const CurlTransport&) = delete;

    void post(std::function<void()> fn) override;
    HopId start(WireRequest request, std::shared_ptr<WireObserver> observer) override;
    void stop(HopId hop) override;
    void pause(HopId hop) override;
    void resume(HopId hop) override;
    void shutdown() override;
    bool isQuietTransportThread() const override;

    bool isIOThread() const;

    struct Hop;  // one easy handle and its callbacks' state
    struct Core; // what the I/O thread uses; it outlives this object when released on that thread

private:
    std::shared_ptr<Core> core_;
    std::thread thread_;
};

} // namespace plat

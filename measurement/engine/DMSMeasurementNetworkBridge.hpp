#pragma once
// What the network layer holds of the controller, weakly: its reachability and logger delegate. The
// controller owns the bridge, so a reply or a reachability change that arrives after the controller is gone
// finds the bridge expired and does nothing.

#include "core/DVUNetwork.hpp"

#include <memory>

class DMSMeasurement;

class DMSMeasurementNetworkBridge final : public DVUNetworkReachabilityDelegate,
                                          public DVUNetworkLoggerDelegate,
                                          public std::enable_shared_from_this<DMSMeasurementNetworkBridge> {
public:
    explicit DMSMeasurementNetworkBridge(DMSMeasurement* controller) : controller_(controller) {}
    DMSMeasurement* controller() const { return controller_; }

    void reachabilityDidChange() override;
    void DVUNetwork_logWithLevel(long level, long messageCode, const std::optional<std::string>& message,
                                 const std::vector<plat::Value>& contexts) override;
    void DVUNetwork_logWithLevel(long level, long messageCode, const std::optional<std::string>& message,
                                 const plat::Value& context) override;
    void DVUNetwork_logWithLevel(long level, long messageCode, const std::optional<std::string>& message) override;

private:
    DMSMeasurement* controller_;
};

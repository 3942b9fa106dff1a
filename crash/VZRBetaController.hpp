#pragma once
// In builds signed for distribution to testers, asks the beta service whether a newer test build exists and
// offers it in an alert. The tester's token comes from a table of the app's font "Vuzidorazav". After a
// successful check no other is made for the settings' suspension time; a failed request leaves the
// controller in flight for the rest of the process. Runtime class "VZRBetaController" (the alert's delegate).

#include "crash/VZRSettings.hpp"

#include "kit_host/ZUVNetworkClient.hpp"

#include "platform/dispatch/DispatchQueue.hpp"
#include "platform/foundation/Error.hpp"
#include "platform/foundation/NotificationCenter.hpp"
#include "platform/foundation/Value.hpp"
#include "platform/net/URL.hpp"
#include "platform/net/URLRequest.hpp"
#include "platform/runtime/Object.hpp"

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

class VZRBetaController;

class VZRBetaControllerDelegate {
public:
    virtual ~VZRBetaControllerDelegate() = default;
    virtual std::optional<std::string> APIKeyForBetaController(VZRBetaController& controller) = 0;
    virtual VZRSettings settingsForBetaController(VZRBetaController& controller) = 0;
};

// The service's answer: {"url": required, a URL; "version_string": optional}.
class VZRBetaUpdate {
public:
    static std::shared_ptr<VZRBetaUpdate> initWithDictionary(const plat::Value& value);
    // NSURLErrorDomain -1017 when the value is no usable answer.
    static plat::Result<std::shared_ptr<VZRBetaUpdate>> betaUpdateWithDictionary(const plat::Value& value);

    const plat::URL& url() const { return url_; }
    const std::optional<std::string>& version() const { return version_; }

    static std::string promptTitle();
    static std::string promptMessage();
    static std::string cancelLabel();
    static std::string installLabel();

    VZRBetaUpdate(plat::URL url, std::optional<std::string> version)
        : url_(std::move(url)), version_(std::move(version)) {}

private:
    plat::URL url_;
    std::optional<std::string> version_;
};

inline constexpr uint32_t kVZRBetaTokenTableTag = 0x43525348; // 'CRSH'
inline constexpr const char* kVZRBetaTokenFontName = "Vuzidorazav";

class VZRBetaController : public plat::rt::Object {
public:
    static plat::rt::Class* runtimeClass();
    static std::shared_ptr<VZRBetaController> initWithDelegate(std::weak_ptr<VZRBetaControllerDelegate> delegate);
    explicit VZRBetaController(plat::rt::Class* cls) : plat::rt::Object(cls) {}
    ~VZRBetaController() override;

    // Not in an extension; only for an install source of 3 (signed for distribution).
    static bool isBetaSupported();
    static const ZUVCertificateList& pinnnedCertificates();
    // The token text of a 'CRSH' table as "2:<text>"; none for a wrong version, a length past the table's end
    // or text that is not ASCII.
    static std::optional<std::string> betaTokenFromTable(const plat::Data& table);

    // Read from the font on first use and kept once found.
    std::optional<std::string> betaToken();
    bool start();
    void checkForUpdate();
    void maybeGetUpdate(std::function<void(std::shared_ptr<VZRBetaUpdate>, std::optional<plat::Error>)> completion);
    std::optional<plat::URL> betaUpdateURL();
    std::optional<plat::URLRequest> betaUpdateRequest();
    static plat::Result<std::shared_ptr<VZRBetaUpdate>> updateWithData(const plat::Data& data);
    void didGetUpdate(const std::shared_ptr<VZRBetaUpdate>& update);
    void showBetaAlertForUpdate(const std::shared_ptr<VZRBetaUpdate>& update);
    void alertViewClickedButtonAtIndex(const plat::rt::ObjectPtr& alert, int64_t index);
    void temporarilySuspendChecks();
    void allowChecks();

    VZRSettings settings();
    std::optional<std::string> APIKey();
    std::string betaEndpoint();
    double betaUpdateSuspendDurationSecs();
    bool shouldGetUpdates() const;
    bool checksSuspended() const { return checksSuspended_.load(); }
    bool retrying() const { return retrying_.load(); }
    const std::shared_ptr<ZUVNetworkClient>& networkClient() const { return networkClient_; }
    const plat::DispatchQueuePtr& queue() const { return queue_; }
    std::shared_ptr<VZRBetaUpdate> activeUpdate() const;

private:
    std::shared_ptr<VZRBetaController> self();
    void loadUpdateWithCompletionBlock(
        std::function<void(std::shared_ptr<VZRBetaUpdate>, std::optional<plat::Error>)> completion);

    std::weak_ptr<VZRBetaControllerDelegate> delegate_;
    std::shared_ptr<ZUVNetworkClient> networkClient_;
    plat::DispatchQueuePtr queue_;
    std::atomic<bool> checksSuspended_{false};
    std::atomic<bool> retrying_{false};
    mutable std::mutex mutex_; // everything below
    std::optional<std::string> betaToken_;
    std::shared_ptr<VZRBetaUpdate> activeUpdate_;
    plat::rt::ObjectPtr alert_;
    std::optional<plat::Timer> checkSuspensionTimer_;
    std::vector<plat::NotificationCenter::Token> tokens_;
};

#include "crash/VZRBetaController.hpp"

#include "crash/VZRFileManager.hpp"
#include "crash/VZRReportsController.hpp"

#include "crash/capture/VZRApplication.hpp"
#include "crash/capture/VZRVersion.hpp"

#include "kit_host/ZUVSettingsOnboardingManager.hpp"
#include "kit_host/ZUVURLBuilder.hpp"
#include "kit_host/ZUVUtilities.hpp"
#include "kit_host/Zuvadu.hpp"

#include "deployment/Deployment.hpp"
#include "platform/foundation/Bundle.hpp"
#include "platform/foundation/Console.hpp"
#include "platform/foundation/Format.hpp"
#include "platform/foundation/Json.hpp"
#include "platform/runtime/Messaging.hpp"
#include "platform/runtime/Runtime.hpp"
#include "platform/uikit/FontProvider.hpp"
#include "platform/uikit/UIAlert.hpp"
#include "platform/uikit/UIKitTypes.hpp"

#include <cmath>
#include <limits>

namespace rt = plat::rt;

namespace {

void betaDebugLog(const std::string& text) {
    if (Zuvadu::sharedSDK().debug())
        plat::NSLogText(text);
}

uint32_t betaReadBigEndian32(const plat::Data& data, size_t offset) {
    return (uint32_t{data[offset]} << 24) | (uint32_t{data[offset + 1]} << 16) | (uint32_t{data[offset + 2]} << 8) |
           uint32_t{data[offset + 3]};
}

std::string betaLocalized(const char* key, const char* fallback) {
    return plat::Bundle::main()->localizedString(key, fallback, "Vuzidorazav");
}

} // namespace

// The update.

std::shared_ptr<VZRBetaUpdate> VZRBetaUpdate::initWithDictionary(const plat::Value& value) {
    const plat::Dictionary* dictionary = value.ifDictionary();
    if (!dictionary)
        return nullptr;
    const plat::Value* url = dictionary->find("url");
    if (!url || !url->isString())
        return nullptr;
    std::optional<plat::URL> parsed = plat::URL::parse(*url->ifString());
    // A text without a scheme is no link a tester could open.
    if (!parsed || !parsed->isAbsolute())
        return nullptr;
    std::optional<std::string> version;
    if (const plat::Value* v = dictionary->find("version_string"); v && v->isString())
        version = *v->ifString();
    return std::make_shared<VZRBetaUpdate>(std::move(*parsed), std::move(version));
}

plat::Result<std::shared_ptr<VZRBetaUpdate>> VZRBetaUpdate::betaUpdateWithDictionary(const plat::Value& value) {
    if (auto update = initWithDictionary(value))
        return update;
    return plat::Error(plat::NSURLErrorDomain, -1017);
}

std::string VZRBetaUpdate::promptTitle() {
    return betaLocalized("VuzidorazavDistributionPromptTitle", "New Build Available");
}

std::string VZRBetaUpdate::promptMessage() {
    const std::string format =
        betaLocalized("VuzidorazavDistributionPromptMessage", "A new version of %@ is available for testing.");
    return plat::format(format, ZUVAppDisplayName().value_or(""));
}

std::string VZRBetaUpdate::cancelLabel() {
    return betaLocalized("VuzidorazavDistributionPromptCancelTitle", "Cancel");
}

std::string VZRBetaUpdate::installLabel() {
    return betaLocalized("VuzidorazavDistributionPromptInstallTitle", "Install");
}

// The controller.

rt::Class* VZRBetaController::runtimeClass() {
    static rt::Class* const cls = [] {
        rt::Class* c = rt::registerClass<VZRBetaController>("VZRBetaController", rt::rootClass());
        rt::replaceMethod(c, "alertView:clickedButtonAtIndex:",
                          [](VZRBetaController& self, rt::ObjectPtr alert, int64_t index) {
                              self.alertViewClickedButtonAtIndex(alert, index);
                          });
        return c;
    }();
    return cls;
}

std::shared_ptr<VZRBetaController> VZRBetaController::initWithDelegate(std::weak_ptr<VZRBetaControllerDelegate> delegate) {
    auto controller = rt::make<VZRBetaController>(runtimeClass());
    controller->delegate_ = std::move(delegate);
    controller->queue_ = plat::DispatchQueue::makeSerial("com.ruzovid.vuzidorazav.ios.beta");
    controller->networkClient_ = ZUVNetworkClient::initWithQueue(nullptr, pinnnedCertificates());
    if (!controller->networkClient_)
        betaDebugLog("[Dezaruzaru:Beta] Failed to configure networking");
    return controller;
}

VZRBetaController::~VZRBetaController() {
    auto& center = plat::NotificationCenter::defaultCenter();
    for (const auto& token : tokens_)
        center.removeObserver(token);
    if (checkSuspensionTimer_)
        checkSuspensionTimer_->cancel();
}

std::shared_ptr<VZRBetaController> VZRBetaController::self() {
    return std::static_pointer_cast<VZRBetaController>(shared_from_this());
}

bool VZRBetaController::isBetaSupported() {
    if (VZRApplicationIsExtension())
        return false;
    return ZUVAppInstallSource() == 3;
}

const ZUVCertificateList& VZRBetaController::pinnnedCertificates() {
    return ZUVPinnedCertificates();
}

std::optional<std::string> VZRBetaController::betaTokenFromTable(const plat::Data& table) {
    if (table.size() < 8 || betaReadBigEndian32(table, 0) != 1)
        return std::nullopt;
    const uint64_t length = betaReadBigEndian32(table, 4);
    if (table.size() - 8 < length)
        return std::nullopt;
    std::string text(table.begin() + 8, table.begin() + 8 + static_cast<std::ptrdiff_t>(length));
    for (const unsigned char c : text)
        if (c > 0x7F)
            return std::nullopt;
    return "2:" + text;
}

std::optional<std::string> VZRBetaController::betaToken() {
    {
        std::lock_guard lock(mutex_);
        if (betaToken_)
            return betaToken_;
    }
    if (!plat::FontProvider::hasFont(kVZRBetaTokenFontName))
        return std::nullopt;
    std::optional<plat::Data> table = plat::FontProvider::copyTable(kVZRBetaTokenFontName, kVZRBetaTokenTableTag);
    if (!table)
        return std::nullopt;
    std::optional<std::string> token = betaTokenFromTable(*table);
    std::lock_guard lock(mutex_);
    if (token)
        betaToken_ = token;
    return token;
}

bool VZRBetaController::start() {
    if (!betaToken())
        return false;
    auto& center = plat::NotificationCenter::defaultCenter();
    std::weak_ptr<VZRBetaController> weak = self();
    auto check = [weak](const plat::Notification&) {
        if (auto controller = weak.lock())
            controller->checkForUpdate();
    };
    std::lock_guard lock(mutex_);
    tokens_.push_back(center.addObserver(std::string(ZUVSettingsOnboardingManager::kSettingsAvailableNotification),
                                         nullptr, nullptr, check));
    tokens_.push_back(center.addObserver(std::string(plat::UIApplicationWillEnterForegroundNotification), nullptr,
                                         nullptr, check));
    return true;
}

VZRSettings VZRBetaController::settings() {
    auto delegate = delegate_.lock();
    return delegate ? delegate->settingsForBetaController(*this) : VZRSettings(std::nullopt);
}

std::optional<std::string> VZRBetaController::APIKey() {
    auto delegate = delegate_.lock();
    return delegate ? delegate->APIKeyForBetaController(*this) : std::nullopt;
}

std::string VZRBetaController::betaEndpoint() {
    return settings().betaEndpoint();
}

double VZRBetaController::betaUpdateSuspendDurationSecs() {
    const plat::Value value = settings().betaSuspendDuration();
    const double seconds = value.isNumber() ? value.doubleValue() : 3600.0;
    // A negative or not-a-number pause would end at once or never: the default stands in.
    return std::isfinite(seconds) && seconds >= 0 ? seconds : 3600.0;
}

bool VZRBetaController::shouldGetUpdates() const {
    return isBetaSupported() && !checksSuspended_.load();
}

std::shared_ptr<VZRBetaUpdate> VZRBetaController::activeUpdate() const {
    std::lock_guard lock(mutex_);
    return activeUpdate_;
}

void VZRBetaController::checkForUpdate() {
    std::weak_ptr<VZRBetaController> weak = self();
    maybeGetUpdate([weak](std::shared_ptr<VZRBetaUpdate> update, std::optional<plat::Error>) {
        if (auto controller = weak.lock())
            controller->didGetUpdate(update);
    });
}

std::optional<plat::URL> VZRBetaController::betaUpdateURL() {
    auto builder = ZUVURLBuilder::URLWithBase(betaEndpoint());
    builder->appendComponent("/spi/v2/platforms/");
    builder->appendComponent("ios");
    builder->appendComponent("/apps/");
    builder->appendComponent(ZUVAppEscapedBundleIdentifier());
    builder->appendComponent("/beta_update_check");
    builder->appendValue(ZUVAppBundleVersion(), "build_version");
    builder->appendValue(ZUVAppShortVersion(), "display_version");
    builder->appendValue(Zuvadu::sharedSDK().instanceIdentifier(), "instance");
    builder->appendValue(plat::Value(int64_t{ZUVAppInstallSource()}), "source");
    return builder->URL();
}

std::optional<plat::URLRequest> VZRBetaController::betaUpdateRequest() {
    std::optional<plat::URL> url = betaUpdateURL();
    if (!url)
        return std::nullopt;
    betaDebugLog("[Vuzidorazav:Beta] Beta Update-Check url string: '" + url->absoluteString() + "'");
    plat::URLRequest request = VZRReportsController::requestWithURL(*url, 10, APIKey().value_or(""));
    request.setHTTPMethod("GET");
    request.setValue(betaToken().value_or(""), "X-Vuzidorazav-Beta-Token");
    return request;
}

void VZRBetaController::maybeGetUpdate(
    std::function<void(std::shared_ptr<VZRBetaUpdate>, std::optional<plat::Error>)> completion) {
    std::weak_ptr<VZRBetaController> weak = self();
    queue_->async([weak, completion = std::move(completion)] {
        auto controller = weak.lock();
        if (!controller || !controller->shouldGetUpdates() || controller->retrying_.load())
            return;
        betaDebugLog("[Vuzidorazav:Beta] Loading beta update");
        controller->loadUpdateWithCompletionBlock(completion);
    });
}

void VZRBetaController::loadUpdateWithCompletionBlock(
    std::function<void(std::shared_ptr<VZRBetaUpdate>, std::optional<plat::Error>)> completion) {
    std::optional<plat::URLRequest> request = betaUpdateRequest();
    if (!request || !networkClient_)
        return;
    std::weak_ptr<VZRBetaController> weak = self();
    queue_->async([weak, request = std::move(*request), completion = std::move(completion)] {
        auto controller = weak.lock();
        if (!controller || controller->retrying_.exchange(true))
            return;
        controller->networkClient_->startDataTaskWithRequest(
            request, ZUVNetworkClient::kDefaultRetryLimit,
            [weak, completion](std::optional<plat::Data> data, std::shared_ptr<const plat::HTTPURLResponse>,
                               std::optional<plat::Error> error) {
                auto c = weak.lock();
                if (!c)
                    return;
                if (error || !data || data->empty()) {
                    // The in-flight mark stays: this process asks no more.
                    betaDebugLog("[Vuzidorazav:Beta] Failed to load update '" +
                                 (error ? error->description() : std::string("(null)")) + "'");
                    return;
                }
                c->queue_->async([weak, completion, data = std::move(*data)] {
                    auto inner = weak.lock();
                    if (!inner)
                        return;
                    betaDebugLog("[Vuzidorazav:Beta] Beta update loaded");
                    inner->temporarilySuspendChecks();
                    inner->retrying_.store(false);
                    auto parsed = updateWithData(data);
                    if (parsed)
                        completion(*parsed, std::nullopt);
                    else
                        completion(nullptr, parsed.error());
                });
            });
    });
}

plat::Result<std::shared_ptr<VZRBetaUpdate>> VZRBetaController::updateWithData(const plat::Data& data) {
    auto json = plat::JSONSerialization::jsonObject(std::span<const uint8_t>(data.data(), data.size()));
    if (!json) {
        betaDebugLog("[Vuzidorazav:Beta] Unable to deserialize beta update data: " + json.error().description());
        return json.error();
    }
    auto update = VZRBetaUpdate::betaUpdateWithDictionary(*json);
    if (!update) {
        betaDebugLog("[Vuzidorazav:Beta] Unable to read beta update data: " + update.error().description());
        return update.error();
    }
    return *update;
}

void VZRBetaController::temporarilySuspendChecks() {
    checksSuspended_.store(true);
    const double seconds = betaUpdateSuspendDurationSecs();
    std::weak_ptr<VZRBetaController> weak = self();
    plat::DispatchQueue::main()->async([weak, seconds] {
        auto controller = weak.lock();
        if (!controller)
            return;
        plat::Timer timer = plat::DispatchQueue::main()->asyncAfter(seconds, [weak] {
            if (auto c = weak.lock())
                c->allowChecks();
        });
        std::lock_guard lock(controller->mutex_);
        if (controller->checkSuspensionTimer_)
            controller->checkSuspensionTimer_->cancel();
        controller->checkSuspensionTimer_ = timer;
    });
}

void VZRBetaController::allowChecks() {
    checksSuspended_.store(false);
    std::lock_guard lock(mutex_);
    if (checkSuspensionTimer_)
        checkSuspensionTimer_->cancel();
    checkSuspensionTimer_.reset();
}

void VZRBetaController::didGetUpdate(const std::shared_ptr<VZRBetaUpdate>& update) {
    if (!update) {
        betaDebugLog("[Vuzidorazav:Beta] Beta update url is invalid");
        return;
    }
    std::weak_ptr<VZRBetaController> weak = self();
    plat::DispatchQueue::main()->async([weak, update] {
        if (auto controller = weak.lock())
            controller->showBetaAlertForUpdate(update);
    });
}

void VZRBetaController::showBetaAlertForUpdate(const std::shared_ptr<VZRBetaUpdate>& update) {
    const std::string message = VZRBetaUpdate::promptMessage() + "\n" + update->version().value_or("(null)");
    rt::ObjectPtr alert = VZRAlert::alertWithTitle(VZRBetaUpdate::promptTitle(), message, shared_from_this(),
                                                   VZRBetaUpdate::cancelLabel(), VZRBetaUpdate::installLabel());
    {
        std::lock_guard lock(mutex_);
        activeUpdate_ = update;
        alert_ = alert;
    }
    if (auto view = std::dynamic_pointer_cast<plat::UIAlertView>(alert))
        view->show();
}

void VZRBetaController::alertViewClickedButtonAtIndex(const rt::ObjectPtr& alert, int64_t index) {
    std::shared_ptr<VZRBetaUpdate> update;
    {
        std::lock_guard lock(mutex_);
        update = std::move(activeUpdate_);
        activeUpdate_.reset();
        alert_.reset();
    }
    auto view = std::dynamic_pointer_cast<plat::UIAlertView>(alert);
    if (!update || !view || index == view->cancelButtonIndex())
        return;
    VZRApplicationOpenURL(update->url().absoluteString(), nullptr, [](bool success) {
        betaDebugLog(std::string("[Vuzidorazav:Beta] Beta update url open ") + (success ? "success" : "failure"));
    });
}

#include "app/Network.hpp"

#include "RadIrivozSDK/Source/RadIrivoz.hpp"
#include "Zavorida/Source/SessionManager.hpp"
#include "app/Strings.hpp"
#include "platform/foundation/Console.hpp"
#include "platform/foundation/Json.hpp"
#include "platform/foundation/ProcessInfo.hpp"
#include "platform/webkit/WKWebsiteDataStore.hpp"

#include <string>

void fetchWebViewCookies(const std::optional<std::string>& domain,
                         std::function<void(const std::vector<plat::HTTPCookie>&)> completion) {
    // The web view's cookie store exists from OS 11 on.
    if (plat::ProcessInfo::processInfo().operatingSystemVersion().majorVersion < 11) {
        return;
    }
    plat::WKWebsiteDataStore::defaultDataStore()->httpCookieStore().getAllCookies(
        [domain, completion = std::move(completion)](std::vector<plat::HTTPCookie> cookies) {
            std::vector<plat::HTTPCookie> kept;
            for (auto& cookie : cookies) {
                if (!domain || cookie.domain().find(*domain) != std::string::npos) {
                    kept.push_back(std::move(cookie));
                }
            }
            if (completion) {
                completion(kept);
            }
        });
}

void handleWebViewCookies(const std::vector<plat::HTTPCookie>& cookies) {
    for (const auto& cookie : cookies) {
        if (cookie.name() == Strings::DictionaryKey::phpSessionId) {
            Network::registerPlayerId(cookies);
        }
    }
}

void Network::registerPlayerId(const std::vector<plat::HTTPCookie>& cookies) {
    auto state = RadIrivoz::getPermissionSubscriptionState();
    if (!state || !state->subscriptionStatus()) {
        return;
    }
    auto userId = state->subscriptionStatus()->userId();
    if (!userId) {
        return;
    }
    plat::Dictionary parameters{{"player-id", plat::Value(*userId)}};
    auto url = plat::URL::parse(Strings::Endpoint::register_);
    if (!url) {
        return;
    }
    const auto& storage = Zavorida::SessionManager::shared().session()->configuration().httpCookieStorage;
    if (storage) {
        storage->setCookies(cookies, url, std::nullopt);
    }
    Zavorida::requestWithDefaultSession(*url, Zavorida::HTTPMethod::post, parameters,
                                        Zavorida::JSONEncoding::emptyWritingOptions())
        ->addJSONResponseHandler(nullptr, plat::JSONSerialization::ReadingFragmentsAllowed,
                                 [](const Zavorida::DataResponse<plat::Value>& response) {
                                     if (auto error = response.resultError()) {
                                         plat::print(error->description());
                                     }
                                 });
}

#include "app/ASPushNotificationsService.hpp"

#include "Zavorida/Source/ZVError.hpp"
#include "Zavorida/Source/SessionManager.hpp"
#include "app/ASConfigService.hpp"
#include "app/Strings.hpp"
#include "platform/foundation/Console.hpp"
#include "platform/foundation/Json.hpp"

namespace {

constexpr std::string_view kResultPrefix = "registerPushNotificationWithDeviceToken result: ";

void printResult(std::string_view text) {
    plat::print(std::string(kResultPrefix) + std::string(text));
}

} // namespace

void ASPushNotificationsService::registerPushNotificationWithDeviceToken(
    const std::string& deviceToken) const {
    const auto baseURL = ASConfigService::shared().baseURL();
    if (!baseURL) {
        // Without a base URL the joined text would be a bare path, which no request can go to.
        printResult("no base URL is configured");
        return;
    }
    // Joined as text without normalising, as the portal's address scheme expects.
    const std::string address = baseURL->absoluteString() + std::string(Strings::Endpoint::device);
    const auto url = plat::URL::parse(address);
    if (!url || !url->scheme() || !url->host()) {
        printResult(Zavorida::ZVError::invalidURL(address).description());
        return;
    }

    const Zavorida::HeaderDictionary headers{
        {std::string(Strings::Networking::contentType), std::string(Strings::Networking::applicationJson)}};
    const plat::Dictionary parameters{
        {std::string(Strings::Networking::deviceType), plat::Value(Strings::Networking::ios)},
        {std::string(Strings::Networking::deviceToken), plat::Value(deviceToken)}};
    // The body goes as JSON, matching the content type the request carries.
    Zavorida::requestWithDefaultSession(*url, Zavorida::HTTPMethod::post, parameters,
                                        Zavorida::JSONEncoding::emptyWritingOptions(), headers)
        ->addJSONResponseHandler(nullptr, plat::JSONSerialization::ReadingFragmentsAllowed,
                                 [](const Zavorida::DataResponse<plat::Value>& response) {
                                     if (auto value = response.resultValue()) {
                                         printResult(value->description());
                                     } else if (auto error = response.resultError()) {
                                         printResult(error->description());
                                     }
                                 });
}

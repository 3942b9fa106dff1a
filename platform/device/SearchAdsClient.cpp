#include "platform/device/SearchAdsClient.hpp"

#include "platform/dispatch/DispatchQueue.hpp"
#include "platform/foundation/NeverDestroyed.hpp"
#include "platform/runtime/Messaging.hpp"
#include "platform/runtime/Runtime.hpp"

#include <deque>
#include <mutex>

namespace plat {

namespace {

struct SearchAdsState {
    std::mutex mutex;
    rt::ObjectPtr client;
    std::deque<SearchAdsClientDriver::AttributionAnswer> attribution;
    std::deque<SearchAdsClientDriver::ConversionAnswer> conversion;
    std::deque<bool> installation;
    int requests = 0;
};

SearchAdsState& searchAdsState() {
    static NeverDestroyed<SearchAdsState> state;
    return *state;
}

template <class Answer> std::optional<Answer> searchAdsNext(std::deque<Answer>& answers) {
    auto& state = searchAdsState();
    std::lock_guard lock(state.mutex);
    ++state.requests;
    if (answers.empty()) {
        return std::nullopt;
    }
    Answer answer = std::move(answers.front());
    answers.pop_front();
    return answer;
}

} // namespace

void SearchAdsClientDriver::install(Operations operations) {
    static std::once_flag once;
    std::call_once(once, [operations] {
        rt::Class* cls = rt::registerClass("ADClient");
        rt::addMethod(rt::metaclass(cls), "sharedClient", [cls](rt::Object&) -> rt::ObjectPtr {
            auto& state = searchAdsState();
            std::lock_guard lock(state.mutex);
            if (!state.client) {
                state.client = rt::createInstance(cls);
            }
            return state.client;
        });
        if (operations.attributionDetails) {
            rt::addMethod(cls, "requestAttributionDetailsWithBlock:",
                          [](rt::Object&, ADAttributionDetailsHandler handler) {
                              auto answer = searchAdsNext(searchAdsState().attribution);
                              if (answer && handler) {
                                  DispatchQueue::main()->async([handler, answer = *answer] {
                                      handler(answer.details, answer.error);
                                  });
                              }
                          });
        }
        if (operations.conversionDetails) {
            rt::addMethod(cls, "lookupAdConversionDetails:", [](rt::Object&, ADConversionDetailsHandler handler) {
                auto answer = searchAdsNext(searchAdsState().conversion);
                if (answer && handler) {
                    DispatchQueue::main()->async(
                        [handler, answer = *answer] { handler(answer.appPurchaseDate, answer.impressionDate); });
                }
            });
        }
        if (operations.installationAttribution) {
            rt::addMethod(cls, "determineAppInstallationAttributionWithCompletionHandler:",
                          [](rt::Object&, ADInstallationAttributionHandler handler) {
                              auto answer = searchAdsNext(searchAdsState().installation);
                              if (answer && handler) {
                                  DispatchQueue::main()->async([handler, attributed = *answer] { handler(attributed); });
                              }
                          });
        }
    });
}

void SearchAdsClientDriver::queueAttributionAnswer(AttributionAnswer answer) {
    auto& state = searchAdsState();
    std::lock_guard lock(state.mutex);
    state.attribution.push_back(std::move(answer));
}

void SearchAdsClientDriver::queueConversionAnswer(ConversionAnswer answer) {
    auto& state = searchAdsState();
    std::lock_guard lock(state.mutex);
    state.conversion.push_back(std::move(answer));
}

void SearchAdsClientDriver::queueInstallationAnswer(bool attributed) {
    auto& state = searchAdsState();
    std::lock_guard lock(state.mutex);
    state.installation.push_back(attributed);
}

int SearchAdsClientDriver::requestCount() {
    auto& state = searchAdsState();
    std::lock_guard lock(state.mutex);
    return state.requests;
}

Value SearchAdsClientDriver::attributionDetails(bool attributed, const std::string& campaignName,
                                                const std::string& keyword, const std::string& campaignID) {
    Dictionary campaign;
    campaign.set("iad-attribution", Value(attributed ? "true" : "false"));
    campaign.set("iad-campaign-name", Value(campaignName));
    campaign.set("iad-keyword", Value(keyword));
    campaign.set("iad-campaign-id", Value(campaignID));
    Dictionary details;
    details.set("Version3.1", Value(std::move(campaign)));
    return Value(std::move(details));
}

Value SearchAdsClientDriver::sampleAttributionDetails() {
    return attributionDetails(true, "CampaignName", "Keyword", "1234567890");
}

} // namespace plat

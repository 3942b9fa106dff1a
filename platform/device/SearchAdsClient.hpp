#pragma once
// The search-ads attribution service. Linux has none, so no class "ADClient" exists unless a test or a demo
// installs this driver, which registers it with scripted answers. The handlers the service calls, with nil
// as a null Value and no error as an Error without a domain:
//   "requestAttributionDetailsWithBlock:"                       handler(details dictionary or null, error)
//   "lookupAdConversionDetails:"                                handler(purchase date or null, impression date or null)
//   "determineAppInstallationAttributionWithCompletionHandler:" handler(attributed)

#include "platform/foundation/Error.hpp"
#include "platform/foundation/Value.hpp"

#include <functional>
#include <optional>
#include <vector>

namespace plat {

using ADAttributionDetailsHandler = std::function<void(const Value& details, const Error& error)>;
using ADConversionDetailsHandler = std::function<void(const Value& appPurchaseDate, const Value& impressionDate)>;
using ADInstallationAttributionHandler = std::function<void(bool attributed)>;

class SearchAdsClientDriver {
public:
    // Which operations the registered class answers; fixed by the first install of the process.
    struct Operations {
        bool attributionDetails = true;
        bool conversionDetails = false;
        bool installationAttribution = false;
    };
    struct AttributionAnswer {
        Value details; // a dictionary of one campaign dictionary, or null
        Error error;
    };
    struct ConversionAnswer {
        Value appPurchaseDate;
        Value impressionDate;
    };

    // Registers "ADClient" with "sharedClient" (once per process).
    static void install(Operations operations);
    static void install() { install(Operations()); }
    // Answers are handed out in order, each on the main queue after the request; when none is left, a request
    // stays unanswered.
    static void queueAttributionAnswer(AttributionAnswer answer);
    static void queueConversionAnswer(ConversionAnswer answer);
    static void queueInstallationAnswer(bool attributed);
    // The requests made so far, of any operation.
    static int requestCount();

    // The sample answer the service gives to development builds.
    static Value sampleAttributionDetails();
    // An answer for one campaign.
    static Value attributionDetails(bool attributed, const std::string& campaignName, const std::string& keyword,
                                    const std::string& campaignID = "4242");
};

} // namespace plat

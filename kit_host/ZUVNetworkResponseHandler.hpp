#pragma once
// Classifies the end of a request: a transport error is retried or not by its code; an HTTP status is a
// success, a failure, a client error, a retry or a rate-limited retry; a success whose content type does
// not match what the request accepts is a failure. Builds the "ZUVNetworkError" error values.

#include "platform/foundation/Error.hpp"
#include "platform/net/HTTPURLResponse.hpp"
#include "platform/net/URLRequest.hpp"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class ZUVNetworkResponseHandler {
public:
    static constexpr const char* kErrorDomain = "ZUVNetworkError";
    static constexpr int64_t kRetryErrorCode = -1;
    static constexpr int64_t kNoTaskErrorCode = -3;
    static constexpr int64_t kFailureErrorCode = -4;
    static constexpr int64_t kClientErrorCode = -5;
    static constexpr int64_t kRetryLimitErrorCode = -6;

    enum ResponseType : int { success = 0, failure = 1, clientError = 2, retry = 3, rateLimitedRetry = 4 };

    static constexpr double kDefaultRetryValue = 2.0;
    static constexpr const char* kBackgroundTaskCancelledReasonKey = "NSURLErrorBackgroundTaskCancelledReasonKey";

    using CompletionBlock = std::function<void(bool retry, const std::optional<plat::Error>& error)>;

    // With a transport error: (retryable, that error). Otherwise by the response's type; a missing
    // response counts as status 0.
    static void handleCompletedResponse(const plat::HTTPURLResponse* response, const plat::URLRequest& originalRequest,
                                        const std::optional<plat::Error>& error, const CompletionBlock& block);

    // The type and status (0 without a response) handed to `handler`; the type is returned as well.
    static int clientResponseType(const plat::HTTPURLResponse* response,
                                  const std::function<void(int type, int status)>& handler = nullptr);
    static bool retryableURLError(const plat::Error& error);
    // "Retry-After" in seconds; 2 when absent, negative, not a number or not finite.
    static double retryValueForResponse(const plat::HTTPURLResponse* response);
    static double parseRetryAfter(std::optional<std::string_view> value);
    // "X-Request-Id", or "".
    static std::string requestIdForResponse(const plat::HTTPURLResponse* response);
    static std::optional<std::string> headerForResponse(const plat::HTTPURLResponse* response, std::string_view key);
    static bool contentTypeForResponse(const plat::HTTPURLResponse* response, const plat::URLRequest& request);
    // The background-task cancel reason of a cancelled (-999) URL error, else -1.
    static int64_t cancelReasonFromURLError(const plat::Error& error);
    // userInfo: "type", "status_code", "request_id", "content_type".
    static plat::Error errorForResponse(const plat::HTTPURLResponse* response, int type, int status, int64_t code);
    static plat::Error errorForCode(int64_t code, plat::Dictionary userInfo = {});
};

// A media type as RFC 9110 writes it: type "/" subtype, then parameters split on ";" (names compared without
// case, quoted values unquoted). None when there is no type/subtype.
struct ZUVMediaType {
    std::string type;    // lower-case
    std::string subtype; // lower-case
    std::vector<std::pair<std::string, std::string>> parameters; // names lower-case, values as written

    static std::optional<ZUVMediaType> parse(std::string_view text);
    std::optional<std::string> parameter(std::string_view name) const;
};

#pragma once
// The callbacks a URLSession makes on its delegate queue. A delegate overrides the methods it wants and
// answers true from respondsTo() for their selectors (platform spelling); the session calls nothing else
// and applies the platform's default for the rest.

#include "platform/foundation/Error.hpp"
#include "platform/net/HTTPURLResponse.hpp"
#include "platform/net/URLCache.hpp"
#include "platform/net/URLCredential.hpp"
#include "platform/net/URLRequest.hpp"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace plat {

class URLSession;
class URLSessionTask;
class InputStream;
class OutputStream;

enum class URLSessionAuthChallengeDisposition : int {
    useCredential = 0,
    performDefaultHandling = 1,
    cancelAuthenticationChallenge = 2,
    rejectProtectionSpace = 3,
};

enum class URLSessionResponseDisposition : int {
    cancel = 0,
    allow = 1,
    becomeDownload = 2,
    becomeStream = 3
};

// One request/response exchange of a task (each redirect hop is one).
struct URLSessionTaskTransactionMetrics {
    std::optional<URLRequest> request;
    std::shared_ptr<const HTTPURLResponse> response;
    double fetchStartDate = 0; // seconds since 1970
    double domainLookupDuration = 0;
    double connectDuration = 0;
    double secureConnectionDuration = 0;
    double requestToResponseDuration = 0;
    double responseEndDate = 0;
    std::string networkProtocolName; // "http/1.1", "h2"
    bool reusedConnection = false;
    std::string remoteAddress;
    long remotePort = 0;
};

struct URLSessionTaskMetrics {
    std::vector<URLSessionTaskTransactionMetrics> transactionMetrics;
    double taskIntervalStart = 0; // seconds since 1970
    double taskIntervalDuration = 0;
    int64_t redirectCount = 0;
};

// Selectors a delegate may answer true for in respondsTo().
namespace URLSessionSelector {
inline constexpr std::string_view didBecomeInvalidWithError = "URLSession:didBecomeInvalidWithError:";
inline constexpr std::string_view didReceiveChallenge = "URLSession:didReceiveChallenge:completionHandler:";
inline constexpr std::string_view didFinishEventsForBackgroundURLSession =
    "URLSessionDidFinishEventsForBackgroundURLSession:";
inline constexpr std::string_view willPerformHTTPRedirection =
    "URLSession:task:willPerformHTTPRedirection:newRequest:completionHandler:";
inline constexpr std::string_view taskDidReceiveChallenge =
    "URLSession:task:didReceiveChallenge:completionHandler:";
inline constexpr std::string_view needNewBodyStream = "URLSession:task:needNewBodyStream:";
inline constexpr std::string_view didSendBodyData =
    "URLSession:task:didSendBodyData:totalBytesSent:totalBytesExpectedToSend:";
inline constexpr std::string_view didFinishCollectingMetrics = "URLSession:task:didFinishCollectingMetrics:";
inline constexpr std::string_view didCompleteWithError = "URLSession:task:didCompleteWithError:";
inline constexpr std::string_view didReceiveResponse =
    "URLSession:dataTask:didReceiveResponse:completionHandler:";
inline constexpr std::string_view didBecomeDownloadTask = "URLSession:dataTask:didBecomeDownloadTask:";
inline constexpr std::string_view didBecomeStreamTask = "URLSession:dataTask:didBecomeStreamTask:";
inline constexpr std::string_view didReceiveData = "URLSession:dataTask:didReceiveData:";
inline constexpr std::string_view willCacheResponse =
    "URLSession:dataTask:willCacheResponse:completionHandler:";
inline constexpr std::string_view didFinishDownloadingToURL =
    "URLSession:downloadTask:didFinishDownloadingToURL:";
inline constexpr std::string_view didWriteData =
    "URLSession:downloadTask:didWriteData:totalBytesWritten:totalBytesExpectedToWrite:";
inline constexpr std::string_view didResumeAtOffset =
    "URLSession:downloadTask:didResumeAtOffset:expectedTotalBytes:";
inline constexpr std::string_view readClosedForStreamTask = "URLSession:readClosedForStreamTask:";
inline constexpr std::string_view writeClosedForStreamTask = "URLSession:writeClosedForStreamTask:";
inline constexpr std::string_view betterRouteDiscoveredForStreamTask =
    "URLSession:betterRouteDiscoveredForStreamTask:";
inline constexpr std::string_view didBecomeInputStream =
    "URLSession:streamTask:didBecomeInputStream:outputStream:";
} // namespace URLSessionSelector

class URLSessionDelegate {
public:
    using TaskPtr = std::shared_ptr<URLSessionTask>;
    using ChallengeCompletion =
        std::function<void(URLSessionAuthChallengeDisposition, std::optional<URLCredential>)>;
    using RedirectCompletion = std::function<void(std::optional<URLRequest>)>;
    using BodyStreamCompletion = std::function<void(std::shared_ptr<InputStream>)>;
    using ResponseCompletion = std::function<void(URLSessionResponseDisposition)>;
    using CacheCompletion = std::function<void(std::optional<CachedURLResponse>)>;

    virtual ~URLSessionDelegate() = default;
    virtual bool respondsTo(std::string_view selector) const {
        (void)selector;
        return false;
    }

    // Session.
    virtual void didBecomeInvalidWithError(URLSession&, const std::optional<Error>&) {}
    virtual void didReceiveChallenge(URLSession&, const URLAuthenticationChallenge&,
                                     ChallengeCompletion completion) {
        completion(URLSessionAuthChallengeDisposition::performDefaultHandling, std::nullopt);
    }
    virtual void didFinishEventsForBackgroundURLSession(URLSession&) {}

    // Task.
    virtual void willPerformHTTPRedirection(URLSession&, const TaskPtr&, const HTTPURLResponse&,
                                            URLRequest newRequest, RedirectCompletion completion) {
        completion(std::move(newRequest));
    }
    virtual void taskDidReceiveChallenge(URLSession&, const TaskPtr&, const URLAuthenticationChallenge&,
                                         ChallengeCompletion completion) {
        completion(URLSessionAuthChallengeDisposition::performDefaultHandling, std::nullopt);
    }
    virtual void needNewBodyStream(URLSession&, const TaskPtr&, BodyStreamCompletion completion) {
        completion(nullptr);
    }
    virtual void didSendBodyData(URLSession&, const TaskPtr&, int64_t bytesSent, int64_t totalBytesSent,
                                 int64_t totalBytesExpectedToSend) {
        (void)bytesSent, (void)totalBytesSent, (void)totalBytesExpectedToSend;
    }
    virtual void didFinishCollectingMetrics(URLSession&, const TaskPtr&, const URLSessionTaskMetrics&) {}
    virtual void didCompleteWithError(URLSession&, const TaskPtr&, const std::optional<Error>&) {}

    // Data.
    virtual void didReceiveResponse(URLSession&, const TaskPtr&, const HTTPURLResponse&,
                                    ResponseCompletion completion) {
        completion(URLSessionResponseDisposition::allow);
    }
    virtual void didBecomeDownloadTask(URLSession&, const TaskPtr& dataTask, const TaskPtr& downloadTask) {
        (void)dataTask, (void)downloadTask;
    }
    virtual void didBecomeStreamTask(URLSession&, const TaskPtr& dataTask, const TaskPtr& streamTask) {
        (void)dataTask, (void)streamTask;
    }
    virtual void didReceiveData(URLSession&, const TaskPtr&, const Data&) {}
    // Asked before a response goes into the session's cache: the answer is stored, none stores nothing.
    virtual void willCacheResponse(URLSession&, const TaskPtr&, CachedURLResponse proposed,
                                   CacheCompletion completion) {
        completion(std::move(proposed));
    }

    // Download.
    virtual void didFinishDownloadingToURL(URLSession&, const TaskPtr&, const URL& location) {
        (void)location;
    }
    virtual void didWriteData(URLSession&, const TaskPtr&, int64_t bytesWritten, int64_t totalBytesWritten,
                              int64_t totalBytesExpectedToWrite) {
        (void)bytesWritten, (void)totalBytesWritten, (void)totalBytesExpectedToWrite;
    }
    virtual void didResumeAtOffset(URLSession&, const TaskPtr&, int64_t fileOffset,
                                   int64_t expectedTotalBytes) {
        (void)fileOffset, (void)expectedTotalBytes;
    }

    // Stream.
    virtual void readClosedForStreamTask(URLSession&, const TaskPtr&) {}
    virtual void writeClosedForStreamTask(URLSession&, const TaskPtr&) {}
    virtual void betterRouteDiscoveredForStreamTask(URLSession&, const TaskPtr&) {}
    virtual void didBecomeInputStream(URLSession&, const TaskPtr&, std::shared_ptr<InputStream>,
                                      std::shared_ptr<OutputStream>) {}
};

} // namespace plat

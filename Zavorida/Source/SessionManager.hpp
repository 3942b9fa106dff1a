#pragma once
// The object every request is made through: owns one URL session and its SessionDelegate, turns request
// descriptions into tasks and request objects, registers and starts them, and retries failed ones when a
// retrier asks for it.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <variant>

#include "Zavorida/Source/HTTPMethod.hpp"
#include "Zavorida/Source/MultipartFormData.hpp"
#include "Zavorida/Source/ParameterEncoding.hpp"
#include "Zavorida/Source/Request.hpp"
#include "Zavorida/Source/RequestBuilding.hpp"
#include "Zavorida/Source/ServerTrustPolicy.hpp"
#include "Zavorida/Source/SessionDelegate.hpp"
#include "Zavorida/Source/URLConvertible.hpp"
#include "platform/dispatch/DispatchQueue.hpp"
#include "platform/net/URLSessionConfiguration.hpp"

namespace Zavorida {

class SessionManager : public std::enable_shared_from_this<SessionManager> {
public:
    static constexpr std::uint64_t multipartMemoryThreshold = 10'000'000;

    // What a multipart encoding produced: the upload request it made, or why none exists.
    class MultipartFormDataEncodingResult {
    public:
        struct Success {
            std::shared_ptr<UploadRequest> request;
            bool streamingFromDisk = false;
            // The encoded body's file while it is being uploaded from disk.
            std::optional<plat::URL> streamFileURL;
        };
        static MultipartFormDataEncodingResult success(Success value) { return {std::move(value)}; }
        static MultipartFormDataEncodingResult failure(AnyError error) { return {std::move(error)}; }

        bool isSuccess() const { return std::holds_alternative<Success>(value_); }
        const Success* successValue() const { return std::get_if<Success>(&value_); }
        const AnyError* failureValue() const { return std::get_if<AnyError>(&value_); }

    private:
        MultipartFormDataEncodingResult(std::variant<Success, AnyError> value) : value_(std::move(value)) {}
        std::variant<Success, AnyError> value_;
    };
    using MultipartFormBuilder = std::function<void(MultipartFormData&)>;
    using MultipartEncodingCompletion = std::function<void(const MultipartFormDataEncodingResult&)>;

    // Made on first use from the default configuration with the standard headers; never released.
    static SessionManager& shared();
    static std::shared_ptr<SessionManager> sharedPointer();
    // "Accept-Encoding", "Accept-Language" and "User-Agent", computed once per process.
    static HeaderDictionary standardHeaders();
    // The User-Agent value, computed from the bundle and OS as they are now.
    static std::string userAgentValue();
    static std::string acceptLanguageValue();

    static std::shared_ptr<SessionManager>
    make(const plat::URLSessionConfiguration& configuration =
             plat::URLSessionConfiguration::defaultConfiguration(),
         std::shared_ptr<SessionDelegate> delegate = std::make_shared<SessionDelegate>(),
         std::shared_ptr<ServerTrustPolicyManager> serverTrustPolicyManager = nullptr);
    // None when the session's delegate is not `delegate` itself.
    static std::shared_ptr<SessionManager>
    make(std::shared_ptr<plat::URLSession> session, std::shared_ptr<SessionDelegate> delegate,
         std::shared_ptr<ServerTrustPolicyManager> serverTrustPolicyManager);

    virtual ~SessionManager();
    SessionManager(const SessionManager&) = delete;
    SessionManager& operator=(const SessionManager&) = delete;

    const std::shared_ptr<plat::URLSession>& session() const { return session_; }
    const std::shared_ptr<SessionDelegate>& delegate() const { return delegate_; }
    const plat::DispatchQueuePtr& queue() const { return queue_; }

    bool startRequestsImmediately() const { return startRequestsImmediately_.load(); }
    void setStartRequestsImmediately(bool start) { startRequestsImmediately_.store(start); }
    std::shared_ptr<RequestAdapter> adapter() const;
    void setAdapter(std::shared_ptr<RequestAdapter> adapter);
    std::shared_ptr<RequestRetrier> retrier() const { return delegate_->retrier(); }
    void setRetrier(std::shared_ptr<RequestRetrier> retrier) { delegate_->setRetrier(std::move(retrier)); }
    std::function<void()> backgroundCompletionHandler() const;
    void setBackgroundCompletionHandler(std::function<void()> handler);

    virtual std::shared_ptr<DataRequest>
    makeDataRequestToURL(const URLConvertible& url, HTTPMethod method = HTTPMethod::get,
                         const std::optional<ParameterDictionary>& parameters = std::nullopt,
                         const ParameterEncoding& encoding = URLEncoding(),
                         const std::optional<HeaderDictionary>& headers = std::nullopt);
    virtual std::shared_ptr<DataRequest> makeDataRequest(const URLRequestConvertible& urlRequest);
    virtual std::shared_ptr<DataRequest> makeFailedDataRequest(std::optional<plat::URLRequest> urlRequest,
                                                               const AnyError& error);

    virtual std::shared_ptr<DownloadRequest>
    makeDownloadRequestToURL(const URLConvertible& url, HTTPMethod method = HTTPMethod::get,
                             const std::optional<ParameterDictionary>& parameters = std::nullopt,
                             const ParameterEncoding& encoding = URLEncoding(),
                             const std::optional<HeaderDictionary>& headers = std::nullopt,
                             DownloadDestination destination = nullptr);
    virtual std::shared_ptr<DownloadRequest> makeDownloadRequest(const URLRequestConvertible& urlRequest,
                                                                 DownloadDestination destination = nullptr);
    virtual std::shared_ptr<DownloadRequest>
    makeResumedDownloadRequest(plat::Data resumeData, DownloadDestination destination = nullptr);
    virtual std::shared_ptr<DownloadRequest>
    makeDownloadRequestFromDownloadable(std::shared_ptr<const Downloadable> downloadable,
                                        DownloadDestination destination);
    virtual std::shared_ptr<DownloadRequest>
    makeFailedDownloadRequest(std::shared_ptr<const Downloadable> downloadable,
                              DownloadDestination destination, const AnyError& error);

    virtual std::shared_ptr<UploadRequest>
    makeFileUploadRequestToURL(plat::URL fileURL, const URLConvertible& url,
                               HTTPMethod method = HTTPMethod::post,
                               const std::optional<HeaderDictionary>& headers = std::nullopt);
    virtual std::shared_ptr<UploadRequest>
    makeDataUploadRequestToURL(plat::Data data, const URLConvertible& url,
                               HTTPMethod method = HTTPMethod::post,
                               const std::optional<HeaderDictionary>& headers = std::nullopt);
    virtual std::shared_ptr<UploadRequest>
    makeStreamUploadRequestToURL(std::shared_ptr<plat::InputStream> stream, const URLConvertible& url,
                                 HTTPMethod method = HTTPMethod::post,
                                 const std::optional<HeaderDictionary>& headers = std::nullopt);
    virtual std::shared_ptr<UploadRequest> makeDataUploadRequest(plat::Data data,
                                                                 const URLRequestConvertible& urlRequest);
    virtual std::shared_ptr<UploadRequest> makeFileUploadRequest(plat::URL fileURL,
                                                                 const URLRequestConvertible& urlRequest);
    virtual std::shared_ptr<UploadRequest> makeStreamUploadRequest(std::shared_ptr<plat::InputStream> stream,
                                                                   const URLRequestConvertible& urlRequest);
    virtual std::shared_ptr<UploadRequest>
    makeUploadRequestFromUploadable(std::shared_ptr<const Uploadable> uploadable);
    virtual std::shared_ptr<UploadRequest>
    makeFailedUploadRequest(std::shared_ptr<const Uploadable> uploadable, const AnyError& error);

    // Both encode the form off the caller's thread and report on the main queue. A form shorter than
    // `threshold` is sent from memory; a longer one (or any on a background session) from a temporary file,
    // which is removed once the upload's task has completed.
    virtual void makeMultipartUploadToURL(MultipartFormBuilder multipartFormData, std::uint64_t threshold,
                                          const URLConvertible& url, HTTPMethod method = HTTPMethod::post,
                                          const std::optional<HeaderDictionary>& headers = std::nullopt,
                                          MultipartEncodingCompletion encodingCompletion = nullptr);
    virtual void makeMultipartUpload(MultipartFormBuilder multipartFormData, std::uint64_t threshold,
                                     URLRequestConvertible urlRequest,
                                     MultipartEncodingCompletion encodingCompletion = nullptr);

    virtual std::shared_ptr<StreamRequest> makeStreamRequestToHost(std::string hostName, int port);
    virtual std::shared_ptr<StreamRequest> makeStreamRequestToService(NetService service);
    // A stream task that cannot be made gives a request with neither origin nor task, carrying the error as
    // raised; it is never offered to the retrier.
    virtual std::shared_ptr<StreamRequest>
    makeStreamRequestFromStreamable(std::shared_ptr<const Streamable> streamable);

    // Makes a new task for `request` and starts it; false when none could be made.
    virtual bool retryRequest(const std::shared_ptr<Request>& request);

protected:
    SessionManager(std::shared_ptr<SessionDelegate> delegate);

private:
    void setUp(std::shared_ptr<ServerTrustPolicyManager> serverTrustPolicyManager);
    template <class R>
    std::shared_ptr<R> failed(Request::TaskKind kind, TaskConvertiblePtr originalTask, const AnyError& error,
                              const std::function<void(R&)>& prepare = nullptr);
    template <class Make>
    std::shared_ptr<UploadRequest> uploadToURL(const URLConvertible& url, HTTPMethod method,
                                               const std::optional<HeaderDictionary>& headers, Make&& make);
    void encodeMultipartFormData(const MultipartFormBuilder& multipartFormData, std::uint64_t threshold,
                                 const URLRequestConvertible& urlRequest,
                                 const MultipartEncodingCompletion& encodingCompletion);
    void offerFailedRequestToRetrier(std::shared_ptr<RequestRetrier> retrier,
                                     std::shared_ptr<Request> request, AnyError error);

    std::shared_ptr<plat::URLSession> session_;
    const std::shared_ptr<SessionDelegate> delegate_;
    const plat::DispatchQueuePtr queue_;
    std::atomic<bool> startRequestsImmediately_{true};
    mutable std::mutex mutex_;
    std::shared_ptr<RequestAdapter> adapter_;
    std::function<void()> backgroundCompletionHandler_;
};

// The shared manager's factories; each forwards to the factory of the same arguments.
std::shared_ptr<DataRequest>
requestWithDefaultSession(const URLConvertible& url, HTTPMethod method = HTTPMethod::get,
                          const std::optional<ParameterDictionary>& parameters = std::nullopt,
                          const ParameterEncoding& encoding = URLEncoding(),
                          const std::optional<HeaderDictionary>& headers = std::nullopt);
std::shared_ptr<DataRequest> requestWithDefaultSessionFromURLRequest(const URLRequestConvertible& urlRequest);

std::shared_ptr<DownloadRequest>
downloadWithDefaultSession(const URLConvertible& url, HTTPMethod method = HTTPMethod::get,
                           const std::optional<ParameterDictionary>& parameters = std::nullopt,
                           const ParameterEncoding& encoding = URLEncoding(),
                           const std::optional<HeaderDictionary>& headers = std::nullopt,
                           DownloadDestination destination = nullptr);
std::shared_ptr<DownloadRequest>
downloadWithDefaultSessionFromURLRequest(const URLRequestConvertible& urlRequest,
                                         DownloadDestination destination = nullptr);
std::shared_ptr<DownloadRequest>
downloadWithDefaultSessionFromResumeData(plat::Data resumeData, DownloadDestination destination = nullptr);

std::shared_ptr<UploadRequest>
uploadFileWithDefaultSession(plat::URL fileURL, const URLConvertible& url,
                             HTTPMethod method = HTTPMethod::post,
                             const std::optional<HeaderDictionary>& headers = std::nullopt);
std::shared_ptr<UploadRequest>
uploadFileWithDefaultSessionFromURLRequest(plat::URL fileURL, const URLRequestConvertible& urlRequest);
std::shared_ptr<UploadRequest>
uploadDataWithDefaultSession(plat::Data data, const URLConvertible& url, HTTPMethod method = HTTPMethod::post,
                             const std::optional<HeaderDictionary>& headers = std::nullopt);
std::shared_ptr<UploadRequest>
uploadDataWithDefaultSessionFromURLRequest(plat::Data data, const URLRequestConvertible& urlRequest);
std::shared_ptr<UploadRequest>
uploadStreamWithDefaultSession(std::shared_ptr<plat::InputStream> stream, const URLConvertible& url,
                               HTTPMethod method = HTTPMethod::post,
                               const std::optional<HeaderDictionary>& headers = std::nullopt);
std::shared_ptr<UploadRequest>
uploadStreamWithDefaultSessionFromURLRequest(std::shared_ptr<plat::InputStream> stream,
                                             const URLRequestConvertible& urlRequest);
void uploadMultipartWithDefaultSession(
    SessionManager::MultipartFormBuilder multipartFormData, std::uint64_t threshold,
    const URLConvertible& url, HTTPMethod method = HTTPMethod::post,
    const std::optional<HeaderDictionary>& headers = std::nullopt,
    SessionManager::MultipartEncodingCompletion encodingCompletion = nullptr);
void uploadMultipartWithDefaultSessionFromURLRequest(
    SessionManager::MultipartFormBuilder multipartFormData, std::uint64_t threshold,
    URLRequestConvertible urlRequest,
    SessionManager::MultipartEncodingCompletion encodingCompletion = nullptr);

std::shared_ptr<StreamRequest> streamWithDefaultSessionToHost(std::string hostName, int port);
std::shared_ptr<StreamRequest> streamWithDefaultSessionToService(NetService service);

} // namespace Zavorida

#pragma once
// Internal: drives one URLSessionTask on its session's transport, hop by hop (redirects, authentication
// reruns), and turns wire events into delegate calls. Everything here runs on the transport's context
// except the entry points marked otherwise.

#include "platform/net/URLSession.hpp"
#include "platform/net/WireTransport.hpp"

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace plat {

class InputStream;

class URLSessionTaskEngine : public WireObserver, public std::enable_shared_from_this<URLSessionTaskEngine> {
public:
    struct Setup {
        std::optional<Data> uploadData;
        std::optional<std::string> uploadFile;
        bool streamedUpload = false; // the first body comes from needNewBodyStream
        URLSession::DataCompletion dataCompletion;
        URLSession::DownloadCompletion downloadCompletion;
        std::optional<Data> resumeData;
    };

    URLSessionTaskEngine(std::weak_ptr<URLSession> session, std::weak_ptr<URLSessionTask> task, Setup setup);
    ~URLSessionTaskEngine() override;

    // Any thread.
    void requestStart();
    void requestSuspend();
    void requestResume();
    void requestCancel(std::function<void(std::optional<Data>)> resumeDataCompletion = nullptr);

    WireAction onHead(const WireResponseHead& head) override;
    WireAction onBody(const uint8_t* bytes, std::size_t length) override;
    void onBodySent(int64_t totalSent, int64_t totalExpected) override;
    void onServerTrust(const ServerTrustQuery& query,
                       std::function<void(ServerTrustVerdict)> answer) override;
    void onDone(const WireResult& result) override;

private:
    enum class Role { final, redirect, authentication, proxyAuthentication };

    // The proxy a hop goes through.
    struct ProxyHop {
        std::string host;
        int port = 0;
        bool tunnel = false; // https through CONNECT
        friend bool operator==(const ProxyHop&, const ProxyHop&) = default;
    };

    // What one side (the server, or the proxy in front of it) asked for and was answered with.
    struct AuthState {
        int64_t failures = 0;
        std::optional<URLCredential> credential;
        bool digest = false;
    };

    bool hasCompletionHandler() const {
        return bool(setup_.dataCompletion) || bool(setup_.downloadCompletion);
    }
    void start();
    void prepareBodyThenSend();
    void sendHop();
    std::optional<WireBody> makeBody(int64_t* size);
    void handleRedirect();
    void redirectAnswered(std::optional<URLRequest> request);
    void deliverHopAsFinal();
    // Sends the current request again, asking for a fresh body stream where it has one.
    void resendHop();
    void handleAuthentication(bool proxy);
    void authenticationAnswered(bool proxy, URLSessionAuthChallengeDisposition disposition,
                                std::optional<URLCredential> credential);
    // The space a 401 (or, for the proxy, 407) of the current hop asks credentials for.
    URLProtectionSpace challengedSpace(bool proxy) const;
    WireAction deliverResponse(std::shared_ptr<const HTTPURLResponse> response);
    void responseAnswered(URLSessionResponseDisposition disposition);
    void deliverBody(const uint8_t* bytes, std::size_t length);
    void finishSuccess();
    // Hands a finished data task's response to the session's cache, through the delegate when it asks.
    void offerToCache(URLSession& session, const std::shared_ptr<URLSessionTask>& task);
    void fail(int64_t code, std::optional<int> transportCode = std::nullopt);
    void complete(std::optional<Error> error);
    void recordMetrics(const WireResult& result);
    std::optional<Data> makeResumeData() const;
    void closeDownloadFile();
    void closeOpenedUploadFile();

    std::weak_ptr<URLSession> session_;
    std::weak_ptr<URLSessionTask> task_;
    Setup setup_;

    // Transport context only.
    URLRequest current_;
    bool started_ = false;
    bool finished_ = false;
    bool userSuspended_ = false;
    HopId hop_ = 0;
    bool hopActive_ = false;
    Role role_ = Role::final;
    WireResponseHead head_;
    std::shared_ptr<const HTTPURLResponse> hopResponse_;
    Data held_; // body of a redirect or authentication response, kept in case it becomes the final one
    int redirects_ = 0;
    AuthState serverAuth_;
    AuthState proxyAuth_;
    std::optional<ProxyHop> proxy_;        // of the current hop
    std::optional<ProxyHop> proxyAuthFor_; // the proxy whose credential proxyAuth_ holds
    bool awaitingResponseAnswer_ = false;
    bool responseDelivered_ = false;
    std::optional<WireResult> pendingDone_;
    Data received_;
    bool caching_ = false; // the final response may go into the session's cache
    Data cacheData_;       // its body, for a task whose body goes to the delegate
    std::shared_ptr<InputStream> bodyStream_;
    bool bodyWasSent_ = false;
    int downloadFd_ = -1;
    int openedUploadFd_ = -1; // the upload file, opened by start() for the first send
    std::string downloadPath_;
    int64_t resumeOffset_ = 0;
    std::string etag_, lastModified_;
    int64_t lastSent_ = 0;
    URLSessionTaskMetrics metrics_;

    // Any thread: the handshake waiting on a trust answer, answered -999 by a cancel.
    std::mutex trustMutex_;
    std::function<void(ServerTrustVerdict)> pendingTrust_;
};

} // namespace plat

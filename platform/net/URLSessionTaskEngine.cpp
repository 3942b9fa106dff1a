#include "platform/net/URLSessionTaskEngine.hpp"

#include "platform/dispatch/Clock.hpp"
#include "platform/foundation/ProcessInfo.hpp"
#include "platform/foundation/Stream.hpp"
#include "platform/foundation/String.hpp"
#include "platform/net/ConnectTo.hpp"
#include "platform/net/Reachability.hpp"
#include "platform/net/URLCredentialStorage.hpp"
#include "platform/net/URLError.hpp"
#include "platform/net/URLSessionSupport.hpp"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace plat {

namespace {

constexpr int kMaxRedirects = 16;
// The most room taken up front for a body by its declared length: a server may announce any length, and
// one past this grows as it arrives.
constexpr int64_t kLargestBodyReservation = 64ll * 1024 * 1024;

// The device's own addresses stay reachable without any interface.
bool isLoopbackHost(std::string host) {
    if (host.size() > 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    host = String::lowercasedASCII(host);
    return host == "localhost" || host == "::1" || host.rfind("127.", 0) == 0;
}

bool isRedirectStatus(long status) {
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

// The scheme and realm of the first Basic or Digest challenge in a WWW-Authenticate value.
struct AuthOffer {
    bool digest = false;
    std::optional<std::string> realm;
};

std::optional<AuthOffer> parseAuthOffer(const std::string& value) {
    const std::string l = String::lowercasedASCII(value);
    std::size_t at = std::string::npos;
    AuthOffer offer;
    const std::size_t digestAt = l.find("digest");
    const std::size_t basicAt = l.find("basic");
    if (digestAt != std::string::npos && (basicAt == std::string::npos || digestAt < basicAt)) {
        offer.digest = true;
        at = digestAt;
    } else if (basicAt != std::string::npos) {
        at = basicAt;
    } else {
        return std::nullopt;
    }
    const std::size_t realmAt = l.find("realm=", at);
    if (realmAt != std::string::npos) {
        std::size_t b = realmAt + 6;
        if (b < value.size() && value[b] == '"') {
            const std::size_t e = value.find('"', b + 1);
            offer.realm = value.substr(b + 1, e == std::string::npos ? std::string::npos : e - b - 1);
        } else {
            const std::size_t e = value.find_first_of(", ", b);
            offer.realm = value.substr(b, e == std::string::npos ? std::string::npos : e - b);
        }
    }
    return offer;
}

int defaultPort(const URL& url) {
    if (auto p = url.port())
        return *p;
    return String::lowercasedASCII(url.scheme().value_or("")) == "https" ? 443 : 80;
}

// Calls through at most once, so a delegate that answers twice cannot replay a decision.
template <class... Args, class F> std::function<void(Args...)> once(F fn) {
    auto slot = std::make_shared<std::function<void(Args...)>>(std::move(fn));
    auto mutex = std::make_shared<std::mutex>();
    return [slot, mutex](Args... args) {
        std::function<void(Args...)> f;
        {
            std::lock_guard lock(*mutex);
            f = std::move(*slot);
            *slot = nullptr;
        }
        if (f)
            f(std::forward<Args>(args)...);
    };
}

// What a cache may keep without being told more: a GET whose answer has a status cacheable by default and
// neither side said "no-store".
bool isCacheable(const URLRequest& request, const HTTPURLResponse& response) {
    static constexpr int kCacheableStatuses[] = {200, 203, 204, 206, 300, 301, 404, 405, 410, 414, 501};
    if (request.httpMethod() != "GET" ||
        std::find(std::begin(kCacheableStatuses), std::end(kCacheableStatuses), response.statusCode()) ==
            std::end(kCacheableStatuses))
        return false;
    for (const auto& control : {request.value("Cache-Control"), response.value("Cache-Control")}) {
        if (control && String::lowercasedASCII(*control).find("no-store") != std::string::npos)
            return false;
    }
    return true;
}

struct FileHandle {
    explicit FileHandle(int f) : fd(f) {}
    ~FileHandle() { ::close(fd); }
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;
    int fd;
};

} // namespace

URLSessionTaskEngine::URLSessionTaskEngine(std::weak_ptr<URLSession> session,
                                           std::weak_ptr<URLSessionTask> task, Setup setup)
    : session_(std::move(session)), task_(std::move(task)), setup_(std::move(setup)) {}

URLSessionTaskEngine::~URLSessionTaskEngine() {
    if (downloadFd_ >= 0)
        ::close(downloadFd_);
    closeOpenedUploadFile();
}

// ---- entry points (any thread) ----

void URLSessionTaskEngine::requestStart() {
    if (auto s = session_.lock())
        s->transport().post([self = shared_from_this()] { self->start(); });
}

void URLSessionTaskEngine::requestSuspend() {
    if (auto s = session_.lock())
        s->transport().post([self = shared_from_this(), s] {
            self->userSuspended_ = true;
            if (self->hopActive_)
                s->transport().pause(self->hop_);
        });
}

void URLSessionTaskEngine::requestResume() {
    if (auto s = session_.lock())
        s->transport().post([self = shared_from_this(), s] {
            self->userSuspended_ = false;
            if (self->hopActive_ && !self->awaitingResponseAnswer_)
                s->transport().resume(self->hop_);
        });
}

void URLSessionTaskEngine::requestCancel(std::function<void(std::optional<Data>)> resumeDataCompletion) {
    // A handshake waiting for a trust answer holds the I/O thread: answer it here, or the cancel below
    // would only run once that wait timed out.
    std::function<void(ServerTrustVerdict)> trust;
    {
        std::lock_guard lock(trustMutex_);
        trust = std::move(pendingTrust_);
        pendingTrust_ = nullptr;
    }
    if (trust)
        trust(ServerTrustVerdict{false, WireFailure::cancelled});
    auto s = session_.lock();
    if (!s)
        return;
    s->transport().post([self = shared_from_this(), s, cb = std::move(resumeDataCompletion)] {
        std::optional<Data> resumeData;
        if (cb && !self->finished_)
            resumeData = self->makeResumeData();
        if (cb) {
            if (resumeData) {
                // The partial file now belongs to the resume data, not to the task.
                if (auto task = self->task_.lock()) {
                    std::lock_guard lock(task->mutex_);
                    task->downloadFile_.clear();
                }
            }
            s->deliver([cb, resumeData] { cb(resumeData); });
        }
        Dictionary extra;
        if (resumeData)
            extra.set(NSURLSessionDownloadTaskResumeData, Value(*resumeData));
        if (!self->finished_) {
            if (self->hopActive_) {
                s->transport().stop(self->hop_);
                self->hopActive_ = false;
            }
            self->complete(
                URLError::make(NSURLErrorCancelled, self->current_.url(), std::nullopt, std::move(extra)));
        }
    });
}

// ---- starting and sending ----

void URLSessionTaskEngine::start() {
    if (started_ || finished_)
        return;
    started_ = true;
    auto task = task_.lock();
    auto s = session_.lock();
    if (!task || !s)
        return;
    metrics_.taskIntervalStart = Clock::now();
    if (task->kind() == URLSessionTaskKind::stream)
        return; // stream tasks only live and die; they move no bytes here

    const auto& config = s->configuration();
    if (!task->originalRequest() || !task->originalRequest()->url()) {
        fail(NSURLErrorBadURL);
        return;
    }
    current_ = *task->originalRequest();
    for (const auto& [name, value] : config.httpAdditionalHeaders) {
        if (!current_.value(name))
            current_.setValue(value.stringValue(), name);
    }
    if (current_.timeoutInterval() == 60 && config.timeoutIntervalForRequest != 60)
        current_.setTimeoutInterval(config.timeoutIntervalForRequest);

    if (setup_.resumeData) {
        try {
            const auto j = nlohmann::json::parse(setup_.resumeData->begin(), setup_.resumeData->end());
            downloadPath_ = j.at("path").get<std::string>();
            resumeOffset_ = j.at("bytes").get<int64_t>();
            etag_ = j.value("etag", "");
            lastModified_ = j.value("lastModified", "");
            current_.setValue("bytes=" + std::to_string(resumeOffset_) + "-", "Range");
            if (!etag_.empty())
                current_.setValue(etag_, "If-Range");
            else if (!lastModified_.empty())
                current_.setValue(lastModified_, "If-Range");
        } catch (const std::exception&) {
            fail(NSURLErrorCannotCreateFile);
            return;
        }
    }

    {
        std::lock_guard lock(task->mutex_);
        task->currentRequest_ = current_;
    }
    const URL& url = *current_.url();
    const std::string scheme = String::lowercasedASCII(url.scheme().value_or(""));
    if (scheme.empty() || !url.host() || url.host()->empty()) {
        fail(scheme.empty() || scheme == "http" || scheme == "https" ? NSURLErrorBadURL
                                                                     : NSURLErrorUnsupportedURL);
        return;
    }
    if (scheme != "http" && scheme != "https") {
        fail(NSURLErrorUnsupportedURL);
        return;
    }
    if (setup_.uploadFile) {
        // Opened once here, where a missing file fails the task, and read by the first send: checking it
        // first and opening it again would walk the path twice on the I/O thread of every upload.
        openedUploadFd_ = ::open(setup_.uploadFile->c_str(), O_RDONLY | O_CLOEXEC);
        if (openedUploadFd_ < 0) {
            fail(NSURLErrorFileDoesNotExist);
            return;
        }
    }
    if (!setup_.streamedUpload)
        bodyStream_ = current_.httpBodyStream();
    if (setup_.streamedUpload)
        prepareBodyThenSend();
    else
        sendHop();
}

// Streamed bodies are asked for afresh before every send: the first one of a streamed upload, and every
// resend after a redirect or an authentication challenge.
void URLSessionTaskEngine::prepareBodyThenSend() {
    auto s = session_.lock();
    auto task = task_.lock();
    if (!s || !task)
        return;
    if (!s->delegateResponds(URLSessionSelector::needNewBodyStream)) {
        fail(NSURLErrorRequestBodyStreamExhausted);
        return;
    }
    auto self = shared_from_this();
    auto answer = once<std::shared_ptr<InputStream>>([self, s](std::shared_ptr<InputStream> stream) {
        s->transport().post([self, stream] {
            if (self->finished_)
                return;
            self->bodyStream_ = stream;
            if (!stream) {
                self->fail(NSURLErrorRequestBodyStreamExhausted);
                return;
            }
            self->sendHop();
        });
    });
    s->deliver([s, task, answer] {
        if (auto d = s->delegate())
            d->needNewBodyStream(*s, task, answer);
        else
            answer(nullptr);
    });
}

std::optional<WireBody> URLSessionTaskEngine::makeBody(int64_t* size) {
    *size = 0;
    if (setup_.uploadData || (!setup_.uploadFile && !bodyStream_ && current_.httpBody())) {
        auto bytes = std::make_shared<Data>(setup_.uploadData ? *setup_.uploadData : *current_.httpBody());
        auto offset = std::make_shared<std::size_t>(0);
        WireBody body;
        body.size = static_cast<int64_t>(bytes->size());
        body.read = [bytes, offset](uint8_t* out, std::size_t capacity) -> long {
            const std::size_t n = std::min(capacity, bytes->size() - *offset);
            std::copy_n(bytes->data() + *offset, n, out);
            *offset += n;
            return static_cast<long>(n);
        };
        body.rewind = [offset] {
            *offset = 0;
            return true;
        };
        body.bytes = bytes;
        *size = body.size;
        return body;
    }
    if (setup_.uploadFile) {
        // Every later send (after a redirect or a challenge) reads the file from its start again.
        const int fd = openedUploadFd_ >= 0 ? std::exchange(openedUploadFd_, -1)
                                            : ::open(setup_.uploadFile->c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            return std::nullopt;
        struct stat st {};
        ::fstat(fd, &st);
        auto owned = std::make_shared<FileHandle>(fd);
        WireBody body;
        body.size = st.st_size;
        body.read = [owned](uint8_t* out, std::size_t capacity) -> long {
            const ssize_t n = ::read(owned->fd, out, capacity);
            return n < 0 ? -1 : static_cast<long>(n);
        };
        body.rewind = [owned] { return ::lseek(owned->fd, 0, SEEK_SET) == 0; };
        *size = body.size;
        return body;
    }
    if (bodyStream_) {
        auto stream = bodyStream_;
        WireBody body;
        body.size = -1;
        if (auto length = current_.value("Content-Length")) {
            char* end = nullptr;
            const long long n = std::strtoll(length->c_str(), &end, 10);
            if (end && *end == '\0' && n >= 0)
                body.size = n;
        }
        body.read = [stream](uint8_t* out, std::size_t capacity) -> long {
            const ssize_t n = stream->read(out, capacity);
            return n < 0 ? -1 : static_cast<long>(n);
        };
        *size = body.size;
        return body;
    }
    return std::nullopt;
}

void URLSessionTaskEngine::sendHop() {
    auto s = session_.lock();
    auto task = task_.lock();
    if (!s || !task || finished_)
        return;
    const auto& config = s->configuration();
    const URL& url = *current_.url();
    if (simulatedNetworkIsDown() && !isLoopbackHost(url.host().value_or(""))) {
        fail(NSURLErrorNotConnectedToInternet);
        return;
    }

    WireRequest wire;
    wire.url = url.absoluteString();
    if (const auto hash = wire.url.find('#'); hash != std::string::npos)
        wire.url.resize(hash);
    wire.method = current_.httpMethod();

    std::optional<WireBody> body;
    int64_t bodySize = 0;
    if (bodyStream_) {
        // A stream that was opened or read before cannot give its bytes again.
        if (bodyStream_->streamStatus() != StreamStatus::NotOpen) {
            fail(NSURLErrorRequestBodyStreamExhausted);
            return;
        }
        bodyStream_->open();
        if (bodyStream_->streamStatus() == StreamStatus::Error) {
            fail(NSURLErrorRequestBodyStreamExhausted);
            return;
        }
    }
    body = makeBody(&bodySize);
    if (setup_.uploadFile && !body) {
        fail(NSURLErrorFileDoesNotExist);
        return;
    }
    const bool bodyKnown = body.has_value();
    for (const auto& [name, value] : current_.allHTTPHeaderFields()) {
        if (HTTPHeaderFields::namesEqual(name, "Accept-Encoding"))
            continue;
        if (bodyKnown && HTTPHeaderFields::namesEqual(name, "Content-Length"))
            continue; // libcurl states the length it actually sends
        wire.headers.emplace_back(name, value);
    }
    if (!current_.value("Cookie")) {
        if (auto cookie = session_support::cookieHeader(config, current_))
            wire.headers.emplace_back("Cookie", *cookie);
    }
    if (!current_.value("Accept"))
        wire.headers.emplace_back("Accept", "*/*");
    wire.acceptEncoding = current_.value("Accept-Encoding").value_or("gzip, deflate");
    wire.body = std::move(body);
    task->bytesExpectedToSend_ = bodyKnown ? bodySize : 0;
    lastSent_ = 0;

    wire.idleTimeout =
        current_.timeoutInterval() > 0 ? current_.timeoutInterval() : config.timeoutIntervalForRequest;
    const double elapsed = Clock::now() - metrics_.taskIntervalStart;
    wire.resourceTimeout = std::max(0.001, config.timeoutIntervalForResource - elapsed);
    wire.maxResponseBytes = task->kind() == URLSessionTaskKind::download ? config.maximumDownloadBytes
                                                                         : config.maximumResponseBodyBytes;
    wire.connectTo = ConnectTo::entries();
    wire.ownConnection = task->needsOwnConnection();
    if (const auto& c = serverAuth_.credential; c && c->user() && c->password()) {
        wire.credential = std::make_pair(*c->user(), *c->password());
        wire.digest = serverAuth_.digest;
    }
    proxy_.reset();
    if (auto proxy = session_support::proxyFor(config, url)) {
        const bool literalV6 = proxy->host.find(':') != std::string::npos;
        wire.proxy = "http://" + (literalV6 ? "[" + proxy->host + "]" : proxy->host) + ":" +
                     std::to_string(proxy->port);
        proxy_ =
            ProxyHop{proxy->host, proxy->port, String::lowercasedASCII(url.scheme().value_or("")) == "https"};
        // A redirect between http and https may change proxies; credentials stay with the one they were for.
        const auto& c = proxyAuth_.credential;
        if (c && c->user() && c->password() && proxyAuthFor_ == proxy_) {
            wire.proxyCredential = std::make_pair(*c->user(), *c->password());
            wire.proxyDigest = proxyAuth_.digest;
        }
    }

    role_ = Role::final;
    held_.clear();
    head_ = {};
    hopResponse_.reset();
    URLSessionTaskTransactionMetrics transaction;
    transaction.request = current_;
    transaction.fetchStartDate = Clock::now();
    metrics_.transactionMetrics.push_back(std::move(transaction));

    hop_ = s->transport().start(std::move(wire), shared_from_this());
    hopActive_ = true;
    if (userSuspended_)
        s->transport().pause(hop_);
}

// ---- wire events ----

void URLSessionTaskEngine::onServerTrust(const ServerTrustQuery& query,
                                         std::function<void(ServerTrustVerdict)> answer) {
    auto s = session_.lock();
    auto task = task_.lock();
    if (!s || !task || finished_) {
        answer(ServerTrustVerdict{false, WireFailure::cancelled});
        return;
    }
    auto trust = session_support::makeServerTrust(query);
    {
        std::lock_guard lock(trustMutex_);
        pendingTrust_ = answer;
    }
    auto self = shared_from_this();
    auto decide = once<URLSessionAuthChallengeDisposition, std::optional<URLCredential>>(
        [self, trust, answer](URLSessionAuthChallengeDisposition disposition,
                              std::optional<URLCredential> credential) {
            {
                std::lock_guard lock(self->trustMutex_);
                self->pendingTrust_ = nullptr;
            }
            switch (disposition) {
            case URLSessionAuthChallengeDisposition::useCredential:
                if (credential && credential->serverTrust()) {
                    answer(ServerTrustVerdict{true, WireFailure::none});
                    return;
                }
                break;
            case URLSessionAuthChallengeDisposition::cancelAuthenticationChallenge:
                answer(ServerTrustVerdict{false, WireFailure::cancelled});
                return;
            case URLSessionAuthChallengeDisposition::performDefaultHandling:
            case URLSessionAuthChallengeDisposition::rejectProtectionSpace:
                break;
            }
            const bool ok = session_support::evaluateServerTrust(trust);
            answer(ServerTrustVerdict{ok, WireFailure::serverCertificateUntrusted});
        });

    URLAuthenticationChallenge challenge;
    challenge.protectionSpace.host = query.host;
    challenge.protectionSpace.port = query.port;
    challenge.protectionSpace.protocol = NSURLProtectionSpaceHTTPS;
    challenge.protectionSpace.authenticationMethod = NSURLAuthenticationMethodServerTrust;
    challenge.protectionSpace.serverTrust = trust;

    if (s->delegateResponds(URLSessionSelector::didReceiveChallenge)) {
        s->deliver([s, challenge, decide] {
            if (auto d = s->delegate())
                d->didReceiveChallenge(*s, challenge, decide);
            else
                decide(URLSessionAuthChallengeDisposition::performDefaultHandling, std::nullopt);
        });
    } else if (s->delegateResponds(URLSessionSelector::taskDidReceiveChallenge)) {
        s->deliver([s, task, challenge, decide] {
            if (auto d = s->delegate())
                d->taskDidReceiveChallenge(*s, task, challenge, decide);
            else
                decide(URLSessionAuthChallengeDisposition::performDefaultHandling, std::nullopt);
        });
    } else {
        decide(URLSessionAuthChallengeDisposition::performDefaultHandling, std::nullopt);
    }
}

WireAction URLSessionTaskEngine::onHead(const WireResponseHead& head) {
    auto s = session_.lock();
    if (!s || finished_)
        return WireAction::abort;
    head_ = head;
    auto response = std::make_shared<const HTTPURLResponse>(
        *current_.url(), static_cast<int>(head.statusCode), head.httpVersion, head.headers);
    hopResponse_ = response;
    if (!metrics_.transactionMetrics.empty())
        metrics_.transactionMetrics.back().response = response;
    session_support::storeCookies(s->configuration(), current_, head.headers);

    if (isRedirectStatus(head.statusCode) && response->value("Location")) {
        role_ = Role::redirect;
        return WireAction::proceed;
    }
    if (head.statusCode == 401 && response->value("WWW-Authenticate") &&
        parseAuthOffer(*response->value("WWW-Authenticate"))) {
        role_ = Role::authentication;
        return WireAction::proceed;
    }
    // Only a proxy this hop went through may ask for proxy credentials; a server's own 407 is an answer.
    if (head.statusCode == 407 && proxy_ && response->value("Proxy-Authenticate") &&
        parseAuthOffer(*response->value("Proxy-Authenticate"))) {
        role_ = Role::proxyAuthentication;
        return WireAction::proceed;
    }
    role_ = Role::final;
    return deliverResponse(response);
}

WireAction URLSessionTaskEngine::deliverResponse(std::shared_ptr<const HTTPURLResponse> response) {
    auto s = session_.lock();
    auto task = task_.lock();
    if (!s || !task)
        return WireAction::abort;
    responseDelivered_ = true;
    {
        // Set before the event is queued, so a delegate that reads task.response sees it.
        std::lock_guard lock(task->mutex_);
        task->response_ = response;
    }
    int64_t expected = response->expectedContentLength();
    if (task->kind() == URLSessionTaskKind::download) {
        const bool resumed = setup_.resumeData && response->statusCode() == 206;
        if (expected >= 0 && resumed)
            expected += resumeOffset_;
        task->bytesExpectedToReceive_ = expected;
        if (resumed) {
            downloadFd_ = ::open(downloadPath_.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
            task->bytesReceived_ = resumeOffset_;
        } else {
            resumeOffset_ = 0;
            const std::string folder = s->downloadFolder();
            std::string templ = folder + "/URLSessionDownload_XXXXXX.tmp";
            downloadFd_ = ::mkostemps(templ.data(), 4, O_CLOEXEC); // mode 0600
            if (downloadFd_ >= 0)
                downloadPath_ = templ;
        }
        if (downloadFd_ < 0) {
            fail(NSURLErrorCannotCreateFile);
            return WireAction::abort;
        }
        {
            std::lock_guard lock(task->mutex_);
            task->downloadFile_ = downloadPath_;
        }
        if (resumed && !hasCompletionHandler() &&
            s->delegateResponds(URLSessionSelector::didResumeAtOffset)) {
            const int64_t offset = resumeOffset_;
            s->deliver([s, task, offset, expected] {
                if (auto d = s->delegate())
                    d->didResumeAtOffset(*s, task, offset, expected);
            });
        }
        etag_ = response->value("ETag").value_or("");
        lastModified_ = response->value("Last-Modified").value_or("");
        return WireAction::proceed;
    }
    task->bytesExpectedToReceive_ = expected;
    caching_ = s->configuration().urlCache && isCacheable(current_, *response);
    cacheData_.clear();
    if (expected > 0) {
        // Growing a body of megabytes chunk by chunk would copy it over and over into fresh memory.
        int64_t room = std::min(expected, kLargestBodyReservation);
        if (const int64_t cap = s->configuration().maximumResponseBodyBytes; cap >= 0)
            room = std::min(room, cap);
        if (hasCompletionHandler())
            received_.reserve(static_cast<std::size_t>(room));
        else if (caching_)
            cacheData_.reserve(static_cast<std::size_t>(room));
    }
    if (hasCompletionHandler() || !s->delegateResponds(URLSessionSelector::didReceiveResponse))
        return WireAction::proceed;

    awaitingResponseAnswer_ = true;
    auto self = shared_from_this();
    auto answer = once<URLSessionResponseDisposition>([self, s](URLSessionResponseDisposition disposition) {
        s->transport().post([self, disposition] { self->responseAnswered(disposition); });
    });
    s->deliver([s, task, response, answer] {
        if (auto d = s->delegate())
            d->didReceiveResponse(*s, task, *response, answer);
        else
            answer(URLSessionResponseDisposition::allow);
    });
    return WireAction::pause;
}

void URLSessionTaskEngine::responseAnswered(URLSessionResponseDisposition disposition) {
    auto s = session_.lock();
    if (!s || finished_ || !awaitingResponseAnswer_)
        return;
    awaitingResponseAnswer_ = false;
    if (disposition != URLSessionResponseDisposition::allow) {
        // Becoming a download or stream task is not offered; those answers cancel like the device's cancel.
        fail(NSURLErrorCancelled);
        return;
    }
    if (!held_.empty()) {
        Data held;
        held.swap(held_);
        deliverBody(held.data(), held.size());
        if (finished_)
            return;
    }
    if (pendingDone_) {
        pendingDone_.reset();
        finishSuccess();
        return;
    }
    if (hopActive_ && !userSuspended_)
        s->transport().resume(hop_); // may deliver the held body right away
}

WireAction URLSessionTaskEngine::onBody(const uint8_t* bytes, std::size_t length) {
    if (finished_)
        return WireAction::abort;
    if (role_ != Role::final) {
        auto s = session_.lock();
        const int64_t cap = s ? s->configuration().maximumResponseBodyBytes : -1;
        if (cap >= 0 && static_cast<int64_t>(held_.size() + length) > cap) {
            fail(NSURLErrorDataLengthExceedsMaximum);
            return WireAction::abort;
        }
        held_.insert(held_.end(), bytes, bytes + length);
        return WireAction::proceed;
    }
    deliverBody(bytes, length);
    return finished_ ? WireAction::abort : WireAction::proceed;
}

void URLSessionTaskEngine::deliverBody(const uint8_t* bytes, std::size_t length) {
    auto s = session_.lock();
    auto task = task_.lock();
    if (!s || !task || length == 0)
        return;
    const int64_t total = task->bytesReceived_ += static_cast<int64_t>(length);
    if (task->kind() == URLSessionTaskKind::download) {
        std::size_t done = 0;
        while (done < length) {
            const ssize_t n = ::write(downloadFd_, bytes + done, length - done);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                fail(NSURLErrorCannotWriteToFile);
                return;
            }
            done += static_cast<std::size_t>(n);
        }
        if (!hasCompletionHandler() && s->delegateResponds(URLSessionSelector::didWriteData)) {
            const int64_t written = static_cast<int64_t>(length);
            const int64_t expected = task->bytesExpectedToReceive_.load();
            s->deliver([s, task, written, total, expected] {
                if (auto d = s->delegate())
                    d->didWriteData(*s, task, written, total, expected);
            });
        }
        return;
    }
    if (hasCompletionHandler()) {
        received_.insert(received_.end(), bytes, bytes + length);
        return;
    }
    if (caching_)
        cacheData_.insert(cacheData_.end(), bytes, bytes + length);
    if (s->delegateResponds(URLSessionSelector::didReceiveData)) {
        auto chunk = std::make_shared<const Data>(bytes, bytes + length);
        s->deliver([s, task, chunk] {
            if (auto d = s->delegate())
                d->didReceiveData(*s, task, *chunk);
        });
    }
}

void URLSessionTaskEngine::onBodySent(int64_t totalSent, int64_t totalExpected) {
    auto s = session_.lock();
    auto task = task_.lock();
    if (!s || !task || finished_)
        return;
    const int64_t delta = totalSent - lastSent_;
    lastSent_ = totalSent;
    task->bytesSent_ = totalSent;
    if (delta <= 0 || !s->delegateResponds(URLSessionSelector::didSendBodyData))
        return;
    s->deliver([s, task, delta, totalSent, totalExpected] {
        if (auto d = s->delegate())
            d->didSendBodyData(*s, task, delta, totalSent, totalExpected);
    });
}

void URLSessionTaskEngine::onDone(const WireResult& result) {
    hopActive_ = false;
    if (finished_)
        return;
    recordMetrics(result);
    if (result.failure != WireFailure::none) {
        WireFailure failure = result.failure;
        // Neither a name nor a server can be reached without a network: say that, not what it caused.
        // A loopback target (named, or where the connect-to map sent it) needs no network, though.
        if ((failure == WireFailure::cannotFindHost || failure == WireFailure::cannotConnect) &&
            !isLoopbackHost(current_.url()->host().value_or("")) &&
            !isLoopbackHost(result.metrics.remoteAddress) && networkIsDown())
            failure = WireFailure::notConnected;
        fail(URLError::codeFor(failure), result.transportCode);
        return;
    }
    switch (role_) {
    case Role::redirect:
        handleRedirect();
        return;
    case Role::authentication:
        handleAuthentication(false);
        return;
    case Role::proxyAuthentication:
        handleAuthentication(true);
        return;
    case Role::final:
        break;
    }
    if (!responseDelivered_) {
        fail(NSURLErrorBadServerResponse, result.transportCode);
        return;
    }
    if (awaitingResponseAnswer_) {
        pendingDone_ = result;
        return;
    }
    finishSuccess();
}

// ---- redirects ----

void URLSessionTaskEngine::handleRedirect() {
    auto s = session_.lock();
    auto task = task_.lock();
    if (!s || !task)
        return;
    const auto location = hopResponse_->value("Location");
    std::optional<URL> target;
    if (location) {
        if (auto ref = URL::parse(*location))
            target = ref->resolved(*current_.url());
    }
    const std::string scheme = target ? String::lowercasedASCII(target->scheme().value_or("")) : "";
    if (!target || (scheme != "http" && scheme != "https")) {
        redirectAnswered(std::nullopt); // nowhere to go: the 3xx is the answer
        return;
    }
    if (++redirects_ > kMaxRedirects) {
        fail(NSURLErrorHTTPTooManyRedirects);
        return;
    }
    metrics_.redirectCount = redirects_;

    URLRequest next = current_;
    next.setURL(target);
    const long status = head_.statusCode;
    const std::string method = current_.httpMethod();
    bool dropBody = false;
    if (status == 303 && method != "GET" && method != "HEAD") {
        next.setHTTPMethod("GET");
        dropBody = true;
    } else if ((status == 301 || status == 302) && method == "POST") {
        next.setHTTPMethod("GET");
        dropBody = true;
    }
    if (dropBody) {
        next.setHTTPBody(std::nullopt);
        next.setHTTPBodyStream(nullptr);
        next.setValue(std::nullopt, "Content-Type");
        next.setValue(std::nullopt, "Content-Length");
    }

    if (!s->delegateResponds(URLSessionSelector::willPerformHTTPRedirection)) {
        redirectAnswered(std::move(next));
        return;
    }
    auto self = shared_from_this();
    auto answer = once<std::optional<URLRequest>>([self, s](std::optional<URLRequest> request) {
        s->transport().post([self, request] { self->redirectAnswered(request); });
    });
    auto response = hopResponse_;
    s->deliver([s, task, response, next, answer] {
        if (auto d = s->delegate())
            d->willPerformHTTPRedirection(*s, task, *response, next, answer);
        else
            answer(next);
    });
}

void URLSessionTaskEngine::redirectAnswered(std::optional<URLRequest> request) {
    auto task = task_.lock();
    if (finished_ || !task)
        return;
    if (!request || !request->url()) {
        // Refused: the redirect response itself, with its body, is what the task gets.
        deliverHopAsFinal();
        return;
    }
    const bool sameHost = request->url()->host() == current_.url()->host();
    const bool keepsBody = request->httpMethod() == current_.httpMethod() &&
                           (head_.statusCode == 307 || head_.statusCode == 308);
    current_ = std::move(*request);
    {
        std::lock_guard lock(task->mutex_);
        task->currentRequest_ = current_;
    }
    if (!sameHost)
        serverAuth_.credential.reset();
    serverAuth_.failures = 0;
    proxyAuth_.failures = 0;
    if (!keepsBody) {
        setup_.uploadData.reset();
        setup_.uploadFile.reset();
        setup_.streamedUpload = false;
        bodyStream_ = current_.httpBodyStream();
        sendHop();
        return;
    }
    resendHop();
}

// A hop that is not followed (a refused redirect, an unanswered challenge): its response and held
// body become what the task gets.
void URLSessionTaskEngine::deliverHopAsFinal() {
    role_ = Role::final;
    if (deliverResponse(hopResponse_) == WireAction::pause) {
        pendingDone_ = WireResult{};
        return;
    }
    if (finished_)
        return;
    Data held;
    held.swap(held_);
    deliverBody(held.data(), held.size());
    if (!finished_)
        finishSuccess();
}

void URLSessionTaskEngine::resendHop() {
    if (setup_.streamedUpload || bodyStream_) {
        prepareBodyThenSend();
        return;
    }
    sendHop();
}

// ---- HTTP authentication ----

URLProtectionSpace URLSessionTaskEngine::challengedSpace(bool proxy) const {
    const char* field = proxy ? "Proxy-Authenticate" : "WWW-Authenticate";
    const auto offer =
        hopResponse_ ? parseAuthOffer(hopResponse_->value(field).value_or("")) : std::optional<AuthOffer>();
    URLProtectionSpace space;
    if (proxy && proxy_) {
        space.host = proxy_->host;
        space.port = proxy_->port;
        space.proxyType = proxy_->tunnel ? NSURLProtectionSpaceHTTPSProxy : NSURLProtectionSpaceHTTPProxy;
    } else {
        const URL& url = *current_.url();
        space.host = url.host().value_or("");
        space.port = defaultPort(url);
        space.protocol = String::lowercasedASCII(url.scheme().value_or("http"));
    }
    space.realm = offer ? offer->realm : std::nullopt;
    space.authenticationMethod =
        offer && offer->digest ? NSURLAuthenticationMethodHTTPDigest : NSURLAuthenticationMethodHTTPBasic;
    return space;
}

void URLSessionTaskEngine::handleAuthentication(bool proxy) {
    auto s = session_.lock();
    auto task = task_.lock();
    if (!s || !task)
        return;
    AuthState& state = proxy ? proxyAuth_ : serverAuth_;
    URLAuthenticationChallenge challenge;
    challenge.protectionSpace = challengedSpace(proxy);
    challenge.previousFailureCount = state.failures;
    challenge.failureResponse = hopResponse_;
    if (const auto& storage = s->configuration().urlCredentialStorage)
        challenge.proposedCredential = storage->defaultCredential(challenge.protectionSpace);
    state.digest = challenge.protectionSpace.authenticationMethod == NSURLAuthenticationMethodHTTPDigest;

    auto self = shared_from_this();
    auto space = challenge.protectionSpace;
    auto answer = once<URLSessionAuthChallengeDisposition, std::optional<URLCredential>>(
        [self, s, space, proxy](URLSessionAuthChallengeDisposition disposition,
                                std::optional<URLCredential> credential) {
            s->transport().post([self, s, space, proxy, disposition, credential] {
                if (disposition == URLSessionAuthChallengeDisposition::useCredential && credential &&
                    credential->user() && credential->password() && s->configuration().urlCredentialStorage &&
                    (credential->persistence() == URLCredentialPersistence::forSession ||
                     credential->persistence() == URLCredentialPersistence::permanent))
                    s->configuration().urlCredentialStorage->setCredential(*credential, space);
                self->authenticationAnswered(proxy, disposition, credential);
            });
        });
    if (!s->delegateResponds(URLSessionSelector::taskDidReceiveChallenge)) {
        authenticationAnswered(proxy, URLSessionAuthChallengeDisposition::performDefaultHandling,
                               std::nullopt);
        return;
    }
    s->deliver([s, task, challenge, answer] {
        if (auto d = s->delegate())
            d->taskDidReceiveChallenge(*s, task, challenge, answer);
        else
            answer(URLSessionAuthChallengeDisposition::performDefaultHandling, std::nullopt);
    });
}

void URLSessionTaskEngine::authenticationAnswered(bool proxy, URLSessionAuthChallengeDisposition disposition,
                                                  std::optional<URLCredential> credential) {
    if (finished_)
        return;
    AuthState& state = proxy ? proxyAuth_ : serverAuth_;
    std::optional<URLCredential> use;
    switch (disposition) {
    case URLSessionAuthChallengeDisposition::useCredential:
        if (credential && credential->user() && credential->password())
            use = credential;
        break;
    case URLSessionAuthChallengeDisposition::cancelAuthenticationChallenge:
        fail(NSURLErrorCancelled);
        return;
    case URLSessionAuthChallengeDisposition::performDefaultHandling:
    case URLSessionAuthChallengeDisposition::rejectProtectionSpace:
        // The stored default is tried once; after that the refusal is the answer.
        if (state.failures == 0) {
            auto s = session_.lock();
            if (s && s->configuration().urlCredentialStorage && hopResponse_)
                use = s->configuration().urlCredentialStorage->defaultCredential(challengedSpace(proxy));
        }
        break;
    }
    if (!use) {
        // Deliver the 401 or 407 and its body as the final response.
        deliverHopAsFinal();
        return;
    }
    state.credential = use;
    ++state.failures;
    if (proxy)
        proxyAuthFor_ = proxy_;
    resendHop();
}

// ---- completion ----

void URLSessionTaskEngine::recordMetrics(const WireResult& result) {
    if (metrics_.transactionMetrics.empty())
        return;
    auto& t = metrics_.transactionMetrics.back();
    const auto& m = result.metrics;
    t.domainLookupDuration = static_cast<double>(m.nameLookupMicros) / 1e6;
    t.connectDuration = static_cast<double>(std::max<int64_t>(0, m.connectMicros - m.nameLookupMicros)) / 1e6;
    t.secureConnectionDuration =
        m.tlsMicros > 0 ? static_cast<double>(std::max<int64_t>(0, m.tlsMicros - m.connectMicros)) / 1e6 : 0;
    t.requestToResponseDuration = static_cast<double>(m.startTransferMicros) / 1e6;
    t.responseEndDate = Clock::now();
    t.networkProtocolName = m.httpVersion;
    t.reusedConnection = m.reusedConnection;
    t.remoteAddress = m.remoteAddress;
    t.remotePort = m.remotePort;
}

std::optional<Data> URLSessionTaskEngine::makeResumeData() const {
    auto task = task_.lock();
    if (!task || task->kind() != URLSessionTaskKind::download || downloadPath_.empty() || downloadFd_ < 0)
        return std::nullopt;
    if (etag_.empty() && lastModified_.empty())
        return std::nullopt; // without a validator the server cannot promise the same bytes
    nlohmann::json j;
    j["url"] = current_.url() ? current_.url()->absoluteString() : "";
    j["path"] = downloadPath_;
    j["bytes"] = task->bytesReceived_.load();
    j["etag"] = etag_;
    j["lastModified"] = lastModified_;
    const std::string text = j.dump();
    return Data(text.begin(), text.end());
}

void URLSessionTaskEngine::closeOpenedUploadFile() {
    if (openedUploadFd_ >= 0) {
        ::close(openedUploadFd_);
        openedUploadFd_ = -1;
    }
}

void URLSessionTaskEngine::closeDownloadFile() {
    if (downloadFd_ >= 0) {
        ::close(downloadFd_);
        downloadFd_ = -1;
    }
}

void URLSessionTaskEngine::finishSuccess() {
    auto s = session_.lock();
    auto task = task_.lock();
    if (!s || !task || finished_)
        return;
    if (task->kind() == URLSessionTaskKind::download) {
        closeDownloadFile();
        if (!setup_.downloadCompletion &&
            s->delegateResponds(URLSessionSelector::didFinishDownloadingToURL)) {
            const URL location = URL::file(downloadPath_);
            s->deliver([s, task, location] {
                if (auto d = s->delegate())
                    d->didFinishDownloadingToURL(*s, task, location);
            });
        }
    } else if (caching_) {
        offerToCache(*s, task);
    }
    complete(std::nullopt);
}

void URLSessionTaskEngine::offerToCache(URLSession& session, const std::shared_ptr<URLSessionTask>& task) {
    CachedURLResponse proposed;
    proposed.response = task->response();
    proposed.data = hasCompletionHandler() ? received_ : std::move(cacheData_);
    auto cache = session.configuration().urlCache;
    if (hasCompletionHandler() || !session.delegateResponds(URLSessionSelector::willCacheResponse)) {
        cache->storeCachedResponse(std::move(proposed), current_);
        return;
    }
    // Whatever the delegate answers, whenever it answers, is what the cache keeps; it ends nothing else.
    auto store = once<std::optional<CachedURLResponse>>(
        [cache, request = current_](std::optional<CachedURLResponse> answer) {
            if (answer)
                cache->storeCachedResponse(std::move(*answer), request);
        });
    auto s = session_.lock();
    s->deliver([s, task, proposed = std::move(proposed), store]() mutable {
        if (auto d = s->delegate())
            d->willCacheResponse(*s, task, std::move(proposed), store);
    });
}

void URLSessionTaskEngine::fail(int64_t code, std::optional<int> transportCode) {
    auto s = session_.lock();
    if (finished_)
        return;
    Dictionary extra;
    // A body over the cap would only be refused again on resuming.
    const bool networkFailure = code != NSURLErrorCancelled && code != NSURLErrorCannotWriteToFile &&
                                code != NSURLErrorCannotCreateFile &&
                                code != NSURLErrorDataLengthExceedsMaximum;
    if (networkFailure) {
        if (auto resumeData = makeResumeData()) {
            extra.set(NSURLSessionDownloadTaskResumeData, Value(*resumeData));
            if (auto task = task_.lock()) {
                std::lock_guard lock(task->mutex_);
                task->downloadFile_.clear();
            }
        }
    }
    if (hopActive_ && s) {
        s->transport().stop(hop_);
        hopActive_ = false;
    }
    std::optional<URL> failing = current_.url();
    if (!failing) {
        if (auto task = task_.lock(); task && task->originalRequest())
            failing = task->originalRequest()->url();
    }
    complete(URLError::make(code, failing, transportCode, std::move(extra)));
}

void URLSessionTaskEngine::complete(std::optional<Error> error) {
    if (finished_)
        return;
    finished_ = true;
    closeDownloadFile();
    closeOpenedUploadFile(); // a task that ended before its first send
    auto s = session_.lock();
    auto task = task_.lock();
    if (!task)
        return;
    std::shared_ptr<const HTTPURLResponse> response;
    {
        std::lock_guard lock(task->mutex_);
        task->state_ = URLSessionTaskState::completed;
        task->error_ = error;
        response = task->response_;
    }
    if (!s)
        return;
    metrics_.taskIntervalDuration = Clock::now() - metrics_.taskIntervalStart;
    // Metrics, the completion and the session's bookkeeping run as one operation on the delegate queue:
    // one hand-off per finished task instead of three, in the same order.
    std::shared_ptr<const URLSessionTaskMetrics> metrics;
    if (ProcessInfo::processInfo().isOperatingSystemAtLeast({10, 0, 0}) &&
        s->delegateResponds(URLSessionSelector::didFinishCollectingMetrics))
        metrics = std::make_shared<const URLSessionTaskMetrics>(std::move(metrics_));
    std::function<void()> finish;
    if (setup_.dataCompletion) {
        auto data = std::make_shared<std::optional<Data>>();
        if (!error)
            *data = std::move(received_);
        // Handed over, never copied, though the queue may copy the block that carries it: the body may be
        // hundreds of megabytes.
        finish = [cb = std::move(setup_.dataCompletion), data, response, error]() mutable {
            cb(std::move(*data), response, error);
        };
    } else if (setup_.downloadCompletion) {
        std::optional<URL> location;
        if (!error && !downloadPath_.empty())
            location = URL::file(downloadPath_);
        finish = [cb = std::move(setup_.downloadCompletion), location, response, error] {
            cb(location, response, error);
        };
    } else if (s->delegateResponds(URLSessionSelector::didCompleteWithError)) {
        finish = [s, task, error] {
            if (auto d = s->delegate())
                d->didCompleteWithError(*s, task, error);
        };
    }
    const uint64_t id = task->taskIdentifier();
    s->deliver([s, task, id, metrics = std::move(metrics), finish = std::move(finish)] {
        if (metrics) {
            if (auto d = s->delegate())
                d->didFinishCollectingMetrics(*s, task, *metrics);
        }
        if (finish)
            finish();
        s->taskCompleted(id);
    });
}

} // namespace plat

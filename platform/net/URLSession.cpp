#include "platform/net/URLSession.hpp"

#include "platform/dispatch/Backend.hpp"
#include "platform/foundation/AppHome.hpp"
#include "platform/foundation/FileManager.hpp"
#include "platform/foundation/NeverDestroyed.hpp"
#include "platform/foundation/ProcessInfo.hpp"
#include "platform/net/SimNetwork.hpp"
#include "platform/net/URLError.hpp"
#include "platform/net/URLSessionTaskEngine.hpp"
#include "platform/net/WireTransport.hpp"

#include <nlohmann/json.hpp>

#include <atomic>
#include <cstdio>
#include <sys/stat.h>
#include <unistd.h>

namespace plat {

namespace {

// Sessions live until they are invalidated, as on the device, whoever else holds them; this is also where
// background sessions are found by identifier.
struct LiveSessions {
    std::mutex mutex;
    std::vector<std::shared_ptr<URLSession>> sessions;
};

LiveSessions& liveSessions() {
    static NeverDestroyed<LiveSessions> instance;
    return instance.get();
}

bool& quietDelivery() {
    thread_local bool quiet = false;
    return quiet;
}

// Marks the calling thread as running delegate work on a quiet I/O thread, for as long as it lives.
class QuietDeliveryScope {
public:
    QuietDeliveryScope() : outer_(quietDelivery()) { quietDelivery() = true; }
    ~QuietDeliveryScope() { quietDelivery() = outer_; }
    QuietDeliveryScope(const QuietDeliveryScope&) = delete;
    QuietDeliveryScope& operator=(const QuietDeliveryScope&) = delete;

private:
    bool outer_;
};

std::string queueName() {
    static std::atomic<unsigned> counter{0};
    return "NSOperationQueue URLSession " + std::to_string(counter.fetch_add(1) + 1);
}

} // namespace

URLSession::URLSession(Private, URLSessionConfiguration configuration,
                       std::shared_ptr<URLSessionDelegate> delegate,
                       std::shared_ptr<OperationQueue> delegateQueue, bool isShared)
    : configuration_(std::move(configuration)), delegateQueue_(std::move(delegateQueue)), isShared_(isShared),
      delegate_(std::move(delegate)) {
    transport_ = sim::Network::makeTransport("plat.urlsession", configuration_.httpMaximumConnectionsPerHost);
    if (Backend::isVirtual())
        virtualDelivery_ = DispatchQueue::makeSerial("plat.urlsession.delivery");
}

URLSession::~URLSession() {
    if (transport_)
        transport_->shutdown();
    if (!downloadFolder_.empty())
        (void)FileManager::defaultManager().removeItem(downloadFolder_);
}

std::shared_ptr<URLSession> URLSession::shared() {
    static NeverDestroyed<std::shared_ptr<URLSession>> instance([] {
        auto queue = OperationQueue::create("NSOperationQueue shared session");
        queue->setMaxConcurrentOperationCount(1);
        return std::make_shared<URLSession>(Private{}, URLSessionConfiguration::defaultConfiguration(),
                                            nullptr, queue, true);
    }());
    return instance.get();
}

std::shared_ptr<URLSession> URLSession::make(const URLSessionConfiguration& configuration,
                                             std::shared_ptr<URLSessionDelegate> delegate,
                                             std::shared_ptr<OperationQueue> delegateQueue) {
    std::shared_ptr<OperationQueue> queue = std::move(delegateQueue);
    if (!queue) {
        queue = OperationQueue::create(queueName());
        queue->setMaxConcurrentOperationCount(1);
    }
    auto session =
        std::make_shared<URLSession>(Private{}, configuration, std::move(delegate), std::move(queue), false);
    auto& live = liveSessions();
    std::lock_guard lock(live.mutex);
    live.sessions.push_back(session);
    return session;
}

std::shared_ptr<URLSession> URLSession::forBackgroundIdentifier(std::string_view identifier) {
    auto& live = liveSessions();
    std::lock_guard lock(live.mutex);
    for (const auto& s : live.sessions) {
        if (s->configuration_.identifier() && *s->configuration_.identifier() == identifier &&
            !s->isInvalidated())
            return s;
    }
    return nullptr;
}

std::shared_ptr<URLSessionDelegate> URLSession::delegate() const {
    std::lock_guard lock(mutex_);
    return delegate_;
}

std::string URLSession::sessionDescription() const {
    std::lock_guard lock(mutex_);
    return description_;
}

void URLSession::setSessionDescription(std::string description) {
    std::lock_guard lock(mutex_);
    description_ = std::move(description);
}

bool URLSession::delegateResponds(std::string_view selector) const {
    auto d = delegate();
    return d && d->respondsTo(selector);
}

bool URLSession::isDeliveringOnQuietThread() {
    return quietDelivery();
}

void URLSession::deliver(std::function<void()> fn) {
    auto queue = delegateQueue_;
    if (virtualDelivery_) {
        // The virtual scheduler admits work from other threads only as queued work; a serial queue of the
        // session's own keeps the order without passing through the main queue, which a thread blocked
        // on a synchronous load may be holding.
        virtualDelivery_->async(
            [queue, fn = std::move(fn)]() mutable { queue->addOperationWithBlock(std::move(fn)); });
        return;
    }
    // On an I/O thread that carries nothing else, an idle delegate queue's work runs there and then: the
    // thread would otherwise wake another one and go back to waiting. Every entry point the delegate may
    // call back into posts its work to the I/O thread, so nothing re-enters the transfer underneath.
    if (transport_ && transport_->isQuietTransportThread()) {
        QuietDeliveryScope quiet;
        if (queue->runIfIdle(fn))
            return;
    }
    queue->addOperationWithBlock(std::move(fn));
}

std::string URLSession::downloadFolder() {
    std::lock_guard lock(mutex_);
    // The temporary folder may be cleared under a long-lived session; its downloads then go to a new folder.
    if (!downloadFolder_.empty() && ::access(downloadFolder_.c_str(), F_OK) != 0)
        downloadFolder_.clear();
    if (downloadFolder_.empty()) {
        static std::atomic<unsigned> counter{0};
        const std::string tmp = FileManager::defaultManager().temporaryDirectory();
        char name[96];
        std::snprintf(name, sizeof name, "/URLSession-%d-%u", ProcessInfo::processInfo().processIdentifier(),
                      counter.fetch_add(1));
        std::string folder = tmp;
        while (!folder.empty() && folder.back() == '/')
            folder.pop_back();
        folder += name;
        ::mkdir(folder.c_str(), 0700);
        downloadFolder_ = folder;
    }
    return downloadFolder_;
}

std::shared_ptr<URLSessionTask> URLSession::makeTask(URLSessionTaskKind kind,
                                                     std::optional<URLRequest> request) {
    uint64_t id;
    {
        std::lock_guard lock(mutex_);
        id = nextIdentifier_++;
    }
    switch (kind) {
    case URLSessionTaskKind::data:
        return std::make_shared<URLSessionDataTask>(URLSessionTask::Private{}, kind, id, std::move(request));
    case URLSessionTaskKind::upload:
        return std::make_shared<URLSessionUploadTask>(URLSessionTask::Private{}, kind, id,
                                                      std::move(request));
    case URLSessionTaskKind::download:
        return std::make_shared<URLSessionDownloadTask>(URLSessionTask::Private{}, kind, id,
                                                        std::move(request));
    case URLSessionTaskKind::stream:
        break;
    }
    return nullptr;
}

namespace {

template <class T>
std::shared_ptr<T> withEngine(const std::shared_ptr<URLSession>& session,
                              std::shared_ptr<URLSessionTask> task, URLSessionTaskEngine::Setup setup) {
    task->attach(std::make_shared<URLSessionTaskEngine>(session, task, std::move(setup)));
    return std::static_pointer_cast<T>(task);
}

} // namespace

template <class T> std::shared_ptr<T> URLSession::registerTask(std::shared_ptr<T> task) {
    bool refused = false;
    {
        std::lock_guard lock(mutex_);
        refused = invalidating_ || invalidated_;
        if (!refused)
            tasks_.emplace(task->taskIdentifier(), task);
    }
    if (refused) {
        // The device raises here; a task that never runs and reads as cancelled is the kinder failure.
        std::lock_guard lock(task->mutex_);
        task->state_ = URLSessionTaskState::completed;
        task->error_ = URLError::make(NSURLErrorCancelled,
                                      task->originalRequest_ ? task->originalRequest_->url() : std::nullopt);
    }
    return task;
}

std::shared_ptr<URLSessionDataTask> URLSession::dataTask(const URLRequest& request,
                                                         DataCompletion completion) {
    URLSessionTaskEngine::Setup setup;
    setup.dataCompletion = std::move(completion);
    return registerTask(withEngine<URLSessionDataTask>(
        shared_from_this(), makeTask(URLSessionTaskKind::data, request), std::move(setup)));
}

std::shared_ptr<URLSessionDataTask> URLSession::dataTask(const URL& url, DataCompletion completion) {
    return dataTask(URLRequest(url), std::move(completion));
}

std::shared_ptr<URLSessionUploadTask> URLSession::uploadTask(const URLRequest& request, Data body,
                                                             DataCompletion completion) {
    URLSessionTaskEngine::Setup setup;
    setup.uploadData = std::move(body);
    setup.dataCompletion = std::move(completion);
    return registerTask(withEngine<URLSessionUploadTask>(
        shared_from_this(), makeTask(URLSessionTaskKind::upload, request), std::move(setup)));
}

std::shared_ptr<URLSessionUploadTask> URLSession::uploadTask(const URLRequest& request, const URL& fileURL,
                                                             DataCompletion completion) {
    URLSessionTaskEngine::Setup setup;
    setup.uploadFile = fileURL.path();
    setup.dataCompletion = std::move(completion);
    return registerTask(withEngine<URLSessionUploadTask>(
        shared_from_this(), makeTask(URLSessionTaskKind::upload, request), std::move(setup)));
}

std::shared_ptr<URLSessionUploadTask> URLSession::uploadTaskWithStreamedRequest(const URLRequest& request) {
    URLSessionTaskEngine::Setup setup;
    setup.streamedUpload = true;
    return registerTask(withEngine<URLSessionUploadTask>(
        shared_from_this(), makeTask(URLSessionTaskKind::upload, request), std::move(setup)));
}

std::shared_ptr<URLSessionDownloadTask> URLSession::downloadTask(const URLRequest& request,
                                                                 DownloadCompletion completion) {
    URLSessionTaskEngine::Setup setup;
    setup.downloadCompletion = std::move(completion);
    return registerTask(withEngine<URLSessionDownloadTask>(
        shared_from_this(), makeTask(URLSessionTaskKind::download, request), std::move(setup)));
}

std::shared_ptr<URLSessionDownloadTask> URLSession::downloadTask(const URL& url,
                                                                 DownloadCompletion completion) {
    return downloadTask(URLRequest(url), std::move(completion));
}

std::shared_ptr<URLSessionDownloadTask>
URLSession::downloadTaskWithResumeData(const Data& resumeData, DownloadCompletion completion) {
    std::optional<URLRequest> request;
    try {
        const auto j = nlohmann::json::parse(resumeData.begin(), resumeData.end());
        if (auto url = URL::parse(j.at("url").get<std::string>()))
            request = URLRequest(*url);
    } catch (const std::exception&) {
    }
    URLSessionTaskEngine::Setup setup;
    setup.resumeData = resumeData;
    setup.downloadCompletion = std::move(completion);
    return registerTask(withEngine<URLSessionDownloadTask>(
        shared_from_this(), makeTask(URLSessionTaskKind::download, request.value_or(URLRequest())),
        std::move(setup)));
}

std::shared_ptr<URLSessionStreamTask> URLSession::streamTask(std::string host, int port) {
    uint64_t id;
    {
        std::lock_guard lock(mutex_);
        id = nextIdentifier_++;
    }
    auto task = std::make_shared<URLSessionStreamTask>(URLSessionTask::Private{}, id, std::move(host), port);
    return registerTask(withEngine<URLSessionStreamTask>(shared_from_this(), task, {}));
}

void URLSession::getTasks(std::function<void(TaskList, TaskList, TaskList)> completion) {
    TaskList data, upload, download;
    {
        std::lock_guard lock(mutex_);
        for (const auto& [id, task] : tasks_) {
            switch (task->kind()) {
            case URLSessionTaskKind::data:
                data.push_back(task);
                break;
            case URLSessionTaskKind::upload:
                upload.push_back(task);
                break;
            case URLSessionTaskKind::download:
                download.push_back(task);
                break;
            case URLSessionTaskKind::stream:
                break;
            }
        }
    }
    deliver(
        [completion = std::move(completion), data, upload, download] { completion(data, upload, download); });
}

void URLSession::getAllTasks(std::function<void(TaskList)> completion) {
    TaskList all;
    {
        std::lock_guard lock(mutex_);
        for (const auto& [id, task] : tasks_)
            all.push_back(task);
    }
    deliver([completion = std::move(completion), all] { completion(all); });
}

void URLSession::finishTasksAndInvalidate() {
    invalidate(false);
}

void URLSession::invalidateAndCancel() {
    invalidate(true);
}

bool URLSession::isInvalidated() const {
    std::lock_guard lock(mutex_);
    return invalidating_ || invalidated_;
}

void URLSession::invalidate(bool cancel) {
    if (isShared_)
        return;
    std::vector<std::shared_ptr<URLSessionTask>> running;
    {
        std::lock_guard lock(mutex_);
        if (invalidating_)
            return;
        invalidating_ = true;
        for (const auto& [id, task] : tasks_)
            running.push_back(task);
    }
    if (cancel)
        for (const auto& task : running)
            task->cancel();
    // Asynchronous, so that a caller on the delegate queue hears of the invalidation after it returns.
    deliver([self = shared_from_this()] { self->finishInvalidationIfDone(); });
}

void URLSession::taskCompleted(uint64_t identifier) {
    {
        std::lock_guard lock(mutex_);
        tasks_.erase(identifier);
    }
    finishInvalidationIfDone();
}

// Runs on the delegate queue.
void URLSession::finishInvalidationIfDone() {
    std::shared_ptr<URLSessionDelegate> delegate;
    {
        std::lock_guard lock(mutex_);
        if (!invalidating_ || invalidated_ || !tasks_.empty())
            return;
        invalidated_ = true;
        delegate = delegate_;
    }
    if (delegate && delegate->respondsTo(URLSessionSelector::didBecomeInvalidWithError))
        delegate->didBecomeInvalidWithError(*this, std::nullopt);
    {
        std::lock_guard lock(mutex_);
        delegate_.reset();
    }
    auto self = shared_from_this();
    auto& live = liveSessions();
    std::lock_guard lock(live.mutex);
    std::erase(live.sessions, self);
}

} // namespace plat

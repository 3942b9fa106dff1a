#include "platform/webkit/PageFetch.hpp"

#include <map>
#include <mutex>

#include "platform/dispatch/DispatchQueue.hpp"
#include "platform/dispatch/Timer.hpp"
#include "platform/foundation/NeverDestroyed.hpp"
#include "platform/net/URLError.hpp"
#include "platform/net/URLSession.hpp"
#include "platform/webkit/WebPageTable.hpp"

namespace plat::detail {
namespace {

// The redirected request as the session builds it: 301/302 turn a POST into a GET, 303 anything but HEAD;
// 307/308 keep method and body.
URLRequest redirectedRequest(const URLRequest& from, const URL& to, int status) {
    URLRequest next = from;
    next.setURL(to);
    const std::string method = from.httpMethod();
    if (((status == 301 || status == 302) && method == "POST") || (status == 303 && method != "HEAD")) {
        next.setHTTPMethod("GET");
        next.setHTTPBody(std::nullopt);
        next.setValue(std::nullopt, "Content-Type");
        next.setValue(std::nullopt, "Content-Length");
    }
    return next;
}

// ---- page table ----

class TableFetch final : public PageFetch, public std::enable_shared_from_this<TableFetch> {
public:
    explicit TableFetch(FetchCallbacks callbacks) : callbacks_(std::move(callbacks)) {}

    void start(URLRequest request) {
        request_ = std::move(request);
        const std::string url = request_.url() ? request_.url()->absoluteString() : std::string();
        page_ = sim::WebPageTable::shared().find(url);
        const double delay = page_ ? page_->delay : 0;
        std::weak_ptr<TableFetch> weak = weak_from_this();
        auto step = [weak] {
            if (auto self = weak.lock()) {
                self->arrive();
            }
        };
        if (delay > 0) {
            timer_ = DispatchQueue::main()->asyncAfter(delay, step);
        } else {
            DispatchQueue::main()->async(step);
        }
    }

    void cancel() override {
        cancelled_ = true;
        timer_.cancel();
    }

    bool endHeld(std::optional<Error> error) override {
        if (!holding_ || cancelled_) {
            return false;
        }
        holding_ = false;
        finish(std::move(error));
        return true;
    }

private:
    void arrive() {
        if (cancelled_) {
            return;
        }
        if (!page_) {
            finish(URLError::make(NSURLErrorCannotFindHost, request_.url()));
            return;
        }
        if (page_->error) {
            finish(URLError::make(*page_->error, request_.url()));
            return;
        }
        auto response = std::make_shared<const HTTPURLResponse>(*request_.url(), page_->status, "HTTP/1.1",
                                                                page_->headers);
        const auto location = page_->headers.value("Location");
        if (page_->status >= 300 && page_->status < 400 && location) {
            if (++hops_ > 16) {
                finish(URLError::make(NSURLErrorHTTPTooManyRedirects, request_.url()));
                return;
            }
            auto target = URL::parse(*location);
            if (target && !target->scheme()) {
                target = target->resolved(*request_.url());
            }
            if (target) {
                URLRequest next = redirectedRequest(request_, *target, page_->status);
                std::weak_ptr<TableFetch> weak = weak_from_this();
                callbacks_.redirect(*response, next, [weak, next](bool follow) {
                    auto self = weak.lock();
                    if (self && follow && !self->cancelled_) {
                        self->start(next);
                    }
                });
                return;
            }
        }
        std::weak_ptr<TableFetch> weak = weak_from_this();
        callbacks_.response(response, [weak](bool proceed) {
            auto self = weak.lock();
            if (!self || !proceed || self->cancelled_) {
                return;
            }
            const auto& body = self->page_->body;
            if (!body.empty()) {
                self->callbacks_.data(Data(body.begin(), body.end()));
            }
            if (self->cancelled_) {
                return;
            }
            if (self->page_->holdAfterCommit) {
                self->holding_ = true;
            } else {
                self->finish(std::nullopt);
            }
        });
    }

    void finish(std::optional<Error> error) {
        if (cancelled_) {
            return;
        }
        cancelled_ = true; // nothing follows the end
        callbacks_.complete(std::move(error));
    }

    FetchCallbacks callbacks_;
    URLRequest request_;
    std::optional<sim::WebPage> page_;
    Timer timer_;
    int hops_ = 0;
    bool cancelled_ = false;
    bool holding_ = false;
};

// ---- network ----

class SessionFetch;

// The session delegate routes each task's events to its fetch; it runs on the main queue.
class WebSessionDelegate final : public URLSessionDelegate {
public:
    bool respondsTo(std::string_view selector) const override {
        return selector == URLSessionSelector::willPerformHTTPRedirection ||
               selector == URLSessionSelector::didReceiveResponse ||
               selector == URLSessionSelector::didReceiveData ||
               selector == URLSessionSelector::didCompleteWithError;
    }
    void add(uint64_t task, const std::shared_ptr<SessionFetch>& fetch) {
        std::lock_guard lock(mutex_);
        fetches_[task] = fetch;
    }
    void remove(uint64_t task) {
        std::lock_guard lock(mutex_);
        fetches_.erase(task);
    }
    std::shared_ptr<SessionFetch> find(const TaskPtr& task) {
        std::lock_guard lock(mutex_);
        auto it = fetches_.find(task->taskIdentifier());
        return it == fetches_.end() ? nullptr : it->second.lock();
    }

    void willPerformHTTPRedirection(URLSession&, const TaskPtr& task, const HTTPURLResponse& response,
                                    URLRequest next, RedirectCompletion done) override;
    void didReceiveResponse(URLSession&, const TaskPtr& task, const HTTPURLResponse& response,
                            ResponseCompletion done) override;
    void didReceiveData(URLSession&, const TaskPtr& task, const Data& data) override;
    void didCompleteWithError(URLSession&, const TaskPtr& task, const std::optional<Error>& error) override;

private:
    std::mutex mutex_;
    std::map<uint64_t, std::weak_ptr<SessionFetch>> fetches_;
};

class SessionFetch final : public PageFetch {
public:
    SessionFetch(FetchCallbacks callbacks, std::shared_ptr<WebSessionDelegate> router)
        : callbacks_(std::move(callbacks)), router_(std::move(router)) {}
    ~SessionFetch() override { cancel(); }

    void attach(std::shared_ptr<URLSessionDataTask> task) { task_ = std::move(task); }

    void cancel() override {
        if (cancelled_) {
            return;
        }
        cancelled_ = true;
        if (task_) {
            router_->remove(task_->taskIdentifier());
            task_->cancel();
        }
    }

    FetchCallbacks callbacks_;
    bool cancelled_ = false;

private:
    std::shared_ptr<WebSessionDelegate> router_;
    std::shared_ptr<URLSessionDataTask> task_;
};

void WebSessionDelegate::willPerformHTTPRedirection(URLSession&, const TaskPtr& task,
                                                    const HTTPURLResponse& response, URLRequest next,
                                                    RedirectCompletion done) {
    auto fetch = find(task);
    if (!fetch || fetch->cancelled_) {
        done(std::nullopt);
        return;
    }
    std::weak_ptr<SessionFetch> weak = fetch;
    auto shared = std::make_shared<RedirectCompletion>(std::move(done));
    fetch->callbacks_.redirect(response, next, [weak, shared, next](bool follow) {
        auto self = weak.lock();
        if (!self || self->cancelled_ || !follow) {
            if (self) {
                self->cancel();
            }
            (*shared)(std::nullopt);
            return;
        }
        (*shared)(next);
    });
}

void WebSessionDelegate::didReceiveResponse(URLSession&, const TaskPtr& task, const HTTPURLResponse& response,
                                            ResponseCompletion done) {
    auto fetch = find(task);
    if (!fetch || fetch->cancelled_) {
        done(URLSessionResponseDisposition::cancel);
        return;
    }
    std::weak_ptr<SessionFetch> weak = fetch;
    auto shared = std::make_shared<ResponseCompletion>(std::move(done));
    fetch->callbacks_.response(std::make_shared<const HTTPURLResponse>(response),
                               [weak, shared](bool proceed) {
                                   auto self = weak.lock();
                                   if (!self || self->cancelled_ || !proceed) {
                                       if (self) {
                                           self->cancel();
                                       }
                                       (*shared)(URLSessionResponseDisposition::cancel);
                                       return;
                                   }
                                   (*shared)(URLSessionResponseDisposition::allow);
                               });
}

void WebSessionDelegate::didReceiveData(URLSession&, const TaskPtr& task, const Data& data) {
    if (auto fetch = find(task); fetch && !fetch->cancelled_) {
        fetch->callbacks_.data(data);
    }
}

void WebSessionDelegate::didCompleteWithError(URLSession&, const TaskPtr& task,
                                              const std::optional<Error>& error) {
    auto fetch = find(task);
    remove(task->taskIdentifier());
    if (fetch && !fetch->cancelled_) {
        fetch->cancelled_ = true;
        fetch->callbacks_.complete(error);
    }
}

// One session per cookie storage, made on first use and kept for the process, as the web content
// process keeps its network connection.
struct WebSessions {
    std::mutex mutex;
    std::map<HTTPCookieStorage*, std::pair<std::shared_ptr<URLSession>, std::shared_ptr<WebSessionDelegate>>>
        sessions;
};

WebSessions& webSessions() {
    static NeverDestroyed<WebSessions> sessions;
    return *sessions;
}

} // namespace

std::shared_ptr<PageFetch> startFetch(const URLRequest& request, FetchCallbacks callbacks,
                                      const std::shared_ptr<HTTPCookieStorage>& cookies) {
    if (sim::WebPageTable::shared().enabled()) {
        auto fetch = std::make_shared<TableFetch>(std::move(callbacks));
        fetch->start(request);
        return fetch;
    }
    std::shared_ptr<URLSession> session;
    std::shared_ptr<WebSessionDelegate> router;
    {
        auto& all = webSessions();
        std::lock_guard lock(all.mutex);
        auto& entry = all.sessions[cookies.get()];
        if (!entry.first) {
            auto config = URLSessionConfiguration::defaultConfiguration();
            config.httpCookieStorage = cookies;
            config.httpCookieAcceptPolicy = HTTPCookieAcceptPolicy::always;
            entry.second = std::make_shared<WebSessionDelegate>();
            entry.first = URLSession::make(config, entry.second, OperationQueue::main());
        }
        session = entry.first;
        router = entry.second;
    }
    auto fetch = std::make_shared<SessionFetch>(std::move(callbacks), router);
    auto task = session->dataTask(request);
    fetch->attach(task);
    router->add(task->taskIdentifier(), fetch);
    task->resume();
    return fetch;
}

} // namespace plat::detail

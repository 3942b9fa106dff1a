// The pass-through session: the platform's URL session and its tasks behind the shim's interface. The
// platform's delegate calls reach the caller's delegate with the wrapper objects it knows.

#include "kit_host/VZRURLSession.hpp"

#include <algorithm>
#include <map>

namespace {

class VZRPlatformSessionTask : public VZRSessionTask {
public:
    explicit VZRPlatformSessionTask(std::shared_ptr<plat::URLSessionTask> task) : task_(std::move(task)) {}
    VZRSessionTaskKind kind() const override {
        switch (task_->kind()) {
        case plat::URLSessionTaskKind::upload:
            return VZRSessionTaskKind::upload;
        case plat::URLSessionTaskKind::download:
            return VZRSessionTaskKind::download;
        default:
            return VZRSessionTaskKind::data;
        }
    }
    void resume() override { task_->resume(); }
    void cancel() override { task_->cancel(); }
    std::optional<plat::URLRequest> originalRequest() const override { return task_->originalRequest(); }
    std::shared_ptr<const plat::HTTPURLResponse> response() const override { return task_->response(); }
    std::optional<plat::Error> error() const override { return task_->error(); }
    std::string taskDescription() const override { return task_->taskDescription(); }
    void setTaskDescription(std::string description) override { task_->setTaskDescription(std::move(description)); }
    std::shared_ptr<plat::URLSessionTask> platformTask() const override { return task_; }

private:
    std::shared_ptr<plat::URLSessionTask> task_;
};

class VZRPlatformSession;

// The platform session's delegate: forwards to the caller's delegate. Holds the wrapper weakly (the
// wrapper holds the platform session, which holds this until it is invalidated).
class VZRPlatformDelegateBridge : public plat::URLSessionDelegate {
public:
    explicit VZRPlatformDelegateBridge(std::shared_ptr<VZRSessionDelegate> delegate) : delegate_(std::move(delegate)) {}
    void attach(std::weak_ptr<VZRPlatformSession> session) { session_ = std::move(session); }

    bool respondsTo(std::string_view selector) const override { return delegate_->respondsTo(selector); }
    void didBecomeInvalidWithError(plat::URLSession&, const std::optional<plat::Error>& error) override;
    void didReceiveChallenge(plat::URLSession&, const plat::URLAuthenticationChallenge& challenge,
                             ChallengeCompletion completion) override;
    void didFinishEventsForBackgroundURLSession(plat::URLSession&) override;
    void didCompleteWithError(plat::URLSession&, const TaskPtr& task, const std::optional<plat::Error>& error) override;
    void didReceiveResponse(plat::URLSession&, const TaskPtr& task, const plat::HTTPURLResponse& response,
                            ResponseCompletion completion) override;
    void didReceiveData(plat::URLSession&, const TaskPtr& task, const plat::Data& data) override;
    void didFinishDownloadingToURL(plat::URLSession&, const TaskPtr& task, const plat::URL& location) override;

private:
    std::shared_ptr<VZRSessionDelegate> delegate_;
    std::weak_ptr<VZRPlatformSession> session_;
};

class VZRPlatformSession : public VZRSession, public std::enable_shared_from_this<VZRPlatformSession> {
public:
    VZRPlatformSession(std::shared_ptr<plat::URLSession> session, std::shared_ptr<VZRSessionDelegate> delegate)
        : session_(std::move(session)), delegate_(std::move(delegate)) {}

    VZRSessionTaskPtr dataTask(const plat::URLRequest& request, DataCompletion completion) override {
        return wrap(session_->dataTask(request, std::move(completion)));
    }
    VZRSessionTaskPtr uploadTask(const plat::URLRequest& request, const plat::URL& fileURL,
                                 DataCompletion completion) override {
        return wrap(session_->uploadTask(request, fileURL, std::move(completion)));
    }
    VZRSessionTaskPtr downloadTask(const plat::URLRequest& request, DownloadCompletion completion) override {
        return wrap(session_->downloadTask(request, std::move(completion)));
    }
    void getTasks(std::function<void(TaskList, TaskList, TaskList)> completion) override {
        if (!completion)
            return;
        auto self = shared_from_this();
        session_->getTasks([self, completion = std::move(completion)](plat::URLSession::TaskList d,
                                                                      plat::URLSession::TaskList u,
                                                                      plat::URLSession::TaskList l) {
            completion(self->wrapAll(d), self->wrapAll(u), self->wrapAll(l));
        });
    }
    void finishTasksAndInvalidate() override {
        session_->finishTasksAndInvalidate();
        std::lock_guard lock(mutex_);
        delegate_.reset();
    }
    void invalidateAndCancel() override {
        session_->invalidateAndCancel();
        std::lock_guard lock(mutex_);
        delegate_.reset();
    }
    std::shared_ptr<VZRSessionDelegate> delegate() const override {
        std::lock_guard lock(mutex_);
        return delegate_;
    }
    std::shared_ptr<plat::OperationQueue> delegateQueue() const override { return session_->delegateQueue(); }
    std::string sessionDescription() const override { return session_->sessionDescription(); }
    void setSessionDescription(std::string description) override {
        session_->setSessionDescription(std::move(description));
    }
    std::shared_ptr<plat::URLSession> platformSession() const override { return session_; }

    // The wrapper the caller holds for a platform task, or a new one.
    VZRSessionTaskPtr wrapperFor(const std::shared_ptr<plat::URLSessionTask>& task) {
        if (!task)
            return nullptr;
        std::lock_guard lock(mutex_);
        auto it = tasks_.find(task->taskIdentifier());
        if (it != tasks_.end()) {
            if (auto known = it->second.lock())
                return known;
        }
        auto made = std::make_shared<VZRPlatformSessionTask>(task);
        // Entries leave when the delegate hears of the completion; with a delegate that does not listen
        // for it, drop those whose wrapper is gone once the table has doubled.
        if (tasks_.size() >= sweepAt_) {
            std::erase_if(tasks_, [](const auto& entry) { return entry.second.expired(); });
            sweepAt_ = std::max<std::size_t>(64, tasks_.size() * 2);
        }
        tasks_[task->taskIdentifier()] = made;
        return made;
    }
    void forget(const std::shared_ptr<plat::URLSessionTask>& task) {
        std::lock_guard lock(mutex_);
        tasks_.erase(task->taskIdentifier());
    }

private:
    VZRSessionTaskPtr wrap(const std::shared_ptr<plat::URLSessionTask>& task) { return wrapperFor(task); }
    TaskList wrapAll(const plat::URLSession::TaskList& list) {
        TaskList out;
        for (const auto& t : list)
            out.push_back(wrapperFor(t));
        return out;
    }

    const std::shared_ptr<plat::URLSession> session_;
    mutable std::mutex mutex_;
    std::shared_ptr<VZRSessionDelegate> delegate_;
    std::map<uint64_t, std::weak_ptr<VZRSessionTask>> tasks_;
    std::size_t sweepAt_ = 64;
};

void VZRPlatformDelegateBridge::didBecomeInvalidWithError(plat::URLSession&, const std::optional<plat::Error>& error) {
    if (auto s = session_.lock())
        delegate_->didBecomeInvalidWithError(*s, error);
}

void VZRPlatformDelegateBridge::didReceiveChallenge(plat::URLSession&, const plat::URLAuthenticationChallenge& challenge,
                                                   ChallengeCompletion completion) {
    if (auto s = session_.lock())
        delegate_->didReceiveChallenge(*s, challenge, std::move(completion));
    else
        completion(plat::URLSessionAuthChallengeDisposition::performDefaultHandling, std::nullopt);
}

void VZRPlatformDelegateBridge::didFinishEventsForBackgroundURLSession(plat::URLSession&) {
    if (auto s = session_.lock())
        delegate_->didFinishEventsForBackgroundURLSession(*s);
}

void VZRPlatformDelegateBridge::didCompleteWithError(plat::URLSession&, const TaskPtr& task,
                                                     const std::optional<plat::Error>& error) {
    if (auto s = session_.lock()) {
        delegate_->didCompleteWithError(*s, s->wrapperFor(task), error);
        s->forget(task);
    }
}

void VZRPlatformDelegateBridge::didReceiveResponse(plat::URLSession&, const TaskPtr& task,
                                                   const plat::HTTPURLResponse& response, ResponseCompletion completion) {
    if (auto s = session_.lock())
        delegate_->didReceiveResponse(*s, s->wrapperFor(task), response, std::move(completion));
    else
        completion(plat::URLSessionResponseDisposition::allow);
}

void VZRPlatformDelegateBridge::didReceiveData(plat::URLSession&, const TaskPtr& task, const plat::Data& data) {
    if (auto s = session_.lock())
        delegate_->didReceiveData(*s, s->wrapperFor(task), data);
}

void VZRPlatformDelegateBridge::didFinishDownloadingToURL(plat::URLSession&, const TaskPtr& task,
                                                          const plat::URL& location) {
    if (auto s = session_.lock())
        delegate_->didFinishDownloadingToURL(*s, s->wrapperFor(task), location);
}

} // namespace

VZRSessionPtr VZRMakePlatformSession(const plat::URLSessionConfiguration& configuration,
                                     std::shared_ptr<VZRSessionDelegate> delegate,
                                     std::shared_ptr<plat::OperationQueue> delegateQueue) {
    std::shared_ptr<VZRPlatformDelegateBridge> bridge;
    if (delegate)
        bridge = std::make_shared<VZRPlatformDelegateBridge>(delegate);
    auto platform = plat::URLSession::make(configuration, bridge, std::move(delegateQueue));
    if (!platform)
        return nullptr;
    auto session = std::make_shared<VZRPlatformSession>(std::move(platform), std::move(delegate));
    if (bridge)
        bridge->attach(session);
    return session;
}

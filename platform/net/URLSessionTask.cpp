#include "platform/net/URLSessionTask.hpp"

#include "platform/net/URLSessionTaskEngine.hpp"

#include <unistd.h>

namespace plat {

URLSessionTask::URLSessionTask(Private, URLSessionTaskKind kind, uint64_t identifier,
                               std::optional<URLRequest> request)
    : kind_(kind), identifier_(identifier), originalRequest_(std::move(request)),
      currentRequest_(originalRequest_) {}

URLSessionTask::~URLSessionTask() {
    // The downloaded file lives as long as its task, so that whoever got the location can still read it.
    if (!downloadFile_.empty())
        ::unlink(downloadFile_.c_str());
}

std::optional<URLRequest> URLSessionTask::currentRequest() const {
    std::lock_guard lock(mutex_);
    return currentRequest_;
}

std::shared_ptr<const HTTPURLResponse> URLSessionTask::response() const {
    std::lock_guard lock(mutex_);
    return response_;
}

URLSessionTaskState URLSessionTask::state() const {
    std::lock_guard lock(mutex_);
    return state_;
}

std::optional<Error> URLSessionTask::error() const {
    std::lock_guard lock(mutex_);
    return error_;
}

std::string URLSessionTask::taskDescription() const {
    std::lock_guard lock(mutex_);
    return description_;
}

void URLSessionTask::setTaskDescription(std::string description) {
    std::lock_guard lock(mutex_);
    description_ = std::move(description);
}

float URLSessionTask::priority() const {
    std::lock_guard lock(mutex_);
    return priority_;
}

void URLSessionTask::setPriority(float priority) {
    std::lock_guard lock(mutex_);
    priority_ = priority;
}

void URLSessionTask::resume() {
    bool start = false;
    bool resume = false;
    {
        std::lock_guard lock(mutex_);
        if (state_ != URLSessionTaskState::suspended)
            return;
        state_ = URLSessionTaskState::running;
        if (!started_) {
            started_ = true;
            start = true;
        } else {
            resume = true;
        }
    }
    if (!engine_)
        return;
    if (start)
        engine_->requestStart();
    else if (resume)
        engine_->requestResume();
}

void URLSessionTask::suspend() {
    bool started = false;
    {
        std::lock_guard lock(mutex_);
        if (state_ != URLSessionTaskState::running)
            return;
        state_ = URLSessionTaskState::suspended;
        started = started_;
    }
    if (started && engine_)
        engine_->requestSuspend();
}

void URLSessionTask::cancel() {
    {
        std::lock_guard lock(mutex_);
        if (state_ == URLSessionTaskState::completed || state_ == URLSessionTaskState::canceling)
            return;
        state_ = URLSessionTaskState::canceling;
    }
    if (engine_)
        engine_->requestCancel();
}

void URLSessionDownloadTask::cancelByProducingResumeData(
    std::function<void(std::optional<Data>)> completion) {
    {
        std::lock_guard lock(mutex_);
        if (state_ == URLSessionTaskState::completed || state_ == URLSessionTaskState::canceling) {
            // Nothing left to resume; the device still answers, with no data.
            if (completion && engine())
                engine()->requestCancel(std::move(completion));
            return;
        }
        state_ = URLSessionTaskState::canceling;
    }
    if (engine())
        engine()->requestCancel(completion ? std::move(completion) : [](std::optional<Data>) {});
}

} // namespace plat

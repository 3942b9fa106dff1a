#pragma once
// The push client's own questions and messages ("Open Website?", "Open Settings", log lines within the visual
// log level), shown one at a time: each answer reaches its completion 0.25 s after the tap, then the next
// waiting dialog shows.

#include "platform/runtime/Object.hpp"

#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

class RIDialogRequest {
public:
    // YES when the action button was chosen.
    using Completion = std::function<void(bool)>;

    RIDialogRequest(std::string title, std::string message, std::optional<std::string> actionTitle,
                    std::string cancelTitle, Completion completion)
        : title(std::move(title)), message(std::move(message)), actionTitle(std::move(actionTitle)),
          cancelTitle(std::move(cancelTitle)), completion(std::move(completion)) {}

    std::string title;
    std::string message;
    std::optional<std::string> actionTitle;
    std::string cancelTitle;
    Completion completion;
};

class RadIrivozDialogController final : public plat::rt::Object {
public:
    explicit RadIrivozDialogController(plat::rt::Class* cls) : plat::rt::Object(cls) {}
    static plat::rt::Class* runtimeClass();
    static std::shared_ptr<RadIrivozDialogController> sharedInstance();

    // From any thread; queued on the main queue. Without an action title only the cancel button shows.
    void presentDialogWithTitle(std::string title, std::string message, std::optional<std::string> actionTitle,
                                std::string cancelTitle, RIDialogRequest::Completion completion);
    // Main thread: shows the request (the head of the queue).
    void displayDialog(const std::shared_ptr<RIDialogRequest>& request);
    // The head's answer, 0.25 s later on the main queue; then the next one shows.
    void delayResult(bool result);
    // The legacy alert's dismissal: any button but the cancel one (0) is the action.
    void alertViewDidDismissWithButtonIndex(int64_t index);

    // Requests shown or waiting; the first is on screen.
    size_t queueCount() const;

private:
    mutable std::mutex mutex_;
    std::deque<std::shared_ptr<RIDialogRequest>> queue_;
};

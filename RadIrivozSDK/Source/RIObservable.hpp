#pragma once
// The observer tables behind the push client's states. An app-facing table holds its observers weakly and
// calls each one later on the main queue; an internal table owns its observers and calls them at once, on
// the thread that reported the change.

#include "platform/dispatch/DispatchQueue.hpp"

#include <algorithm>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

template <class Observer, class Change> class RIObservable {
public:
    using ChangeOperation = std::function<void(Observer&, const Change&)>;

    // App-facing: the change operation runs on the main queue for every observer still alive then.
    explicit RIObservable(ChangeOperation changeOperation)
        : changeOperation_(std::move(changeOperation)), appFacing_(true) {}
    // Internal: `onChanged(change)` runs on the notifying thread.
    RIObservable() = default;

    RIObservable(const RIObservable&) = delete;
    RIObservable& operator=(const RIObservable&) = delete;

    void addObserver(const std::shared_ptr<Observer>& observer) {
        if (!observer) {
            return;
        }
        std::lock_guard lock(mutex_);
        if (std::any_of(observers_.begin(), observers_.end(),
                        [&](const Entry& e) { return e.key == observer.get(); })) {
            return;
        }
        observers_.push_back(Entry{observer.get(), observer, appFacing_ ? nullptr : observer});
    }

    void removeObserver(const Observer* observer) {
        std::lock_guard lock(mutex_);
        std::erase_if(observers_, [&](const Entry& e) { return e.key == observer; });
    }

    // True when the table held at least one (living) observer. The table is copied first and the observers
    // are called outside its lock, so an observer may add or remove observers, or report another change.
    bool notifyChange(const Change& change) {
        std::vector<std::shared_ptr<Observer>> live;
        {
            std::lock_guard lock(mutex_);
            std::erase_if(observers_, [](const Entry& e) { return e.weak.expired(); });
            for (const Entry& e : observers_) {
                if (auto strong = e.weak.lock()) {
                    live.push_back(std::move(strong));
                }
            }
        }
        for (auto& observer : live) {
            if (appFacing_) {
                // Only the change travels strongly: an observer destroyed before the call is skipped.
                std::weak_ptr<Observer> weak = observer;
                plat::DispatchQueue::main()->async([weak, change, operation = changeOperation_] {
                    if (auto target = weak.lock()) {
                        operation(*target, change);
                    }
                });
            } else if constexpr (requires(Observer& o, const Change& c) { o.onChanged(c); }) {
                observer->onChanged(change);
            }
        }
        return !live.empty();
    }

private:
    struct Entry {
        const Observer* key;
        std::weak_ptr<Observer> weak;
        std::shared_ptr<Observer> strong; // internal tables own their observers
    };

    std::mutex mutex_;
    std::vector<Entry> observers_;
    ChangeOperation changeOperation_;
    bool appFacing_ = false;
};

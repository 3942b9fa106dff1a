#pragma once
// A change of one of the push client's states as the app's observers get it: `from` is the last state the
// app was told (never changed in place), `to` a snapshot of the current one, so later changes do not alter
// a change already on its way.

#include "platform/foundation/Value.hpp"

#include <memory>
#include <string>
#include <type_traits>

template <class State> class RIStateChanges {
public:
    RIStateChanges(std::shared_ptr<const State> from, std::shared_ptr<const State> to, std::string className)
        : from_(std::move(from)), to_(std::move(to)), className_(std::move(className)) {}

    const std::shared_ptr<const State>& from() const { return from_; }
    const std::shared_ptr<const State>& to() const { return to_; }

    // {"from", "to"}, each that state's dictionary.
    plat::Dictionary toDictionary() const {
        return plat::Dictionary{{"from", from_ ? plat::Value(from_->toDictionary()) : plat::Value()},
                                {"to", to_ ? plat::Value(to_->toDictionary()) : plat::Value()}};
    }
    std::string description() const {
        return "<" + className_ + ":\nfrom: " + (from_ ? from_->description() : std::string("(null)")) +
               ",\nto:   " + (to_ ? to_->description() : std::string("(null)")) + "\n>";
    }

private:
    std::shared_ptr<const State> from_;
    std::shared_ptr<const State> to_;
    std::string className_;
};

// Tells the app's observers of the change from `last` to `state`. Only when an observer was there to be
// told does the last state move on (`keepLast` stores and persists it): while the app has none, the change
// stays pending for an observer added later.
template <class Changes, class State, class Observable, class KeepLast>
void deliverStateChanges(const std::shared_ptr<State>& state, std::type_identity_t<std::shared_ptr<const State>> last,
                         Observable& observable, KeepLast keepLast) {
    auto changes = std::make_shared<Changes>(std::move(last), state->copy());
    if (observable.notifyChange(changes)) {
        keepLast(state->copy());
    }
}

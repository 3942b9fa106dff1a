#include "platform/runtime/Object.hpp"

#include <algorithm>
#include <cstdio>
#include <stdexcept>

#include "platform/foundation/Error.hpp"
#include "platform/runtime/Registry.hpp"
#include "platform/runtime/Runtime.hpp"

namespace plat::rt {

Object::Object(Class* cls) : isa_(cls) {
    if (!cls) {
        throw std::logic_error("rt::Object needs a class; was the class registered?");
    }
}

Object::~Object() = default;

// ---- key-value observation -----------------------------------------------------------------------

Object::ObserverToken Object::observe(std::string key, ChangeHandler handler) {
    auto observer = std::make_shared<Observer>();
    observer->key = std::move(key);
    observer->handler = std::move(handler);
    std::lock_guard lock(mutex_);
    observer->token = nextToken_++;
    observers_.push_back(std::move(observer));
    return observers_.back()->token;
}

void Object::removeObserver(ObserverToken token) {
    std::shared_ptr<Observer> gone;
    {
        std::lock_guard lock(mutex_);
        auto it =
            std::find_if(observers_.begin(), observers_.end(), [&](auto& o) { return o->token == token; });
        if (it == observers_.end()) {
            return;
        }
        gone = *it;
        gone->live.store(false);
        observers_.erase(it);
    }
    // The handler (and what it captured) is released here, outside the lock.
}

void Object::willChange(std::string_view key) {
    bool observed = false;
    {
        std::lock_guard lock(mutex_);
        observed = std::any_of(observers_.begin(), observers_.end(), [&](auto& o) { return o->key == key; });
    }
    // Only observed keys are read: an unobserved property need not be readable by key.
    Value old = observed ? valueForKey(key) : Value();
    std::lock_guard lock(mutex_);
    pendingOld_[std::string(key)].push_back(std::move(old));
}

void Object::didChange(std::string_view key) {
    Value old;
    std::vector<std::shared_ptr<Observer>> targets;
    {
        std::lock_guard lock(mutex_);
        if (auto it = pendingOld_.find(std::string(key)); it != pendingOld_.end()) {
            old = std::move(it->second.back());
            it->second.pop_back();
            if (it->second.empty()) {
                pendingOld_.erase(it);
            }
        }
        for (auto& o : observers_) {
            if (o->key == key) {
                targets.push_back(o);
            }
        }
    }
    if (targets.empty()) {
        return;
    }
    const Value now = valueForKey(key);
    for (auto& o : targets) {
        if (o->live.load()) {
            o->handler(old, now);
        }
    }
}

// ---- key-value coding ----------------------------------------------------------------------------

Value Object::valueForKey(std::string_view key) {
    Imp getter = methodImplementation(isa(), Sel(key));
    if (getter.hasSignature<Value>()) {
        return getter.call<Value>(*this);
    }
    if (getter.hasSignature<ObjectPtr>()) {
        return Value(getter.call<ObjectPtr>(*this));
    }
    if (getter.hasSignature<bool>()) {
        return Value(getter.call<bool>(*this));
    }
    if (getter.hasSignature<int64_t>()) {
        return Value(getter.call<int64_t>(*this));
    }
    if (getter.hasSignature<int>()) {
        return Value(getter.call<int>(*this));
    }
    if (getter.hasSignature<uint64_t>()) {
        return Value(getter.call<uint64_t>(*this));
    }
    if (getter.hasSignature<double>()) {
        return Value(getter.call<double>(*this));
    }
    if (getter.hasSignature<std::string>()) {
        return Value(getter.call<std::string>(*this));
    }
    char address[32];
    std::snprintf(address, sizeof address, "%p", static_cast<const void*>(this));
    throw Exception("NSUnknownKeyException", "[<" + className(*this) + " " + address +
                                                 "> valueForUndefinedKey:]: this class is not key value "
                                                 "coding-compliant for the key " +
                                                 std::string(key) + ".");
}

// ---- associated objects --------------------------------------------------------------------------

namespace {

void store(Object& obj, const void* key, std::optional<ObjectAccess::Association> association) {
    std::optional<ObjectAccess::Association> previous;
    {
        std::lock_guard lock(ObjectAccess::mutex(obj));
        auto& table = ObjectAccess::associations(obj);
        auto it = table.find(key);
        if (it != table.end()) {
            previous = std::move(it->second);
            if (association) {
                it->second = std::move(*association);
            } else {
                table.erase(it);
            }
        } else if (association) {
            table.emplace(key, std::move(*association));
        }
    }
    // The previous value is released outside the lock: its destructor may touch this object again.
}

} // namespace

void setAssociated(Object& obj, const void* key, const ObjectPtr& value, AssociationPolicy policy) {
    if (!value) {
        store(obj, key, std::nullopt);
        return;
    }
    setAssociated(obj, key, Value(value), policy);
}

void setAssociated(Object& obj, const void* key, Value value, AssociationPolicy policy) {
    ObjectAccess::Association association{policy, Value(), WeakObjectPtr(), false};
    if (policy == AssociationPolicy::Assign && value.isObject()) {
        association.weak = value.asObject();
        association.isWeak = true;
    } else {
        association.value = std::move(value);
    }
    store(obj, key, std::move(association));
}

std::optional<Value> getAssociated(const Object& obj, const void* key) {
    std::lock_guard lock(ObjectAccess::mutex(obj));
    const auto& table = ObjectAccess::associations(obj);
    auto it = table.find(key);
    if (it == table.end()) {
        return std::nullopt;
    }
    if (it->second.isWeak) {
        if (auto strong = it->second.weak.lock()) {
            return Value(std::move(strong));
        }
        return std::nullopt;
    }
    return it->second.value;
}

ObjectPtr getAssociatedObject(const Object& obj, const void* key) {
    auto value = getAssociated(obj, key);
    return value && value->isObject() ? value->asObject() : nullptr;
}

void removeAssociated(Object& obj, const void* key) {
    store(obj, key, std::nullopt);
}

void removeAllAssociated(Object& obj) {
    std::unordered_map<const void*, ObjectAccess::Association> previous;
    {
        std::lock_guard lock(ObjectAccess::mutex(obj));
        previous.swap(ObjectAccess::associations(obj));
    }
}

} // namespace plat::rt

#pragma once
// plat::rt::Class is a class of the object runtime: name, superclass, metaclass (whose methods are the
// class methods), method table keyed by selector, declared protocols and typed providers. Classes are
// objects too, so class methods are messages sent to the class. Methods are entries of a table; an
// exchange or replacement changes the entry in place, so every Method* stays valid.

#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <typeindex>
#include <unordered_map>
#include <vector>

#include "platform/runtime/Imp.hpp"
#include "platform/runtime/Object.hpp"
#include "platform/runtime/Sel.hpp"

namespace plat::rt {

class Class;

// One entry of a class's method table.
class Method {
public:
    Method(Class* owner, Sel selector, Imp imp, std::string types)
        : owner_(owner), sel_(selector), imp_(std::move(imp)), types_(std::move(types)) {}
    Method(const Method&) = delete;
    Method& operator=(const Method&) = delete;

    Class* owner() const noexcept { return owner_; }
    Sel selector() const noexcept { return sel_; }
    Imp implementation() const;
    // Returns the previous implementation.
    Imp setImplementation(Imp imp);
    std::string types() const;

private:
    friend class Registry;
    Class* owner_;
    Sel sel_;
    Imp imp_;           // guarded by the registry lock
    std::string types_; // guarded by the registry lock
};

class Class final : public Object {
public:
    using Factory = std::function<ObjectPtr(Class*)>;
    struct Key; // only the registry makes classes

    Class(const Key&, std::string name, Class* superclass, Class* metaclass, bool isMeta,
          size_t instanceSize);

    const std::string& name() const noexcept { return name_; }
    Class* superclass() const noexcept { return super_; }
    // For a class, its metaclass; for a metaclass, the root metaclass.
    Class* metaclass() const noexcept { return isa(); }
    bool isMetaclass() const noexcept { return isMeta_; }
    size_t instanceSize() const noexcept { return instanceSize_; }
    // Visible by name (false for an allocated, not yet registered pair and for a removed class).
    bool isRegistered() const noexcept;

    // A typed C++ interface that code finding this class by name can use, one per interface type.
    template <class T> void setProvider(std::shared_ptr<T> provider) {
        std::lock_guard lock(providerMutex_);
        providers_[std::type_index(typeid(T))] = std::static_pointer_cast<void>(std::move(provider));
    }
    template <class T> std::shared_ptr<T> providerAs() const {
        std::lock_guard lock(providerMutex_);
        auto it = providers_.find(std::type_index(typeid(T)));
        return it == providers_.end() ? nullptr : std::static_pointer_cast<T>(it->second);
    }

private:
    friend class Registry;

    std::string name_;
    Class* super_;
    bool isMeta_;
    size_t instanceSize_;
    // Guarded by the registry lock.
    std::unordered_map<Sel, std::unique_ptr<Method>> methods_;
    std::vector<std::string> protocols_;
    Factory factory_;
    bool registered_ = false;

    mutable std::mutex providerMutex_;
    std::unordered_map<std::type_index, std::shared_ptr<void>> providers_;
};

} // namespace plat::rt

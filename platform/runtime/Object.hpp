#pragma once
// plat::rt::Object is the base of every object the runtime dispatches to: it carries the class pointer
// (isa) that messages are looked up through, associated objects, and key-value observers. Objects are
// owned by std::shared_ptr (make them with rt::make or rt::createInstance).

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/foundation/Value.hpp"

namespace plat::rt {

class Class;
using ObjectPtr = std::shared_ptr<Object>;
using WeakObjectPtr = std::weak_ptr<Object>;

// The platform's association policies, with their numeric values.
enum class AssociationPolicy : uintptr_t {
    Assign = 0, // held weakly here: reads give nothing once the object is gone
    RetainNonatomic = 1,
    CopyNonatomic = 3,
    Retain = 0x301,
    Copy = 0x303,
};

class Object : public std::enable_shared_from_this<Object> {
public:
    // A null class is a porting fault (std::logic_error): every object belongs to a class.
    explicit Object(Class* cls);
    virtual ~Object();
    Object(const Object&) = delete;
    Object& operator=(const Object&) = delete;

    Class* isa() const noexcept { return isa_.load(std::memory_order_acquire); }

    // Key-value observation. Handlers run on the thread that calls didChange, after the change, in the
    // order they were added; removal takes effect at once, also during a notification under way.
    using ObserverToken = uint64_t;
    using ChangeHandler = std::function<void(const Value& oldValue, const Value& newValue)>;
    ObserverToken observe(std::string key, ChangeHandler handler);
    void removeObserver(ObserverToken token);
    // Setters of observable properties bracket the change with these two calls.
    void willChange(std::string_view key);
    void didChange(std::string_view key);

    // Key-value coding read. The default sends the getter named by the key through the runtime (a getter
    // returning Value, ObjectPtr, bool, integer, double or std::string); an unknown key raises
    // NSUnknownKeyException as the platform does. Stand-ins may override it.
    virtual Value valueForKey(std::string_view key);

private:
    friend class ObjectAccess;
    friend class Class;
    struct UncheckedTag {};
    // Classes are objects whose class is their metaclass; the root metaclass is its own class, so it is
    // made before it has one.
    Object(Class* cls, UncheckedTag) : isa_(cls) {}

    struct Association {
        AssociationPolicy policy;
        Value value;        // unless weak
        WeakObjectPtr weak; // an object held with Assign
        bool isWeak = false;
    };
    struct Observer {
        ObserverToken token;
        std::string key;
        ChangeHandler handler;
        std::atomic<bool> live{true};
    };

    std::atomic<Class*> isa_;
    mutable std::mutex mutex_;
    std::unordered_map<const void*, Association> associations_;
    std::vector<std::shared_ptr<Observer>> observers_;
    // Old values captured by willChange, per key; a stack so nested changes pair up.
    std::unordered_map<std::string, std::vector<Value>> pendingOld_;
    ObserverToken nextToken_ = 1;
};

// Associated objects. A null ObjectPtr removes the association, as nil does on the platform; a Value
// (including the null Value) is stored as given. With Assign, an object is held weakly.
void setAssociated(Object& obj, const void* key, const ObjectPtr& value, AssociationPolicy policy);
void setAssociated(Object& obj, const void* key, Value value, AssociationPolicy policy);
// Nothing when absent or when a weakly held object has gone.
std::optional<Value> getAssociated(const Object& obj, const void* key);
// The associated object, or null when absent, gone, or not an object.
ObjectPtr getAssociatedObject(const Object& obj, const void* key);
void removeAssociated(Object& obj, const void* key);
void removeAllAssociated(Object& obj);

} // namespace plat::rt

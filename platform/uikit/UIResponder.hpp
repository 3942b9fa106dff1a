#pragma once
// UIResponder: the common base of views, screens and the application object in the class hierarchy, so
// that code asking the runtime about that chain (app delegates deriving from it, isSubclassOf checks) sees
// the device's answer.

#include "platform/runtime/Object.hpp"

namespace plat {

class UIResponder : public rt::Object {
public:
    explicit UIResponder(rt::Class* cls) : rt::Object(cls) {}
    static rt::Class* runtimeClass();
};

} // namespace plat

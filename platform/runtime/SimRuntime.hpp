#pragma once
// Test controls of the object runtime: make a class present or absent by name (for code that branches on
// a class's presence) and record the messages sent with chosen selectors.

#include <string_view>
#include <vector>

#include <string>

#include "platform/runtime/Class.hpp"
#include "platform/runtime/Sel.hpp"

namespace plat::sim {

struct SentMessage {
    std::string className; // the receiver's class when the message was sent
    std::string selector;
};

class Runtime {
public:
    // Makes the class present: a class removed earlier comes back as it was (at the end of the class list);
    // otherwise a new empty class under superName (which must exist) is registered. Null when superName
    // is absent.
    static rt::Class* registerClass(std::string_view name, std::string_view superName = "NSObject");
    // Makes the class absent by name (getClass gives null, classList leaves it out). Existing instances and
    // Class pointers stay valid. False when no such class is registered.
    static bool unregisterClass(std::string_view name);

    // Records every message sent with sel (receiver class and selector), from now on.
    static void recordSends(rt::Sel sel);
    static std::vector<SentMessage> sendLog();
    static void clearSendLog();
};

} // namespace plat::sim

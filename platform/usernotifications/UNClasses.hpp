#pragma once
// The runtime classes of the notification framework, registered once on first use (never from a static
// initialiser). The device profile makes them absent below OS 10.

#include "platform/runtime/Class.hpp"

namespace plat {

struct UNClasses {
    rt::Class* center;
    rt::Class* notification;
    rt::Class* request;
    rt::Class* content;
    rt::Class* mutableContent;
    rt::Class* response;
    rt::Class* textInputResponse;
    rt::Class* trigger;
    rt::Class* pushTrigger;
    rt::Class* timeIntervalTrigger;
    // Present for presence checks; their values are plain C++ types.
    rt::Class* settings;
    rt::Class* category;
    rt::Class* action;
    rt::Class* textInputAction;
    rt::Class* attachment;
    rt::Class* sound;
    rt::Class* serviceExtension;
};

const UNClasses& unClasses();

} // namespace plat

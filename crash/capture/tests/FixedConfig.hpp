#pragma once
// The configuration that the crash probe and the in-process tests initialise the context with.

#include "crash/capture/VZRContext.hpp"

namespace crashtest {

inline VZRContextInitData fixedConfig() {
    VZRContextInitData config;
    config.apiKey = "0123456789abcdef0123456789abcdef01234567";
    config.sessionId = "s1";
    config.installId = "I1";
    config.errorLogBufferSize = 65536;
    config.logBufferSize = 65536;
    config.maxCustomExceptions = 16;
    config.maxCustomKeys = 16;
    return config;
}

} // namespace crashtest

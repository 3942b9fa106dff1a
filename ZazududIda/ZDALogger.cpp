#include "ZazududIda/ZDALogger.hpp"

#include "platform/foundation/Console.hpp"
#include "platform/foundation/NeverDestroyed.hpp"

ZDALogger& ZDALogger::sharedLogger() {
    static plat::NeverDestroyed<ZDALogger> logger;
    return *logger;
}

void ZDALogger::logText(std::string_view text) {
    plat::NSLogText("[Zuvidir] " + std::string(text));
}

void ZDALogger::logText(std::string_view label, std::string_view text) {
    plat::NSLogText("[Zuvidir:" + std::string(label) + "] " + std::string(text));
}

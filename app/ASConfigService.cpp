#include "app/ASConfigService.hpp"

#include "app/Strings.hpp"
#include "platform/foundation/Bundle.hpp"
#include "platform/foundation/Console.hpp"
#include "platform/foundation/FileManager.hpp"
#include "platform/foundation/Json.hpp"
#include "platform/foundation/NeverDestroyed.hpp"

ASConfigService::ASConfigService() : config_(parser_.parse(readConfigFile())) {}

ASConfigService& ASConfigService::shared() {
    // A function-local static gives the thread-safe one-time creation.
    static plat::NeverDestroyed<ASConfigService> instance;
    return instance.get();
}

ASConfigDictionary ASConfigService::readConfigFile() {
    auto path =
        plat::Bundle::main()->pathForResource(Strings::File::Name::config, Strings::File::Extension::json);
    if (!path)
        return {};

    auto bytes = plat::readData(*path);
    auto parsed =
        bytes ? plat::JSONSerialization::jsonObject(*bytes, plat::JSONSerialization::ReadingMutableLeaves)
              : plat::Result<plat::Value>(bytes.error());
    if (!parsed) {
        plat::debugPrint("ASConfigService :: readConfigFile :: dictionary error");
        return {};
    }

    // Valid JSON of another shape is as good as no file: silently empty.
    if (!parsed->isDictionary())
        return {};
    ASConfigDictionary result;
    for (const auto& [key, value] : parsed->asDictionary()) {
        if (!value.isString())
            return {};
        result.emplace(key, value.asString());
    }
    return result;
}

#pragma once
// Turns the configuration file's string dictionary into an ASConfig; never fails, so a missing or odd
// value simply leaves its setting at the default.

#include "app/ASConfig.hpp"

#include <map>
#include <memory>
#include <string>

// The configuration file's content: every member is text.
using ASConfigDictionary = std::map<std::string, std::string, std::less<>>;

class ASConfigParser {
public:
    std::shared_ptr<ASConfig> parse(const ASConfigDictionary& dictionary) const;
};

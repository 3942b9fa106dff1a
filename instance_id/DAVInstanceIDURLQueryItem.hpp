#pragma once
// One name/value pair of a form the client sends.

#include <string>

struct DAVInstanceIDURLQueryItem {
    std::string name;
    std::string value;

    static DAVInstanceIDURLQueryItem queryItemWithName(std::string name, std::string value) {
        return {std::move(name), std::move(value)};
    }
};

#pragma once
// Runs a helper program (a second launch on the same app home) and collects the `key=value` lines it
// prints; any other line, or a failing exit, fails the calling test.

#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <string>

namespace plat::test {

inline std::map<std::string, std::string> runKeyValueProgram(const std::string& command) {
    std::map<std::string, std::string> out;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) {
        ADD_FAILURE() << "cannot start " << command;
        return out;
    }
    char line[512];
    while (std::fgets(line, sizeof line, pipe)) {
        std::string text(line);
        if (!text.empty() && text.back() == '\n')
            text.pop_back();
        const auto eq = text.find('=');
        if (eq == std::string::npos)
            ADD_FAILURE() << "the program printed: " << text;
        else
            out[text.substr(0, eq)] = text.substr(eq + 1);
    }
    EXPECT_EQ(::pclose(pipe), 0) << command;
    return out;
}

} // namespace plat::test

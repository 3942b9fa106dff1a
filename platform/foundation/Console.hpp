#pragma once
// What a program writes to its console: plain and debug prints on stdout, NSLog lines and the simulated
// device's `[device]` reports on stderr. Tests capture all of it through sim::Console.

#include "platform/foundation/Format.hpp"

#include <string>
#include <string_view>

namespace plat {

// stdout: text + LF.
void print(std::string_view text);
// stdout: the text as a quoted, escaped literal + LF (see debugDescription).
void debugPrint(std::string_view text);
// `"` + text + `"` with `\" \\ \' \n \r \t \0` escaped and every other control character (C0, DEL, C1) as
// `\u{X}` in lower-case hex without leading zeros. Bytes that are not UTF-8 show as U+FFFD.
std::string debugDescription(std::string_view text);

// stderr: `YYYY-MM-DD HH:MM:SS.ffffff+ZZZZ <process>[<pid>:<tid>] <text>` + LF, in local time.
// Formatting happens at the caller (plat::format); this takes the finished text.
void NSLogText(std::string_view text);
// The line NSLogText writes, without the LF, for the given wall time (seconds since 1970).
std::string nslogLine(std::string_view text, double wallTime);

// NSLogText of plat::format(fmt, args...).
template <class... Args> void NSLog(std::string_view fmt, const Args&... args) {
    NSLogText(plat::format(fmt, args...));
}

// stderr: text + LF, as a program's own diagnostics reach it (the system log's copy to standard error).
void printStandardError(std::string_view text);

// stderr: `[device] ` + text + LF. What the simulated device reports (pages loaded, warnings, ...).
void printDevice(std::string_view text);

namespace sim {

// While capturing, console output is kept here instead of reaching the file descriptors.
struct Console {
    static void startCapture();
    static void stopCapture();
    static std::string capturedStdout();
    static std::string capturedStderr(); // NSLog and [device] lines included
    static std::string capturedNSLog();  // NSLog lines only
    static void clearCaptured();
};

// Captures for the lifetime of the object.
class ConsoleCapture {
public:
    ConsoleCapture() { Console::startCapture(); }
    ~ConsoleCapture() { Console::stopCapture(); }
    ConsoleCapture(const ConsoleCapture&) = delete;
    ConsoleCapture& operator=(const ConsoleCapture&) = delete;
    std::string out() const { return Console::capturedStdout(); }
    std::string err() const { return Console::capturedStderr(); }
    std::string nslog() const { return Console::capturedNSLog(); }
};

} // namespace sim
} // namespace plat

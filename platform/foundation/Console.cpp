#include "platform/foundation/Console.hpp"

#include "platform/dispatch/Clock.hpp"
#include "platform/foundation/NeverDestroyed.hpp"
#include "platform/foundation/ProcessInfo.hpp"
#include "platform/foundation/String.hpp"

#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <ctime>
#include <mutex>

namespace plat {
namespace {

struct Sinks {
    std::mutex mutex;
    bool capturing = false;
    std::string out, err, nslog;
};

Sinks& sinks() {
    static NeverDestroyed<Sinks> s;
    return *s;
}

enum class Target { Out, Err, NSLog };

void emit(Target target, const std::string& line) {
    auto& s = sinks();
    std::lock_guard lock(s.mutex);
    if (s.capturing) {
        if (target == Target::Out) {
            s.out += line;
        } else {
            s.err += line;
            if (target == Target::NSLog)
                s.nslog += line;
        }
        return;
    }
    FILE* f = target == Target::Out ? stdout : stderr;
    std::fwrite(line.data(), 1, line.size(), f);
    std::fflush(f);
}

} // namespace

void print(std::string_view text) {
    std::string line(text);
    line += '\n';
    emit(Target::Out, line);
}

std::string debugDescription(std::string_view text) {
    std::string out = "\"";
    for (size_t i = 0; i < text.size();) {
        char32_t cp = String::decodeUTF8(text, i);
        switch (cp) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\'':
            out += "\\'";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        case 0:
            out += "\\0";
            break;
        default:
            if (cp < 0x20 || (cp >= 0x7F && cp <= 0x9F)) {
                char hex[16];
                std::snprintf(hex, sizeof hex, "\\u{%x}", static_cast<unsigned>(cp));
                out += hex;
            } else {
                String::appendUTF8(out, cp);
            }
        }
    }
    out += '"';
    return out;
}

void debugPrint(std::string_view text) {
    emit(Target::Out, debugDescription(text) + "\n");
}

std::string nslogLine(std::string_view text, double wallTime) {
    double whole = std::floor(wallTime);
    auto seconds = static_cast<time_t>(whole);
    auto micros = static_cast<long>((wallTime - whole) * 1e6);
    if (micros > 999999)
        micros = 999999;
    struct tm local {};
    localtime_r(&seconds, &local);
    long offset = local.tm_gmtoff;
    char sign = offset < 0 ? '-' : '+';
    if (offset < 0)
        offset = -offset;
    char stamp[160];
    std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02d %02d:%02d:%02d.%06ld%c%02ld%02ld",
                  local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min,
                  local.tm_sec, micros, sign, offset / 3600, (offset % 3600) / 60);
    auto& info = ProcessInfo::processInfo();
    std::string line = stamp;
    line += ' ';
    line += info.processName();
    line += '[' + std::to_string(info.processIdentifier()) + ':' + std::to_string(::gettid()) + "] ";
    line += text;
    return line;
}

void NSLogText(std::string_view text) {
    emit(Target::NSLog, nslogLine(text, Clock::now()) + "\n");
}

void printStandardError(std::string_view text) {
    std::string line(text);
    line += '\n';
    emit(Target::Err, line);
}

void printDevice(std::string_view text) {
    std::string line = "[device] ";
    line += text;
    line += '\n';
    emit(Target::Err, line);
}

namespace sim {

void Console::startCapture() {
    auto& s = sinks();
    std::lock_guard lock(s.mutex);
    s.capturing = true;
}

void Console::stopCapture() {
    auto& s = sinks();
    std::lock_guard lock(s.mutex);
    s.capturing = false;
}

std::string Console::capturedStdout() {
    auto& s = sinks();
    std::lock_guard lock(s.mutex);
    return s.out;
}

std::string Console::capturedStderr() {
    auto& s = sinks();
    std::lock_guard lock(s.mutex);
    return s.err;
}

std::string Console::capturedNSLog() {
    auto& s = sinks();
    std::lock_guard lock(s.mutex);
    return s.nslog;
}

void Console::clearCaptured() {
    auto& s = sinks();
    std::lock_guard lock(s.mutex);
    s.out.clear();
    s.err.clear();
    s.nslog.clear();
}

} // namespace sim
} // namespace plat

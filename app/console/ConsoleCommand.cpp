#include "app/console/ConsoleCommand.hpp"

#include "platform/foundation/Json.hpp"
#include "platform/foundation/String.hpp"

#include <cctype>
#include <cmath>
#include <cstdlib>
#include <map>

namespace console {
namespace {

bool isSpace(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

std::string_view trim(std::string_view text) {
    while (!text.empty() && isSpace(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && isSpace(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

std::string_view stripComment(std::string_view line) {
    for (size_t i = 0; i < line.size(); ++i) {
        if (line[i] == '#' && (i == 0 || isSpace(line[i - 1]))) {
            return line.substr(0, i);
        }
    }
    return line;
}

std::vector<std::string> words(std::string_view text) {
    std::vector<std::string> out;
    size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && isSpace(text[i])) {
            ++i;
        }
        size_t start = i;
        while (i < text.size() && !isSpace(text[i])) {
            ++i;
        }
        if (i > start) {
            out.emplace_back(text.substr(start, i - start));
        }
    }
    return out;
}

// Form fields are written percent-encoded so that a value can hold spaces; a stray '%' stays as it is.
std::string percentDecode(std::string_view text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && plat::String::hexDigitValue(text[i + 1]) >= 0 &&
            plat::String::hexDigitValue(text[i + 2]) >= 0) {
            out += static_cast<char>(plat::String::hexDigitValue(text[i + 1]) * 16 +
                                     plat::String::hexDigitValue(text[i + 2]));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

// The length of the JSON value at the start of `text` (balanced brackets, strings skipped), or none.
std::optional<size_t> jsonValueLength(std::string_view text) {
    int depth = 0;
    bool inString = false;
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (inString) {
            if (c == '\\') {
                ++i;
            } else if (c == '"') {
                inString = false;
            }
            continue;
        }
        if (c == '"') {
            inString = true;
        } else if (c == '{' || c == '[') {
            ++depth;
        } else if (c == '}' || c == ']') {
            if (--depth == 0) {
                return i + 1;
            }
            if (depth < 0) {
                return std::nullopt;
            }
        }
    }
    return std::nullopt;
}

// A payload that is no JSON object does not stop the script: the device says why when the line is played.
void parsePayload(std::string_view json, ConsoleCommand& command) {
    auto parsed = plat::JSONSerialization::jsonObject(json);
    if (!parsed) {
        command.payloadProblem = "the JSON does not parse: " + parsed.error().displayText();
    } else if (!parsed->isDictionary()) {
        command.payloadProblem = "the JSON is no object: " + printable(json);
    } else {
        command.payload = std::move(*parsed);
    }
}

std::optional<double> parseSeconds(const std::string& text) {
    if (text.empty()) {
        return std::nullopt;
    }
    char* end = nullptr;
    double value = std::strtod(text.c_str(), &end);
    if (end != text.c_str() + text.size() || !std::isfinite(value) || value < 0 ||
        value > kLongestWaitSeconds) {
        return std::nullopt;
    }
    return value;
}

struct Shape {
    CommandKind kind;
    enum Args { none, oneURL, text, requiredText, custom } args;
};

const std::map<std::string, Shape, std::less<>>& shapes() {
    static const std::map<std::string, Shape, std::less<>> table = {
        {"click", {CommandKind::click, Shape::oneURL}},
        {"submit", {CommandKind::submit, Shape::custom}},
        {"go", {CommandKind::go, Shape::oneURL}},
        {"back", {CommandKind::back, Shape::none}},
        {"refresh", {CommandKind::refresh, Shape::none}},
        {"reload-button", {CommandKind::reloadButton, Shape::none}},
        {"alert", {CommandKind::alert, Shape::text}},
        {"confirm", {CommandKind::confirm, Shape::text}},
        {"answer", {CommandKind::answer, Shape::requiredText}},
        {"window-open", {CommandKind::windowOpen, Shape::oneURL}},
        {"window-close", {CommandKind::windowClose, Shape::none}},
        {"link", {CommandKind::link, Shape::custom}},
        {"push", {CommandKind::push, Shape::custom}},
        {"tap", {CommandKind::tap, Shape::custom}},
        {"background", {CommandKind::background, Shape::none}},
        {"foreground", {CommandKind::foreground, Shape::none}},
        {"reachability", {CommandKind::reachability, Shape::custom}},
        {"wait", {CommandKind::wait, Shape::custom}},
        {"state", {CommandKind::state, Shape::none}},
        {"crash", {CommandKind::crash, Shape::custom}},
        {"quit", {CommandKind::quit, Shape::none}},
    };
    return table;
}

ParsedLine fail(std::string message) {
    return ParsedLine{std::nullopt, std::move(message)};
}

} // namespace

std::string printable(std::string_view text) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    size_t i = 0;
    while (i < text.size()) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c >= 0x80) {
            // A whole UTF-8 sequence passes; a byte that starts none is escaped on its own.
            const size_t length = c >= 0xf0 ? 4 : c >= 0xe0 ? 3 : c >= 0xc0 ? 2 : 1;
            if (length > 1 && i + length <= text.size() &&
                plat::String::isValidUTF8(text.substr(i, length))) {
                out.append(text.substr(i, length));
                i += length;
                continue;
            }
        }
        if (c == '\t') {
            out += "\\t";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c < 0x20 || c == 0x7f || c >= 0x80) {
            out += "\\x";
            out += kHex[c >> 4];
            out += kHex[c & 0xf];
        } else {
            out += static_cast<char>(c);
        }
        ++i;
    }
    return out;
}

ParsedLine parseCommand(std::string_view line) {
    const std::string_view body = trim(stripComment(line));
    if (body.empty()) {
        return {};
    }
    size_t split = 0;
    while (split < body.size() && !isSpace(body[split])) {
        ++split;
    }
    const std::string name(body.substr(0, split));
    const std::string_view rest = trim(body.substr(split));
    auto shape = shapes().find(name);
    if (shape == shapes().end()) {
        return fail("unknown command '" + printable(name) + "'");
    }
    ConsoleCommand command;
    command.kind = shape->second.kind;
    command.name = name;
    command.text = std::string(body);
    const auto args = words(rest);

    switch (shape->second.args) {
    case Shape::none:
        if (!args.empty()) {
            return fail("'" + name + "' takes no arguments");
        }
        break;
    case Shape::oneURL:
        if (args.size() != 1) {
            return fail("'" + name + "' takes one URL");
        }
        command.target = args[0];
        break;
    case Shape::text:
        command.target = std::string(rest);
        break;
    case Shape::requiredText:
        if (rest.empty()) {
            return fail("'" + name + "' needs a button title");
        }
        command.target = std::string(rest);
        break;
    case Shape::custom:
        switch (command.kind) {
        case CommandKind::submit:
            if (args.empty()) {
                return fail("'submit' needs a URL, then name=value fields");
            }
            command.target = args[0];
            for (size_t i = 1; i < args.size(); ++i) {
                const auto eq = args[i].find('=');
                if (eq == std::string::npos || eq == 0) {
                    return fail("'submit' fields are name=value, not '" + args[i] + "'");
                }
                command.fields.emplace_back(percentDecode(std::string_view(args[i]).substr(0, eq)),
                                            percentDecode(std::string_view(args[i]).substr(eq + 1)));
            }
            break;
        case CommandKind::link:
            if (args.empty() || args.size() > 2) {
                return fail("'link' takes a URL and an optional activity type ('-' for none)");
            }
            command.target = args[0];
            if (args.size() == 2) {
                command.activityType = args[1] == "-" ? std::string() : args[1];
            }
            break;
        case CommandKind::push:
            if (rest.empty()) {
                return fail("'push' needs the notification's JSON object");
            }
            parsePayload(rest, command);
            break;
        case CommandKind::tap: {
            if (rest.empty()) {
                return fail("'tap' needs the notification's JSON object, then an optional action");
            }
            // Unbalanced brackets leave no room for an action: the whole rest is the (bad) JSON.
            const size_t length = jsonValueLength(rest).value_or(rest.size());
            parsePayload(rest.substr(0, length), command);
            const auto after = words(rest.substr(length));
            if (after.size() > 1) {
                return fail("'tap' takes one action after the JSON object");
            }
            if (!after.empty()) {
                command.action = after[0];
            }
            break;
        }
        case CommandKind::reachability:
            if (args.size() != 1 || (args[0] != "on" && args[0] != "off")) {
                return fail("'reachability' takes on or off");
            }
            command.reachable = args[0] == "on";
            break;
        case CommandKind::crash:
            if (args.size() != 1 || (args[0] != "segv" && args[0] != "abort" && args[0] != "exception" &&
                                     args[0] != "trap")) {
                return fail("'crash' takes segv, abort, exception or trap");
            }
            command.target = args[0];
            break;
        case CommandKind::wait: {
            auto seconds = args.size() == 1 ? parseSeconds(args[0]) : std::nullopt;
            if (!seconds) {
                return fail("'wait' takes a number of seconds from 0 to a year (31536000)");
            }
            command.seconds = *seconds;
            break;
        }
        default:
            break;
        }
        break;
    }
    return ParsedLine{std::move(command), std::nullopt};
}

} // namespace console

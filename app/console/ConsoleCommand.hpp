#pragma once
// One line of the portal-app console, parsed: what the user, the page or the OS does next. Parsing checks
// every argument up front, so a script with a typo fails before the app starts.

#include "platform/foundation/Value.hpp"

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace console {

enum class CommandKind {
    click,
    submit,
    go,
    back,
    refresh,
    reloadButton,
    alert,
    confirm,
    answer,
    windowOpen,
    windowClose,
    link,
    push,
    tap,
    background,
    foreground,
    reachability,
    wait,
    state,
    crash,
    quit,
};

struct ConsoleCommand {
    CommandKind kind = CommandKind::state;
    std::string name;   // the command word as written
    std::string text;   // the whole command as written, without its comment
    std::string target; // URL (click, submit, go, window-open, link), text (alert, confirm), label (answer),
                        // how the app dies (crash: segv, abort, exception, trap)
    std::vector<std::pair<std::string, std::string>> fields; // submit: form fields, percent-decoded
    std::optional<std::string> activityType;                 // link: none = the browsing-web type; "" for `-`
    plat::Value payload;                                     // push, tap: the notification's JSON object
    std::optional<std::string> payloadProblem; // push, tap: why the JSON is no object (said when played)
    std::optional<std::string> action;         // tap: the action picked, none = the default action
    bool reachable = true;                     // reachability
    double seconds = 0;                        // wait
};

// Either a command, nothing (blank line or comment) or an error naming what is wrong.
struct ParsedLine {
    std::optional<ConsoleCommand> command;
    std::optional<std::string> error;
};

// A `#` at the start of a word starts a comment, so URLs with fragments stay whole.
ParsedLine parseCommand(std::string_view line);

// The longest `wait`: a year of skipped time is more than any scenario needs.
inline constexpr double kLongestWaitSeconds = 365.0 * 24 * 3600;

// Text as it can be shown on one line: control characters and bytes that are not UTF-8 as escapes
// (\t, \n, \r, \xNN), everything else as it is.
std::string printable(std::string_view text);

// The activity type a universal link gets when the line names none.
inline constexpr const char* kBrowsingWebActivityType = "NSUserActivityTypeBrowsingWeb";

} // namespace console

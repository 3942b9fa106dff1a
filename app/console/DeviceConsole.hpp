#pragma once
// The portal-app console: plays its lines one after the other on the main loop, each as soon as the work of
// the previous one has settled (page loads finished, HTTP requests answered, due delayed work run), by
// acting as the user, the page and the OS would through the device's drivers. Ends the app after `quit` or
// at the end of the input. A bad typed line is reported and skipped; the exit status is then 2.

#include "app/console/CommandSource.hpp"
#include "app/console/ConsoleCommand.hpp"
#include "app/console/HttpActivity.hpp"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace console {

struct ConsoleOptions {
    // How long a command's work may take to settle before the console goes on regardless (and says so).
    double settleTimeout = 15;
    // Settled means: nothing loading and nothing new happening for `quietRounds` looks, `pollInterval` apart,
    // so chains of main-queue hops (cookie read, then the registration) get to start.
    double pollInterval = 0.002;
    int quietRounds = 3;
    // Echo each command as a [device] line before it runs, so traces read as a story.
    bool echo = true;
    // Where a bad line is reported (the program's standard error unless set).
    std::function<void(const std::string&)> reportError;
};

class DeviceConsole : public std::enable_shared_from_this<DeviceConsole> {
public:
    static std::shared_ptr<DeviceConsole> make(std::unique_ptr<CommandSource> source,
                                               ConsoleOptions options = {});
    ~DeviceConsole();

    // Queues the first step on the main queue; it runs once the main loop runs (after the launch), waits for
    // the launch's work to settle, then plays the lines.
    void start();
    // 0 while running and after a normal end; 2 at the end when a line was bad.
    int exitStatus() const { return exitStatus_; }
    bool finished() const { return finished_; }

    // Runs one parsed command now and calls `done` once its work has settled (tests and the line player).
    void execute(const ConsoleCommand& command, std::function<void()> done);

    DeviceConsole(std::unique_ptr<CommandSource> source, ConsoleOptions options);

private:
    void playNext();
    void play(const SourceLine& line);
    void settleThen(std::function<void()> then);
    void skipUntil(double startUptime, double targetUptime, std::function<void()> done);
    void finish(int status, bool terminateApp);
    // The activity counter the settle check compares between looks.
    uint64_t activityMarker() const;
    std::string busyWith() const;

    std::unique_ptr<CommandSource> source_;
    ConsoleOptions options_;
    HttpActivity http_;
    int exitStatus_ = 0;
    bool hadBadLine_ = false;
    bool finished_ = false;
};

} // namespace console

#pragma once
// Where the console's lines come from: a script read up front, or a file descriptor (standard input) read
// line by line on a thread of its own so the main loop never blocks on the terminal. Lines are handed out
// on the main queue, one per request.

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/Error.hpp"

namespace console {

struct SourceLine {
    size_t number = 0; // 1-based
    std::string text;
};

class CommandSource {
public:
    // Called on the main queue with the next line, or none at the end of the input.
    using Deliver = std::function<void(std::optional<SourceLine>)>;
    virtual ~CommandSource() = default;
    // One request at a time; `deliver` runs later on the main queue, never inline.
    virtual void next(Deliver deliver) = 0;
};

// A script that is already in memory.
class ScriptSource : public CommandSource {
public:
    explicit ScriptSource(std::vector<std::string> lines);
    // The lines of a script file; an error when it cannot be read.
    static plat::Result<std::vector<std::string>> readLines(const std::string& path);
    void next(Deliver deliver) override;

private:
    std::vector<std::string> lines_;
    size_t position_ = 0;
};

// Lines typed or piped into a file descriptor. The reader thread only reads and posts; it is left blocked
// in read() when the app ends first, which is harmless at process exit.
class StreamSource : public CommandSource {
public:
    explicit StreamSource(int fd);
    ~StreamSource() override;
    void next(Deliver deliver) override;

    struct Shared;

private:
    std::shared_ptr<Shared> shared_;
};

} // namespace console

#pragma once
// An asynchronous operation for tests: main() records that it ran and either finishes at once with a
// chosen error or waits for the test to finish it.

#include "kit_host/ZUVAsyncOperation.hpp"

#include <atomic>
#include <memory>
#include <optional>

class ScriptedOperation : public ZUVAsyncOperation {
public:
    explicit ScriptedOperation(bool finishesAtOnce = true, std::optional<plat::Error> error = std::nullopt,
                               std::string className = "ZUVAsyncOperation")
        : ZUVAsyncOperation(std::move(className)), finishesAtOnce_(finishesAtOnce), error_(std::move(error)) {}

    static std::shared_ptr<ScriptedOperation> succeeding() { return std::make_shared<ScriptedOperation>(); }
    static std::shared_ptr<ScriptedOperation> failing(plat::Error e) {
        return std::make_shared<ScriptedOperation>(true, std::move(e));
    }
    static std::shared_ptr<ScriptedOperation> waiting() { return std::make_shared<ScriptedOperation>(false); }

    void main() override {
        mainRuns.fetch_add(1);
        if (finishesAtOnce_)
            finishWithError(error_);
    }

    std::atomic<int> mainRuns{0};

private:
    bool finishesAtOnce_;
    std::optional<plat::Error> error_;
};

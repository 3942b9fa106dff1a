#include "kit_host/ZUVAsyncOperation.hpp"

#include <mutex>

namespace {

// An error as a value of a user-info array: its domain, code and user info.
plat::Value compoundErrorAsValue(const plat::Error& error) {
    return plat::Value(plat::Dictionary{{"domain", plat::Value(error.domain)},
                                        {"code", plat::Value(error.code)},
                                        {"userInfo", plat::Value(error.userInfo)}});
}

} // namespace

ZUVAsyncOperation::ZUVAsyncOperation(std::string className)
    : className_(std::move(className)),
      lock_(std::make_unique<ZUVRecursiveLock>("com.ruzovid." + className_ + "-lock")) {}

bool ZUVAsyncOperation::isExecuting() const {
    std::lock_guard guard(*lock_);
    return internalExecuting_;
}

bool ZUVAsyncOperation::isFinished() const {
    std::lock_guard guard(*lock_);
    return internalFinished_;
}

void ZUVAsyncOperation::start() {
    if (checkForCancellation())
        return;
    markStarted();
    main();
}

bool ZUVAsyncOperation::checkForCancellation() {
    if (!isCancelled())
        return false;
    markDone();
    return true;
}

void ZUVAsyncOperation::markStarted() {
    lock([this] { unlockedMarkStarted(); });
}

void ZUVAsyncOperation::markDone() {
    lock([this] {
        unlockedMarkComplete();
        unlockedMarkFinished();
    });
}

void ZUVAsyncOperation::finishWithError(const std::optional<plat::Error>& error) {
    if (auto completion = asyncCompletion())
        completion(error);
    markDone();
}

void ZUVAsyncOperation::lock(const std::function<void()>& block) {
    std::lock_guard guard(*lock_);
    block();
}

void ZUVAsyncOperation::changeValueForKey(const std::string& key, const std::function<void()>& block) {
    willChangeValueForKey(key);
    block();
    didChangeValueForKey(key);
}

ZUVAsyncOperation::AsyncCompletion ZUVAsyncOperation::asyncCompletion() const {
    std::lock_guard guard(*lock_);
    return asyncCompletion_;
}

void ZUVAsyncOperation::setAsyncCompletion(AsyncCompletion completion) {
    std::lock_guard guard(*lock_);
    asyncCompletion_ = std::move(completion);
}

void ZUVAsyncOperation::unlockedMarkStarted() {
    changeValueForKey("isExecuting", [this] { internalExecuting_ = true; });
}

void ZUVAsyncOperation::unlockedMarkComplete() {
    changeValueForKey("isExecuting", [this] { internalExecuting_ = false; });
}

void ZUVAsyncOperation::unlockedMarkFinished() {
    changeValueForKey("isFinished", [this] { internalFinished_ = true; });
}

// ---- compound operation ----

std::shared_ptr<ZUVCompoundOperation> ZUVCompoundOperation::create() {
    return std::make_shared<ZUVCompoundOperation>();
}

ZUVCompoundOperation::ZUVCompoundOperation()
    : ZUVAsyncOperation("ZUVCompoundOperation"), compoundQueue_(plat::OperationQueue::create()),
      countingQueue_(plat::DispatchQueue::makeSerial(kCountingQueueLabel)) {}

std::vector<std::shared_ptr<ZUVAsyncOperation>> ZUVCompoundOperation::operations() const {
    std::lock_guard guard(operationsMutex_);
    return operations_;
}

void ZUVCompoundOperation::setOperations(std::vector<std::shared_ptr<ZUVAsyncOperation>> operations) {
    std::lock_guard guard(operationsMutex_);
    operations_ = std::move(operations);
}

// The compound completion runs on the counting queue, and may read these there.
uint64_t ZUVCompoundOperation::completedOperations() const {
    if (countingQueue_->isCurrent())
        return completedOperations_;
    return countingQueue_->sync([this] { return completedOperations_; });
}

std::vector<plat::Error> ZUVCompoundOperation::errors() const {
    if (countingQueue_->isCurrent())
        return errors_;
    return countingQueue_->sync([this] { return errors_; });
}

std::vector<plat::Error> ZUVCompoundOperation::underlyingErrors(const plat::Error& error) {
    std::vector<plat::Error> out;
    const plat::Value* list = error.userInfoValue(kUnderlyingErrorsKey);
    if (!list || !list->ifArray())
        return out;
    for (const auto& item : *list->ifArray()) {
        const plat::Dictionary* d = item.ifDictionary();
        if (!d)
            continue;
        const plat::Value* domain = d->find("domain");
        const plat::Value* code = d->find("code");
        const plat::Value* info = d->find("userInfo");
        out.emplace_back(domain ? domain->stringValue() : std::string(), code ? code->integerValue() : 0,
                         info && info->ifDictionary() ? *info->ifDictionary() : plat::Dictionary{});
    }
    return out;
}

std::weak_ptr<ZUVCompoundOperation> ZUVCompoundOperation::weakSelf() {
    return std::static_pointer_cast<ZUVCompoundOperation>(shared_from_this());
}

void ZUVCompoundOperation::main() {
    const auto subs = operations();
    if (subs.empty()) {
        // Nothing would ever attempt the completion: finish now, successfully.
        countingQueue_->sync([this] { attemptCompoundCompletionOnCountingQueue(); });
        return;
    }
    for (const auto& op : subs) {
        injectCompoundAsyncCompletionInOperation(op);
        injectCompoundSyncCompletionInOperation(op);
        compoundQueue_->addOperation(op);
    }
}

void ZUVCompoundOperation::cancel() {
    if (compoundQueue_->operationCount() > 0) {
        compoundQueue_->cancelAllOperations();
        // The attempt comes before this operation counts as cancelled, so it completes only when every
        // sub-operation was counted. Both run as one step on the counting queue: a sub-operation's attempt
        // in between would see neither full counts nor the cancellation, and nothing would complete.
        countingQueue_->sync([this] {
            attemptCompoundCompletionOnCountingQueue();
            plat::Operation::cancel();
        });
        return;
    }
    const auto subs = operations();
    for (const auto& op : subs)
        op->cancel();
    std::vector<plat::OperationPtr> ops(subs.begin(), subs.end());
    plat::Operation::cancel();
    // Sub-operations already handed to the queue (all of them finished) cannot be added again.
    std::vector<plat::OperationPtr> fresh;
    for (const auto& op : ops)
        if (!op->isFinished() && !op->isExecuting())
            fresh.push_back(op);
    if (!fresh.empty())
        compoundQueue_->addOperations(fresh, false);
}

void ZUVCompoundOperation::injectCompoundAsyncCompletionInOperation(const std::shared_ptr<ZUVAsyncOperation>& operation) {
    auto previous = operation->asyncCompletion();
    std::weak_ptr<ZUVCompoundOperation> weak = weakSelf();
    operation->setAsyncCompletion([weak, previous](const std::optional<plat::Error>& error) {
        auto self = weak.lock();
        if (!self)
            return;
        if (previous)
            self->countingQueue_->sync([&] { previous(error); });
        self->updateCompletionCountsWithError(error);
    });
}

void ZUVCompoundOperation::injectCompoundSyncCompletionInOperation(const std::shared_ptr<ZUVAsyncOperation>& operation) {
    auto previous = operation->completionBlock();
    std::weak_ptr<ZUVCompoundOperation> weak = weakSelf();
    operation->setCompletionBlock([weak, previous] {
        auto self = weak.lock();
        if (!self)
            return;
        if (previous)
            self->countingQueue_->sync([&] { previous(); });
        self->attemptCompoundCompletion();
    });
}

void ZUVCompoundOperation::updateCompletionCountsWithError(const std::optional<plat::Error>& error) {
    countingQueue_->sync([&] {
        if (error)
            errors_.push_back(*error);
        else
            ++completedOperations_;
    });
}

void ZUVCompoundOperation::attemptCompoundCompletion() {
    countingQueue_->sync([this] { attemptCompoundCompletionOnCountingQueue(); });
}

void ZUVCompoundOperation::attemptCompoundCompletionOnCountingQueue() {
    // Completion blocks run on a global queue, so two attempts can both see full counts: the completion
    // is delivered once, later attempts only mark the operation done.
    if (compoundCompleted_) {
        markDone();
        return;
    }
    if (isCancelled()) {
        compoundCompleted_ = true;
        plat::Dictionary info{{plat::NSLocalizedDescriptionKey, plat::Value(name() + " cancelled")}};
        finishWithError(plat::Error(kErrorDomain, kCancelledErrorCode, std::move(info)));
        // Later attempts (one per remaining sub-operation) only mark the operation done again.
        setAsyncCompletion(nullptr);
        return;
    }
    if (completedOperations_ + errors_.size() != operations().size())
        return;
    compoundCompleted_ = true;
    if (errors_.empty()) {
        finishWithError(std::nullopt);
        return;
    }
    plat::Array list;
    for (const auto& e : errors_)
        list.push_back(compoundErrorAsValue(e));
    finishWithError(plat::Error(kErrorDomain, kFailedErrorCode, plat::Dictionary{{kUnderlyingErrorsKey, plat::Value(std::move(list))}}));
}

// The controller's purchase de-duplication: a purchase whose fingerprint is already stored is left out, so
// that one purchase is reported once; a fingerprint whose purchase was not reported after all is forgotten.

#include "measurement/engine/DMSInAppPurchase.hpp"
#include "measurement/engine/DMSMeasurement.hpp"
#include "measurement/engine/DMSMonitor.hpp"
#include "measurement/engine/DMSRemoteConfig.hpp"
#include "measurement/engine/DMSScheduler.hpp"
#include "measurement/storage/DMSDatabase.hpp"

void DMSMeasurement::filterPurchaseTransactions(const std::vector<plat::SKPaymentTransaction>& transactions,
                                                PurchaseTransactionsCallback callback) {
    if (!callback) {
        return;
    }
    scheduler().scheduleOnWorkerQueueBlockID("DMSMeasurement:3982", [this, transactions, callback] {
        auto answer = [callback](std::vector<plat::SKPaymentTransaction> filtered) {
            plat::DispatchQueue::global(plat::QueuePriority::defaultPriority)
                ->async([callback, filtered = std::move(filtered)] { callback(filtered); });
        };
        if (!remoteConfig().dedupePurchasesEnabled()) {
            answer(transactions);
            return;
        }
        auto& log = monitor();
        std::vector<plat::SKPaymentTransaction> filtered;
        for (const auto& transaction : transactions) {
            if (transaction.transactionState != plat::SKPaymentTransactionState::purchased) {
                continue;
            }
            const std::string& productID = transaction.payment.productIdentifier;
            auto fingerprint = DMSInAppPurchaseTransactionReporter::transactionFingerprint(&transaction);
            if (!fingerprint || fingerprint->empty()) {
                log.logWithLevel(1, 23139,
                                 "Purchase has nil or empty fingerprint. Purchase will not be checked for duplicates. "
                                 "Product ID",
                                 productID);
                filtered.push_back(transaction);
                continue;
            }
            plat::Error error;
            std::optional<bool> fresh =
                database() ? database()->insertIfNotDuplicatePurchaseFingerprint(*fingerprint, &error) : std::nullopt;
            if (!fresh) {
                log.logWithLevel(1, 23140,
                                 "Failed to save purchase fingerprint. Purchase will not be checked for duplicates. "
                                 "Product ID, error",
                                 productID, error);
                filtered.push_back(transaction);
            } else if (*fresh) {
                filtered.push_back(transaction);
            } else {
                log.logWithLevel(4, 23141, "Purchase is a duplicate and will not be reported. Product ID", productID);
            }
        }
        answer(std::move(filtered));
    });
}

void DMSMeasurement::forgetPurchaseFingerprints(std::vector<std::string> fingerprints) {
    scheduler().scheduleOnWorkerQueueBlockID("DMSMeasurement:purchases", [this, fingerprints] {
        if (!database()) {
            return;
        }
        for (const auto& fingerprint : fingerprints) {
            plat::Error error;
            if (!database()->deletePurchaseFingerprint(fingerprint, &error)) {
                monitor().logWithLevel(1, 23140, "Failed to save purchase fingerprint. Purchase will not be checked "
                                                 "for duplicates. Product ID, error",
                                       fingerprint, error);
            }
        }
    });
}

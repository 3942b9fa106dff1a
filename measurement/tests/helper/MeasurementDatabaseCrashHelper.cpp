// Writes raw-event rows into the measurement database in transactions of 20 rows, forever, printing
// "committed n" after each commit; a suite kills it at random moments and checks what the file kept.
//
// measurement-database-crash-helper HOME ROUND

#include "measurement/storage/DMSDatabase.hpp"
#include "platform/dispatch/Backend.hpp"
#include "platform/foundation/AppHome.hpp"

#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: measurement-database-crash-helper HOME ROUND\n");
        return 2;
    }
    plat::Backend::select(plat::BackendKind::virtualTime);
    plat::AppHome::configure(argv[1]);
    if (auto created = plat::AppHome::createFolders(); !created) {
        std::fprintf(stderr, "measurement-database-crash-helper: %s\n", created.error().description().c_str());
        return 1;
    }
    auto database = DMSDatabase::initWithDatabaseName(DMSDatabase::kDatabaseName, nullptr);
    if (!database) {
        std::fprintf(stderr, "measurement-database-crash-helper: no database\n");
        return 1;
    }
    int64_t round = std::atoll(argv[2]);
    plat::Data payload(200, 0x5a);
    for (int64_t n = 1; n < 1000000; ++n) {
        int64_t fingerprint = round * 1000000 + n;
        bool committed = database->performTransaction([&] {
            for (int row = 0; row < 20; ++row) {
                if (!database->sqliteStore()->upsertRecord({{"name", "e"},
                                                            {"timestamp", 1.0 * row},
                                                            {"metadata_fingerprint", fingerprint},
                                                            {"data", payload},
                                                            {"is_realtime", 0}},
                                                           "raw_events", nullptr)) {
                    return false;
                }
            }
            return true;
        });
        if (!committed) {
            return 1;
        }
        std::printf("committed %lld\n", static_cast<long long>(fingerprint));
        std::fflush(stdout);
    }
    return 0;
}

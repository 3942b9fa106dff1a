// Audiences end to end on the scripted network: a fetched configuration's audience is stored as filters, a
// matching event is evaluated while it is bundled, and the uploaded bundles carry the audience's results.

#include "measurement/audiences/DMSAudienceResultData.hpp"
#include "measurement/tests/AudienceTestMessages.hpp"
#include "measurement/tests/MeasurementUploadFixture.hpp"

#include <gtest/gtest.h>

namespace {

using namespace dms::test;
using B = DMSPBMeasurementBundle;

// One audience: "purchase" with "value" above 10.
std::string audienceUploadConfigBody() {
    DMSMeasurementConfigFields fields;
    fields.version = 8;
    fields.appID = kEngineAppID;
    auto config = DMSPBMeasurementConfigFromFields(fields);
    auto audience = audienceMessage(
        31, {eventFilter(2, "purchase", {valueFilter(numberFilter(2, "10"), nullptr, "value")})});
    NANOSetArray(config, DMSPBMeasurementConfig::kAudiences, plat::Array{audienceObject(audience)});
    auto bytes = config->protoBuffer().value_or(plat::Data());
    return std::string(bytes.begin(), bytes.end());
}

class DMSAudienceUploadTest : public UploadFixture {
protected:
    void SetUp() override {
        UploadFixture::SetUp();
        configReplies.clear();
        configReplies.push_back(configReply(200, audienceUploadConfigBody(), "Mon, 01 Jan 2024 10:00:00 GMT"));
    }
    // Lets time pass in steps until the given number of batches went up (at most a day).
    void waitForUploads(size_t count) {
        for (int step = 0; step < 24 * 12 && requests("POST").size() < count; ++step) {
            advance(300);
        }
        ASSERT_GE(requests("POST").size(), count);
    }
    static std::vector<std::shared_ptr<DMSPBAudienceLeafFilterResult>> leaves(const UploadedBundle& bundle) {
        std::vector<std::shared_ptr<DMSPBAudienceLeafFilterResult>> out;
        auto list = NANOGetArray(bundle.message, B::kAudienceEvaluationResults,
                                 &DMSPBAudienceLeafFilterResult::messageClass());
        for (const auto& value : list.value_or(plat::Array())) {
            out.push_back(std::static_pointer_cast<DMSPBAudienceLeafFilterResult>(value.asObject()));
        }
        return out;
    }
};

TEST_F(DMSAudienceUploadTest, AFetchedAudienceLeadsToItsResultsInTheNextUploadedBundle) {
    batchReplies.push_back(plat::ScriptedReply::text(204, ""));
    start();
    waitForUploads(1);
    // The configuration came first; nothing evaluated any audience yet.
    const auto first = uploads();
    for (const auto& bundle : first[0]) {
        EXPECT_TRUE(leaves(bundle).empty());
    }
    EXPECT_EQ(onWorker([] { return controller().database()->allAudienceIDs(nullptr).value_or(std::vector<int32_t>()); }),
              (std::vector<int32_t>{31}));
    // The stored configuration keeps no audiences: they live in the filter tables only.
    auto storedConfig = onWorker([] { return controller().database()->queryMeasurementConfigWithError(nullptr); });
    ASSERT_TRUE(storedConfig);
    EXPECT_EQ(NANOGetInt64(storedConfig, DMSPBMeasurementConfig::kVersion), 8);
    EXPECT_TRUE(NANOGetArray(storedConfig, DMSPBMeasurementConfig::kAudiences, &DMSPBAudience::messageClass()).value_or(plat::Array()).empty());

    DMSAnalytics::logEventWithName("purchase", plat::Dictionary{{"value", plat::Value(int64_t{20})}});
    settle();
    waitForUploads(2);
    const auto batches = uploads();
    std::vector<std::shared_ptr<DMSPBAudienceLeafFilterResult>> found;
    for (const auto& bundle : batches[1]) {
        for (auto& leaf : leaves(bundle)) {
            found.push_back(leaf);
        }
    }
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(NANOGetInt32(found[0], DMSPBAudienceLeafFilterResult::kAudienceID), 31);
    EXPECT_TRUE(NANOGetBool(found[0], DMSPBAudienceLeafFilterResult::kNewAudience));
    auto current = NANOGetMessage<DMSPBResultData>(found[0], DMSPBAudienceLeafFilterResult::kCurrentResults);
    EXPECT_EQ(DMSAudienceResultData::words(current, DMSPBResultData::kStatus), (std::vector<uint64_t>{4}));
    EXPECT_EQ(DMSAudienceResultData::words(current, DMSPBResultData::kResults), (std::vector<uint64_t>{4}));
}

} // namespace

#include "storage/pending_enrichments.h"

#include <gtest/gtest.h>

#include <fstream>

#include "support/temp_home.h"

namespace lumidex::storage {
namespace {

using lumidex::testing::TempDir;

// The enrichment pass follows what the marker says; a marker it cannot follow must read as no plan (the
// document is then read again), never as a plan with other pages.
TEST(PendingEnrichmentsTest, MarkerKeepsItsPlanAndAnUnreadableOneHasNone) {
    TempDir dir;
    const PendingEnrichments pending(dir.path());
    const EnrichmentPlan plan{{0, 7, 40}, "ab12 5120 extract.pdf pdf full all ocr pages later 1048576"};
    ASSERT_TRUE(pending.add(11, plan));
    EXPECT_EQ(pending.plan(11), plan);
    EXPECT_TRUE(pending.contains(11));

    // A key that would break the line format is left out, not cut.
    ASSERT_TRUE(pending.add(12, EnrichmentPlan{{1}, "key\nwith a break"}));
    EXPECT_EQ(pending.plan(12), (EnrichmentPlan{{1}, ""}));

    ASSERT_TRUE(pending.add(13));  // made without a plan
    EXPECT_EQ(pending.plan(13), std::nullopt);
    EXPECT_EQ(pending.plan(14), std::nullopt);  // none there
    for (const char* damaged : {"pages\nkey x\n", "pages 3 x\nkey \n", "pages -1\nkey \n", "pages 3\n", "5"}) {
        std::ofstream(dir.path() / "enrichment_pending" / "15", std::ios::trunc) << damaged;
        EXPECT_EQ(pending.plan(15), std::nullopt) << damaged;
    }
}

}  // namespace
}  // namespace lumidex::storage

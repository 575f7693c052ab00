#include <gtest/gtest.h>

#include "search/transcript_search.h"
#include "storage/fts_tools.h"
#include "storage/ocr_rects_balancer.h"
#include "support/temp_home.h"

namespace lumidex::search {
namespace {

OcrRect line(uint32_t hash, int64_t page, const std::string& text) {
    OcrRect r;
    r.combinedHash = hash;
    r.pageIndex = page;
    r.ocrContent = storage::FtsTools::fold(text);
    r.p1x = 1;
    r.p2x = 1;
    r.p2y = 1;
    r.p3y = 1;
    return r;
}

TEST(TranscriptSearch, KeepsTheLinesContainingTheFoldedTermPageByPage) {
    lumidex::testing::TempDir dir;
    storage::SqliteOcrRectsDatabaseBalancer rects(dir.path());
    ASSERT_TRUE(rects.createOcrRectItem({line(41, 1, "Summe der Rechnung"), line(41, 0, "RECHNUNG Nr. 7"),
                                         line(41, 0, "Datum"), line(41, 0, "Rechnungsbetrag: 100 €"),
                                         line(61, 0, "Rechnung of another document")}));
    TranscriptSearchResultsManager manager(rects);

    const auto found = manager.results(41, "  Rechnung ");
    ASSERT_EQ(found.size(), 3u);
    EXPECT_EQ(found[0].pageIndex, 0);
    EXPECT_EQ(found[0].stringContent, "rechnung nr. 7");
    EXPECT_EQ(found[0].resultsCountPerPage, 2);
    EXPECT_EQ(found[1].stringContent, "rechnungsbetrag: 100  ");
    EXPECT_EQ(found[2].pageIndex, 1);
    EXPECT_EQ(found[2].resultsCountPerPage, 1);

    // Rows are numbered in the order they were stored: page 1's line went in first.
    EXPECT_EQ(found[2].dbId, 1);
    EXPECT_EQ(found[0].dbId, 2);
    EXPECT_EQ(found[1].dbId, 4);
    const auto stored = rects.ocrRects(41, 0);
    ASSERT_EQ(stored.size(), 3u);
    EXPECT_EQ(found[0].id, stored[0].id);

    EXPECT_EQ(manager.results(41, "Straße").size(), 0u);
    EXPECT_TRUE(manager.results(41, "").empty());
    EXPECT_TRUE(manager.results(41, "   ").empty());
    EXPECT_TRUE(manager.results(999, "rechnung").empty());
    EXPECT_EQ(manager.results(41, "RECHNUNGSBETRAG").size(), 1u);
}

TEST(TranscriptSearch, UmlautsMatchTheirFoldedSpelling) {
    std::vector<OcrRect> rects = {line(1, 0, "Herr Müller"), line(1, 2, "Strasse 5")};
    EXPECT_EQ(TranscriptSearchResultsManager::matching(rects, "mueller").size(), 1u);
    EXPECT_EQ(TranscriptSearchResultsManager::matching(rects, "MÜLLER").size(), 1u);
    EXPECT_EQ(TranscriptSearchResultsManager::matching(rects, "Straße").size(), 1u);
}

TEST(TranscriptSearch, WordsWithApostrophesMatchInEveryForm) {
    std::vector<OcrRect> rects = {line(1, 0, "Madame l\xE2\x80\x99" "aubergine O'Brien"), line(1, 1, "obrien")};
    rects[1].ocrContent = "obrien";  // as stored before both forms were kept
    EXPECT_EQ(TranscriptSearchResultsManager::matching(rects, "O\xE2\x80\x99" "Brien").size(), 2u);
    EXPECT_EQ(TranscriptSearchResultsManager::matching(rects, "madame l'aubergine").size(), 1u);
    EXPECT_EQ(TranscriptSearchResultsManager::matching(rects, "aubergine").size(), 1u);
    EXPECT_TRUE(TranscriptSearchResultsManager::matching(rects, "'''").empty());
}

}  // namespace
}  // namespace lumidex::search

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <unordered_set>

#include "core/model/date.h"
#include "core/model/enums.h"
#include "core/model/json_coding.h"
#include "core/model/nan_item.h"
#include "core/model/ocr_rect.h"
#include "core/model/search_parameters.h"

namespace lumidex {
namespace {

TEST(ModelEnums, ProcessingStateRawValues) {
    for (int64_t raw : {1, 3, 4, 5, 6, 7, 8, 9, 10, 11, 13, 14}) {
        const auto state = processingStateFromRaw(raw);
        ASSERT_TRUE(state.has_value()) << raw;
        EXPECT_EQ(rawValue(*state), raw);
    }
    for (int64_t raw : {-1, 0, 2, 12, 15, 16, 100}) EXPECT_FALSE(processingStateFromRaw(raw).has_value()) << raw;
    EXPECT_EQ(processingStateFromRaw(13), NanItemProcessingStates::downloaded);
    EXPECT_EQ(name(NanItemProcessingStates::downloaded), "downloaded");

    int finals = 0;
    for (int64_t raw = 0; raw < 16; ++raw) {
        if (auto s = processingStateFromRaw(raw); s && isFinal(*s)) ++finals;
    }
    EXPECT_EQ(finals, 5);
    EXPECT_TRUE(isFinal(NanItemProcessingStates::cloudFailed));
    EXPECT_FALSE(isFinal(NanItemProcessingStates::readyForProcessing));
    EXPECT_FALSE(isFinal(NanItemProcessingStates::downloaded));
}

TEST(ModelEnums, StringRawValues) {
    for (SortOrders s : {SortOrders::a2z, SortOrders::z2a, SortOrders::new2Old, SortOrders::old2New, SortOrders::relevance}) {
        EXPECT_EQ(sortOrderFromRaw(rawValue(s)), s);
    }
    EXPECT_EQ(rawValue(SortOrders::new2Old), "new2Old");
    EXPECT_FALSE(sortOrderFromRaw("New2Old").has_value());
    EXPECT_FALSE(sortOrderFromRaw("").has_value());

    EXPECT_EQ(rawValue(OcrTextFileUrlTypes::firstThirdFirstPage), "first_third_page");
    EXPECT_EQ(rawValue(OcrTextFileUrlTypes::aiStructuredDocument), "ai_document_structured");
    EXPECT_EQ(ocrTextFileUrlTypeFromRaw("sorted_all_pages"), OcrTextFileUrlTypes::sortedAllPages);
    EXPECT_FALSE(ocrTextFileUrlTypeFromRaw("sorted_all_pages.json").has_value());
}

TEST(ModelEnums, HistoryItemSyncTypeRawValues) {
    EXPECT_EQ(historyItemSyncTypeFromRaw(0), HistoryItemSyncTypes::notDefined);
    EXPECT_EQ(historyItemSyncTypeFromRaw(11), HistoryItemSyncTypes::case3);
    EXPECT_FALSE(historyItemSyncTypeFromRaw(12).has_value());
    EXPECT_FALSE(historyItemSyncTypeFromRaw(-1).has_value());
}

TEST(ModelValues, NanItemIdentityIsIdAndPath) {
    NanItem a;
    a.id = Uuid::nameBased("/docs/a.pdf");
    a.urlString = "/docs/a.pdf";
    a.processingState = NanItemProcessingStates::readyForProcessing;
    NanItem b = a;
    b.processingState = NanItemProcessingStates::complete;
    b.fileModifiedDate = dateFromSecondsSince1970(12345);
    b.combinedHash = 99;
    b.mailbox = "INBOX";
    EXPECT_EQ(a, b);
    EXPECT_EQ(std::hash<NanItem>{}(a), std::hash<NanItem>{}(b));

    std::unordered_set<NanItem> set{a, b};
    EXPECT_EQ(set.size(), 1u);
    NanItem c = a;
    c.urlString = "/docs/b.pdf";
    NanItem d = a;
    d.id = Uuid::random();
    set.insert(c);
    set.insert(d);
    EXPECT_EQ(set.size(), 3u);
}

TEST(ModelValues, OcrRectAndSearchParametersAreMemberWise) {
    OcrRect r;
    r.ocrContent = "Rechnung";
    r.p2y = 0.5;
    OcrRect s = r;
    EXPECT_EQ(r, s);
    EXPECT_EQ(std::hash<OcrRect>{}(r), std::hash<OcrRect>{}(s));
    s.p3x = 0.25;
    EXPECT_NE(r, s);

    SearchParameters p;
    EXPECT_EQ(p.dateSearchParameter.rawValue, 7);
    EXPECT_EQ(p.sortOrder, SortOrders::new2Old);
    EXPECT_EQ(p.minSearchCharCount, 3);
    EXPECT_TRUE(p.fuzzySearch);
    EXPECT_FALSE(p.searchWithQuotes);
    SearchParameters q = p;
    q.rootFolderUrlStrings = {"/b", "/a"};
    p.rootFolderUrlStrings = {"/a", "/b"};
    EXPECT_EQ(p, q);
    EXPECT_EQ(std::hash<SearchParameters>{}(p), std::hash<SearchParameters>{}(q));
    q.endDate = dateFromSecondsSince1970(0);
    EXPECT_NE(p, q);
}

TEST(ModelDate, Iso8601) {
    EXPECT_EQ(iso8601String(dateFromSecondsSince1970(0)), "1970-01-01T00:00:00Z");
    EXPECT_EQ(iso8601String(dateFromSecondsSince1970(1714566605.25), true), "2024-05-01T12:30:05.250Z");
    EXPECT_EQ(iso8601String(dateFromSecondsSince1970(-1)), "1969-12-31T23:59:59Z");
    EXPECT_EQ(iso8601String(dateFromSecondsSince1970(std::nan(""))), "1970-01-01T00:00:00Z");

    EXPECT_EQ(parseIso8601("2024-05-01T12:30:05Z"), dateFromSecondsSince1970(1714566605));
    EXPECT_EQ(parseIso8601("2024-05-01T14:30:05+02:00"), dateFromSecondsSince1970(1714566605));
    EXPECT_EQ(parseIso8601("2024-05-01T12:30:05.5Z"), dateFromSecondsSince1970(1714566605.5));
    for (const char* bad : {"", "2024-05-01", "2024-05-01T12:30:05", "2024-02-30T00:00:00Z", "2024-05-01T12:30:05Zx",
                            "2024-05-01T25:00:00Z", "2024-05-01T12:30:05.Z"}) {
        EXPECT_FALSE(parseIso8601(bad).has_value()) << bad;
    }
}

HistoryItem sampleHistoryItem() {
    HistoryItem h;
    h.id = *Uuid::parse("E621E1F8-C36C-495A-93FC-0C247A3E6E5F");
    h.uuid = Uuid::nameBased("/x");
    h.dbId = 42;
    h.creationDate = dateFromSecondsSince1970(1700000000.5);
    h.clientIdentifier = "phone-1";
    h.encryptionKey = "k";
    h.relativeLocalUrl = "Scans/Rechnung \xC3\x84.pdf";
    h.isDirectory = false;
    h.pageGroupId = 7;
    h.totalPageCount = 3;
    h.pageIndex = 2;
    h.isDeleted = true;
    h.fileModifiedDate = dateFromSecondsSince1970(1);
    h.fileCreatedDate = dateFromSecondsSince1970(2);
    h.fileContentCreatedDate = dateFromSecondsSince1970(-3);
    h.fileSize = 5000000000;
    h.fileData = std::vector<uint8_t>{0x00, 0xFF, 0x10, 0x80};
    h.editModeActive = true;
    h.historyItemSyncType = HistoryItemSyncTypes::uploadSuccess;
    return h;
}

TEST(ModelJson, HistoryItemRoundTripWithExactKeys) {
    const HistoryItem h = sampleHistoryItem();
    const std::string text = toJson(h);
    const nlohmann::json j = nlohmann::json::parse(text);
    EXPECT_EQ(j.at("id"), "E621E1F8-C36C-495A-93FC-0C247A3E6E5F");
    EXPECT_EQ(j.at("historyItemSyncType"), 8);
    EXPECT_EQ(j.at("fileData"), "AP8QgA==");
    EXPECT_EQ(j.at("creationDate"), 1700000000.5);
    EXPECT_FALSE(j.contains("relativeSearchableFolderItemUrl"));
    std::set<std::string> keys;
    for (const auto& [key, value] : j.items()) keys.insert(key);
    EXPECT_EQ(keys, (std::set<std::string>{"id", "uuid", "dbId", "creationDate", "clientIdentifier", "encryptionKey",
                                          "relativeLocalUrl", "isDirectory", "pageGroupId", "totalPageCount",
                                          "pageIndex", "isDeleted", "fileModifiedDate", "fileCreatedDate",
                                          "fileContentCreatedDate", "fileSize", "fileData", "editModeActive",
                                          "historyItemSyncType"}));
    EXPECT_EQ(historyItemFromJson(text), h);

    HistoryItem bare = h;
    bare.fileData.reset();
    bare.relativeLocalUrl.reset();
    EXPECT_EQ(historyItemFromJson(toJson(bare)), bare);
}

TEST(ModelJson, HistoryItemDecodingFailures) {
    nlohmann::json j = nlohmann::json::parse(toJson(sampleHistoryItem()));
    const auto decodes = [](const nlohmann::json& v) { return historyItemFromJson(v.dump()).has_value(); };

    nlohmann::json nulls = j;
    nulls["relativeLocalUrl"] = nullptr;
    nulls["fileData"] = nullptr;
    EXPECT_TRUE(decodes(nulls));
    nlohmann::json lowerCaseId = j;
    lowerCaseId["id"] = "e621e1f8-c36c-495a-93fc-0c247a3e6e5f";
    EXPECT_TRUE(decodes(lowerCaseId));

    for (int64_t raw : {12, 13, -1}) {
        nlohmann::json v = j;
        v["historyItemSyncType"] = raw;
        EXPECT_FALSE(decodes(v)) << raw;
    }
    nlohmann::json v = j;
    v.erase("dbId");
    EXPECT_FALSE(decodes(v));
    v = j;
    v["fileSize"] = 1.5;
    EXPECT_FALSE(decodes(v));
    v = j;
    v["isDeleted"] = 1;
    EXPECT_FALSE(decodes(v));
    v = j;
    v["uuid"] = "not-a-uuid";
    EXPECT_FALSE(decodes(v));
    v = j;
    v["fileData"] = "AP8Q*A==";
    EXPECT_FALSE(decodes(v));
    EXPECT_FALSE(historyItemFromJson("[1,2]").has_value());
    EXPECT_FALSE(historyItemFromJson("{").has_value());
}

TEST(ModelJson, FileStructureItemRoundTripWithExactKeys) {
    FileStructureItem f;
    f.id = Uuid::random();
    f.isFile = true;
    f.url = "/home/a/Docs/Brief.pdf";
    f.creationDate = dateFromSecondsSince1970(10.25);
    f.modificationDate = dateFromSecondsSince1970(20);
    f.fileSize = 1234;
    f.hasContent = true;
    f.serverFileId = 77;
    const std::string text = toJson(f);
    const nlohmann::json j = nlohmann::json::parse(text);
    std::set<std::string> keys;
    for (const auto& [key, value] : j.items()) keys.insert(key);
    EXPECT_EQ(keys, (std::set<std::string>{"id", "isFile", "url", "creationDate", "modificationDate", "fileSize",
                                          "inSyncWithServer", "hasContent", "serverFileId"}));
    EXPECT_EQ(j.at("url"), "/home/a/Docs/Brief.pdf");
    EXPECT_EQ(fileStructureItemFromJson(text), f);

    f.serverFileId.reset();
    EXPECT_FALSE(nlohmann::json::parse(toJson(f)).contains("serverFileId"));
    EXPECT_EQ(fileStructureItemFromJson(toJson(f)), f);

    // Usable inside larger documents through the nlohmann adapters.
    const nlohmann::json list = std::vector<FileStructureItem>{f, f};
    EXPECT_EQ(list.get<std::vector<FileStructureItem>>().size(), 2u);
}

TEST(ModelJson, Base64) {
    EXPECT_EQ(base64Encode({}), "");
    EXPECT_EQ(base64Encode({'f'}), "Zg==");
    EXPECT_EQ(base64Encode({'f', 'o'}), "Zm8=");
    EXPECT_EQ(base64Encode({'f', 'o', 'o'}), "Zm9v");
    EXPECT_EQ(base64Decode("Zm8="), (std::vector<uint8_t>{'f', 'o'}));
    EXPECT_EQ(base64Decode("Zm8"), (std::vector<uint8_t>{'f', 'o'}));
    EXPECT_EQ(base64Decode(""), std::vector<uint8_t>{});
    for (const char* bad : {"Z", "Zm9=", "Zg=", "====", "Zm 8=", "Zm8==="}) EXPECT_FALSE(base64Decode(bad).has_value()) << bad;
}

}  // namespace
}  // namespace lumidex

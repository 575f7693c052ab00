#include <gtest/gtest.h>

#include <chrono>

#include "search/duplicates.h"
#include "search/duplicates_scan_view_model.h"
#include "search_test_support.h"

namespace lumidex::search {
namespace {

using namespace std::chrono_literals;
using testing::ManualScheduler;
using testing::StorageFolderIndex;
using Types = DuplicateItemViewModelTypes;

NanItem doc(std::string name, uint32_t contentHash, double modified) {
    NanItem item;
    item.urlString = "/docs/" + name;
    item.fileName = name;
    item.id = Uuid::nameBased(item.urlString);
    item.contentHash = contentHash;
    item.fileModifiedDate = dateFromSecondsSince1970(modified);
    return item;
}

// A clock that moves one second each time it is read.
DuplicatesProducerClock steppingClock() {
    auto t = std::make_shared<std::chrono::steady_clock::time_point>();
    return {[t] { return *t += 1s; }};
}

TEST(Duplicates, ProducerHandsOverAtMostEveryThreeSecondsAndSkipsHashZero) {
    std::vector<NanItem> items;
    for (int i = 0; i < 10; ++i) items.push_back(doc("d" + std::to_string(i), i % 2 == 0 ? 0 : 7, i));
    std::vector<DuplicateGroups> handed;
    EXPECT_TRUE(produceDuplicateGroups(items, steppingClock(), CancellationToken(),
                                       [&](DuplicateGroups g) { handed.push_back(std::move(g)); }));
    // Start at t=1; items read the clock at t=2..11: hand-overs at t=4, 7, 10, then the rest.
    ASSERT_EQ(handed.size(), 4u);
    size_t total = 0;
    for (const DuplicateGroups& g : handed) {
        EXPECT_FALSE(g.contains(0));
        for (const auto& [hash, docs] : g) total += docs.size();
    }
    EXPECT_EQ(total, 5u);

    DuplicateGroups merged;
    for (DuplicateGroups& g : handed) mergeDuplicateGroups(merged, std::move(g));
    EXPECT_EQ(merged.at(7).size(), 5u);
}

TEST(Duplicates, ProducerStopsWithoutTheFinalHandOverWhenCancelled) {
    CancellationToken token;
    int calls = 0;
    const std::vector<NanItem> items = {doc("a", 5, 1), doc("b", 5, 2)};
    EXPECT_TRUE(produceDuplicateGroups(items, {[] { return std::chrono::steady_clock::time_point(); }}, token,
                                       [&](DuplicateGroups) { ++calls; }));
    EXPECT_EQ(calls, 1);
    token.cancel();
    EXPECT_FALSE(produceDuplicateGroups(items, steppingClock(), token, [&](DuplicateGroups) { ++calls; }));
    EXPECT_EQ(calls, 1);
}

TEST(Duplicates, RowsListGroupsOfTwoOrMoreOldestFirst) {
    DuplicateGroups groups;
    groups[42] = {doc("new", 42, 300), doc("old", 42, 100), doc("mid", 42, 200)};
    groups[9] = {doc("alone", 9, 50)};
    groups[0] = {doc("blank1", 0, 1), doc("blank2", 0, 2)};
    groups[11] = {doc("x2", 11, 20), doc("x1", 11, 10)};

    const auto rows = duplicateRows(groups);
    std::vector<std::pair<Types, std::string>> shape;
    for (const auto& row : rows) shape.emplace_back(row.type, row.nanItem ? row.nanItem->fileName : "");
    const std::vector<std::pair<Types, std::string>> expected = {
        {Types::header, ""},  {Types::duplicate, "x1"},  {Types::duplicate, "x2"},  {Types::seperator, ""},
        {Types::header, ""},  {Types::duplicate, "old"}, {Types::duplicate, "mid"}, {Types::duplicate, "new"},
        {Types::seperator, ""}};
    EXPECT_EQ(shape, expected);
    EXPECT_EQ(rows[0].groupId, 11u);
    EXPECT_EQ(rows[4].groupId, 42u);
    EXPECT_EQ(rows[5].modificationDate, dateFromSecondsSince1970(100));
    EXPECT_EQ(duplicateGroupCount(groups), 2u);

    // Row ids stay the same when the rows are rebuilt with more documents.
    groups[42].push_back(doc("newest", 42, 400));
    const auto rebuilt = duplicateRows(groups);
    EXPECT_EQ(rebuilt[4].id, rows[4].id);
    EXPECT_EQ(rebuilt[5].id, rows[5].id);
    EXPECT_NE(rows[4].id, rows[8].id);
}

struct DuplicatesScan : ::testing::Test {
    ManualScheduler scheduler;
    std::shared_ptr<StorageFolderIndex> folder = std::make_shared<StorageFolderIndex>("Scans");
    int changes = 0;
};

TEST_F(DuplicatesScan, FindsDocumentsWithTheSameTextThroughTheItemTables) {
    folder->add({"a.pdf", "same text", 300, 1, 0xABCD});
    folder->add({"copy/a.pdf", "same text", 100, 1, 0xABCD});
    folder->add({"blank1.png", "", 100, 1, 0});
    folder->add({"blank2.png", "", 100, 1, 0});
    folder->add({"other.txt", "different", 100, 1, 0x1234});

    DuplicatesScanViewModel model(folder, scheduler);
    model.setOnChange([&] { ++changes; });
    EXPECT_EQ(model.rootFolderUrl(), folder->rootPath());
    model.start();
    EXPECT_TRUE(model.busy());
    EXPECT_FALSE(model.busyTitle().empty());
    scheduler.settle();

    EXPECT_FALSE(model.busy());
    EXPECT_FALSE(model.isRunning());
    EXPECT_FALSE(model.noDuplicatesFound());
    EXPECT_EQ(model.statusText(), "");
    ASSERT_EQ(model.itemsCount(), 4u);
    EXPECT_EQ(model.items()[0].type, Types::header);
    EXPECT_EQ(model.items()[0].groupId, 0xABCDu);
    EXPECT_EQ(model.items()[1].nanItem->urlString, folder->rootPath() + "/copy/a.pdf");
    EXPECT_TRUE(model.updatedAvailable());
    EXPECT_GE(changes, 3);
}

TEST_F(DuplicatesScan, NoSharedHashEndsWithNoDuplicatesFound) {
    folder->add({"a.pdf", "one", 100, 1, 1});
    folder->add({"b.pdf", "two", 100, 1, 2});
    folder->add({"c.png", "", 100, 1, 0});
    folder->add({"d.png", "", 100, 1, 0});
    DuplicatesScanViewModel model(folder, scheduler);
    model.start();
    scheduler.settle();
    EXPECT_TRUE(model.noDuplicatesFound());
    EXPECT_EQ(model.statusText(), "No duplicates found");
    EXPECT_TRUE(model.items().empty());
}

TEST_F(DuplicatesScan, CancellingPublishesNothingFurther) {
    folder->add({"a.pdf", "x", 100, 1, 5});
    folder->add({"b.pdf", "x", 200, 1, 5});
    DuplicatesScanViewModel model(folder, scheduler);
    model.setOnChange([&] { ++changes; });
    model.start();
    scheduler.runBackground();  // the producer has handed its groups over; the main queue has not run
    model.cancel();
    const int afterCancel = changes;
    scheduler.settle();
    EXPECT_EQ(changes, afterCancel);
    EXPECT_TRUE(model.items().empty());
    EXPECT_FALSE(model.busy());
    EXPECT_FALSE(model.noDuplicatesFound());

    // Cancelled before the producer ran: it stops without reading the folder.
    model.start();
    model.cancel();
    scheduler.settle();
    EXPECT_TRUE(model.items().empty());

    // A new scan after a cancelled one works, and destruction during a scan is safe.
    model.start();
    scheduler.settle();
    EXPECT_EQ(model.itemsCount(), 4u);
    auto doomed = std::make_unique<DuplicatesScanViewModel>(folder, scheduler);
    doomed->start();
    doomed.reset();
    scheduler.settle();
}

}  // namespace
}  // namespace lumidex::search

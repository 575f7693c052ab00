#include <gtest/gtest.h>

#include <sys/xattr.h>

#include <map>

#include "platform/file_tags.h"
#include "search/search_filter.h"
#include "search/search_filter_view_model.h"
#include "search_test_support.h"

namespace lumidex::search {
namespace {

using testing::ManualScheduler;

class FakeFiles : public FileInfoReader {
public:
    std::optional<std::vector<std::string>> tags(const std::string& path) override {
        ++reads;
        const auto found = tagsByPath.find(path);
        return found == tagsByPath.end() ? std::nullopt : std::optional(found->second);
    }
    std::optional<int64_t> size(const std::string& path) override {
        ++reads;
        const auto found = sizes.find(path);
        return found == sizes.end() ? std::nullopt : std::optional(found->second);
    }
    std::map<std::string, std::vector<std::string>> tagsByPath;
    std::map<std::string, int64_t> sizes;
    int reads = 0;
};

NanItem file(std::string path, double modified = 1000, int64_t pages = 1, std::string root = "/docs") {
    NanItem item;
    item.urlString = path;
    item.fileName = path.substr(path.rfind('/') + 1);
    item.id = Uuid::nameBased(path);
    item.combinedHash = static_cast<uint32_t>(std::hash<std::string>{}(path));
    item.fileModifiedDate = dateFromSecondsSince1970(modified);
    item.totalPageCount = pages;
    item.rootFolderUrl = std::move(root);
    return item;
}

NanItem mail(std::string id) {
    NanItem item = file("mail:" + id);
    item.fileName = "Quarterly numbers";
    item.type = NanItemTypes::emailMessage;
    return item;
}

std::vector<std::string> names(const std::vector<NanItem>& items) {
    std::vector<std::string> out;
    for (const NanItem& item : items) out.push_back(item.fileName);
    return out;
}

TEST(FileTypeCategory, FollowsTheLowerCasedExtension) {
    EXPECT_EQ(fileTypeCategoryForFileName("scan.JPG"), FileTypeCategory::images);
    EXPECT_EQ(fileTypeCategoryForFileName("a.b.PDF"), FileTypeCategory::pdf);
    EXPECT_EQ(fileTypeCategoryForFileName("deck.keynote"), FileTypeCategory::presentations);
    EXPECT_EQ(fileTypeCategoryForFileName("table.numbers"), FileTypeCategory::spreadsheets);
    EXPECT_EQ(fileTypeCategoryForFileName("Main.swift"), FileTypeCategory::text);
    EXPECT_EQ(fileTypeCategoryForFileName("letter.dotx"), FileTypeCategory::documents);
    EXPECT_FALSE(fileTypeCategoryForFileName("notes.markdown"));
    EXPECT_FALSE(fileTypeCategoryForFileName("README"));
    EXPECT_FALSE(fileTypeCategoryForFileName(".pdf"));
    EXPECT_FALSE(fileTypeCategoryForFileName("trailing."));
    for (FileTypeCategory c : allFileTypeCategories()) EXPECT_EQ(fileTypeCategoryFromRaw(rawValue(c)), c);
    EXPECT_EQ(allFileTypeCategories().size(), 6u);
    EXPECT_FALSE(fileTypeCategoryFromRaw("video"));
}

TEST(SearchFilter, ActiveFilterCountCountsEachKindOfConditionOnce) {
    SearchFilterState s;
    EXPECT_EQ(s.activeFilterCount(), 0);
    s.fileSizeMin = 1;
    s.fileSizeMax = 2;
    EXPECT_EQ(s.activeFilterCount(), 1);
    s.dateRangeMax = dateFromSecondsSince1970(5);
    s.pageCountMin = 0;  // a bound of 0 is still a bound
    s.selectedFileTypes = {FileTypeCategory::pdf, FileTypeCategory::text};
    s.selectedFinderTags = {"red"};
    s.selectedRootFolders = {"/a"};
    EXPECT_EQ(s.activeFilterCount(), 6);
    s.minimumMatchCount = 1;
    EXPECT_EQ(s.activeFilterCount(), 7);
}

TEST(SearchFilter, NoFilterReturnsTheListUntouchedWithoutReadingTheDisk) {
    FakeFiles files;
    const std::vector<NanItem> items = {file("/docs/gone.pdf"), mail("1")};
    EXPECT_EQ(applySearchFilter({}, items, {}, files), items);
    EXPECT_EQ(files.reads, 0);
}

TEST(SearchFilter, FileTypesRemoveItemsWithoutACategoryAndMail) {
    FakeFiles files;
    SearchFilterState s;
    s.selectedFileTypes = {FileTypeCategory::images, FileTypeCategory::pdf};
    const std::vector<NanItem> items = {file("/docs/scan.JPG"), file("/docs/notes.markdown"), mail("1"),
                                        file("/docs/a.pdf"), file("/docs/b.txt")};
    EXPECT_EQ(names(applySearchFilter(s, items, {}, files)), (std::vector<std::string>{"scan.JPG", "a.pdf"}));
}

TEST(SearchFilter, SizeBoundsAreInclusiveAndUnreadableSizesFail) {
    FakeFiles files;
    files.sizes = {{"/docs/a.pdf", 999}, {"/docs/b.pdf", 1000}, {"/docs/c.pdf", 1001}};
    const std::vector<NanItem> items = {file("/docs/a.pdf"), file("/docs/b.pdf"), file("/docs/c.pdf"),
                                        file("/docs/missing.pdf"), mail("1")};
    SearchFilterState s;
    s.fileSizeMin = 1000;
    s.fileSizeMax = 1000;
    EXPECT_EQ(names(applySearchFilter(s, items, {}, files)), (std::vector<std::string>{"b.pdf"}));
    s.fileSizeMax.reset();
    EXPECT_EQ(names(applySearchFilter(s, items, {}, files)), (std::vector<std::string>{"b.pdf", "c.pdf"}));
}

TEST(SearchFilter, TagsNeedOneSharedNameAndUnreadableTagsFail) {
    FakeFiles files;
    files.tagsByPath = {{"/docs/a.pdf", {"Work", "Red"}}, {"/docs/b.pdf", {}}, {"/docs/c.pdf", {"Home"}}};
    SearchFilterState s;
    s.selectedFinderTags = {"Red", "Home"};
    const std::vector<NanItem> items = {file("/docs/a.pdf"), file("/docs/b.pdf"), file("/docs/c.pdf"),
                                        file("/docs/unreadable.pdf")};
    EXPECT_EQ(names(applySearchFilter(s, items, {}, files)), (std::vector<std::string>{"a.pdf", "c.pdf"}));
}

TEST(SearchFilter, DatePagesFolderAndMatchCount) {
    FakeFiles files;
    const NanItem early = file("/docs/early.pdf", 100, 1);
    const NanItem middle = file("/docs/middle.pdf", 200, 5, "/other");
    const NanItem late = file("/docs/late.pdf", 300, -1);
    const std::vector<NanItem> items = {early, middle, late};

    SearchFilterState dates;
    dates.dateRangeMin = dateFromSecondsSince1970(200);
    dates.dateRangeMax = dateFromSecondsSince1970(300);
    EXPECT_EQ(names(applySearchFilter(dates, items, {}, files)), (std::vector<std::string>{"middle.pdf", "late.pdf"}));

    SearchFilterState pages;
    pages.pageCountMin = 2;
    EXPECT_EQ(names(applySearchFilter(pages, items, {}, files)), (std::vector<std::string>{"middle.pdf"}));
    pages = {};
    pages.pageCountMax = 1;
    EXPECT_EQ(names(applySearchFilter(pages, items, {}, files)), (std::vector<std::string>{"early.pdf", "late.pdf"}));

    SearchFilterState folders;
    folders.selectedRootFolders = {"/other"};
    EXPECT_EQ(names(applySearchFilter(folders, items, {}, files)), (std::vector<std::string>{"middle.pdf"}));

    SearchFilterState matches;
    matches.minimumMatchCount = 3;
    const MatchCounts counts = {{early.combinedHash, 3}, {middle.combinedHash, 2}};
    EXPECT_EQ(names(applySearchFilter(matches, items, counts, files)), (std::vector<std::string>{"early.pdf"}));
    EXPECT_EQ(files.reads, 0) << "only tag and size filters read the disk";
}

TEST(SearchFilter, MetadataSpansTheResults) {
    FakeFiles files;
    files.sizes = {{"/docs/a.pdf", 10}, {"/docs/b.jpg", 70}};
    files.tagsByPath = {{"/docs/a.pdf", {"Work"}}, {"/docs/b.jpg", {"Red", "Work"}}};
    const NanItem a = file("/docs/a.pdf", 100, 3);
    const NanItem b = file("/docs/b.jpg", 400, -1, "/photos");
    const NanItem m = mail("7");
    const SearchFilterMetadata meta =
        computeSearchFilterMetadata({a, b, m, file("/docs/missing.txt", 250, 9)}, {{a.combinedHash, 4}}, files,
                                    CancellationToken());
    EXPECT_EQ(meta.fileSizeRange, (ClosedRange<int64_t>{10, 70}));
    EXPECT_EQ(meta.dateRange, (ClosedRange<Date>{dateFromSecondsSince1970(100), dateFromSecondsSince1970(1000)}));
    EXPECT_EQ(meta.pageCountRange, (ClosedRange<int64_t>{1, 9}));
    EXPECT_EQ(meta.matchCountRange, (ClosedRange<int64_t>{0, 4}));
    EXPECT_EQ(meta.availableFileTypes,
              (std::set<FileTypeCategory>{FileTypeCategory::pdf, FileTypeCategory::images, FileTypeCategory::text}));
    EXPECT_EQ(meta.availableFinderTags, (std::vector<std::string>{"Red", "Work"}));
    EXPECT_EQ(meta.availableFinderTagColors.at("Red"), 0);
    EXPECT_EQ(meta.rootFolderCounts, (std::map<std::string, int64_t>{{"/docs", 3}, {"/photos", 1}}));

    const SearchFilterMetadata empty = computeSearchFilterMetadata({}, {}, files, CancellationToken());
    EXPECT_EQ(empty.fileSizeRange, (ClosedRange<int64_t>{0, 0}));
    EXPECT_TRUE(empty.availableFinderTags.empty());
}

TEST(FileTags, ReadsAndWritesTheExtendedAttribute) {
    lumidex::testing::TempDir dir;
    const auto path = dir / "tagged.pdf";
    lumidex::testing::writeFile(path, "x");
    if (!platform::writeFileTags(path, {"Red", "Work"})) GTEST_SKIP() << "no user extended attributes here";
    EXPECT_EQ(platform::readFileTags(path), (std::vector<std::string>{"Red", "Work"}));
    EXPECT_EQ(systemFileInfoReader()->tags(path.string()), (std::vector<std::string>{"Red", "Work"}));
    EXPECT_EQ(systemFileInfoReader()->size(path.string()), 1);

    ASSERT_TRUE(platform::writeFileTags(path, {}));
    EXPECT_EQ(platform::readFileTags(path), std::vector<std::string>{});
    EXPECT_FALSE(platform::readFileTags(dir / "missing.pdf").has_value());
    EXPECT_FALSE(systemFileInfoReader()->size((dir / "missing.pdf").string()).has_value());

    // Written by other tools with spaces and empty entries.
    const std::string raw = " Blue ,, Green";
    ASSERT_EQ(::setxattr(path.c_str(), "user.xdg.tags", raw.data(), raw.size(), 0), 0);
    EXPECT_EQ(platform::readFileTags(path), (std::vector<std::string>{"Blue", "Green"}));

    SearchFilterState s;
    s.selectedFinderTags = {"Green"};
    NanItem item = file(path.string());
    EXPECT_TRUE(passesSearchFilter(s, item, {}, *systemFileInfoReader()));
    s.selectedFinderTags = {"Red"};
    EXPECT_FALSE(passesSearchFilter(s, item, {}, *systemFileInfoReader()));
}

TEST(SearchFilterViewModel, StateChangesAreReportedAndMetadataArrivesOnTheMainQueue) {
    ManualScheduler scheduler;
    auto files = std::make_shared<FakeFiles>();
    SearchFilterViewModel model(scheduler, files);
    std::vector<SearchFilterViewModel::Change> changes;
    model.setOnChange([&](SearchFilterViewModel::Change c) { changes.push_back(c); });

    SearchFilterState s;
    s.minimumMatchCount = 2;
    model.setFilterState(s);
    model.setFilterState(s);  // unchanged: not reported
    EXPECT_EQ(model.activeFilterCount(), 1);
    model.reset();
    EXPECT_EQ(model.activeFilterCount(), 0);
    EXPECT_EQ(changes.size(), 2u);

    const NanItem a = file("/docs/a.pdf", 100, 2);
    model.updateMetadata({a}, {});
    EXPECT_TRUE(model.metadata().isLoading);
    model.updateMetadata({a, file("/docs/b.pdf", 100, 8)}, {});  // replaces the first computation
    scheduler.settle();
    EXPECT_FALSE(model.metadata().isLoading);
    EXPECT_FALSE(model.isComputingMetadata());
    EXPECT_EQ(model.metadata().pageCountRange, (ClosedRange<int64_t>{2, 8}));

    model.updateMetadata({a}, {});
    model.cancelMetadata();
    scheduler.settle();
    EXPECT_EQ(model.metadata().pageCountRange, (ClosedRange<int64_t>{2, 8})) << "a cancelled result is dropped";
    EXPECT_FALSE(model.metadata().isLoading);
}

}  // namespace
}  // namespace lumidex::search

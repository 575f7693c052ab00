#include "storage/content_cache.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "support/temp_home.h"

namespace lumidex::storage {
namespace {

using lumidex::testing::TempDir;

ContentCacheEntry entryOf(const std::string& result, std::size_t fileBytes) {
    return ContentCacheEntry{result, std::nullopt, {ContentCacheFile{"*_thumbmage_#0.png", std::string(fileBytes, 'x'), {}}}};
}

TEST(ContentCacheTest, EntriesSurviveARestartAndTheLeastRecentlyUsedGoFirstWhenTheBoundIsReached) {
    TempDir dir;
    {
        ContentCache cache(dir.path(), 1000);
        ContentCacheEntry first{"{\"text\":\"a\"}", std::nullopt,
                                {ContentCacheFile{"*_nanimage_#0.png", std::string("\0png\xff", 5), {}},
                                 ContentCacheFile{"converted/*.pdf", "%PDF", {}}}};
        ASSERT_TRUE(cache.store("first", first));
        ASSERT_TRUE(cache.setAddedText("first", "recognised later"));
        EXPECT_FALSE(cache.setAddedText("absent", "nothing to add it to"));
    }
    {
        ContentCache cache(dir.path(), 1000);
        const auto found = cache.find("first");
        ASSERT_TRUE(found.has_value());
        EXPECT_EQ(found->result, "{\"text\":\"a\"}");
        EXPECT_EQ(found->addedText, "recognised later");
        ASSERT_EQ(found->files.size(), 2u);
        EXPECT_EQ(found->files[0].name, "*_nanimage_#0.png");
        EXPECT_EQ(found->files[0].bytes, std::string("\0png\xff", 5));  // binary bytes kept whole
        EXPECT_EQ(found->files[1].bytes, "%PDF");
        EXPECT_FALSE(cache.find("second").has_value());
    }

    // Three entries of about 400 bytes do not fit in 1000: the one used least recently goes.
    ContentCache cache(dir.path(), 1000);
    ASSERT_TRUE(cache.store("a", entryOf("A", 380)));
    ASSERT_TRUE(cache.store("b", entryOf("B", 380)));
    ASSERT_TRUE(cache.find("a").has_value());  // a is now used more recently than b
    ASSERT_TRUE(cache.store("c", entryOf("C", 380)));
    EXPECT_TRUE(cache.find("a").has_value());
    EXPECT_FALSE(cache.find("b").has_value());
    EXPECT_TRUE(cache.find("c").has_value());
    EXPECT_FALSE(cache.find("first").has_value());
    EXPECT_LE(cache.storedBytes(), 1000u);
    // Text added later counts too.
    ASSERT_TRUE(cache.setAddedText("c", std::string(300, 't')));
    EXPECT_LE(cache.storedBytes(), 1000u);
    EXPECT_TRUE(cache.find("c").has_value());
    EXPECT_FALSE(cache.find("a").has_value());

    // Replacing an entry leaves none of its old files behind; one larger than the bound is not kept.
    ASSERT_TRUE(cache.store("c", ContentCacheEntry{"C2", std::nullopt, {}}));
    EXPECT_TRUE(cache.find("c")->files.empty());
    EXPECT_TRUE(cache.store("huge", entryOf("H", 2000)));
    EXPECT_FALSE(cache.find("huge").has_value());
    EXPECT_TRUE(cache.find("c").has_value());
    // The size kept up to date through replacements, added text and evictions is what summing finds.
    ASSERT_TRUE(cache.setAddedText("c", "more"));
    EXPECT_EQ(cache.storedBytes(), ContentCache(dir.path(), 1000).storedBytes());
}

std::string contentOf(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::size_t keptCount(const std::filesystem::path& dir) {
    std::error_code ec;
    std::size_t count = 0;
    for (std::filesystem::directory_iterator it(dir / "content_cache_files", ec), end; !ec && it != end; it.increment(ec)) {
        ++count;
    }
    return count;
}

TEST(ContentCacheTest, KeptFilesOutliveTheDocumentsOwnAndGoWithTheirEntry) {
    TempDir dir;
    const auto preview = dir.path() / "doc_nanimage_#0.png";
    std::ofstream(preview, std::ios::binary) << std::string(300, 'p');
    {
        ContentCache cache(dir.path(), 1000);
        ASSERT_TRUE(cache.store("a", ContentCacheEntry{"A", std::nullopt, {ContentCacheFile{"*_nanimage_#0.png", {}, preview}}}));
        // One that vanished before it could be kept leaves no entry.
        EXPECT_FALSE(cache.store("gone", ContentCacheEntry{"G", std::nullopt, {ContentCacheFile{"*", {}, dir.path() / "gone.png"}}}));
        EXPECT_FALSE(cache.find("gone").has_value());
    }
    // The document's own file is replaced, then removed: what the cache kept is unchanged.
    std::ofstream(dir.path() / "new.png", std::ios::binary) << "changed";
    std::filesystem::rename(dir.path() / "new.png", preview);
    std::filesystem::remove(preview);
    // A file no entry names may be another cache object's store before its commit: fresh, it stays.
    std::ofstream(dir.path() / "content_cache_files" / "0123456789abcdef") << "not yet committed";

    ContentCache cache(dir.path(), 1000);
    const auto found = cache.find("a");
    ASSERT_TRUE(found.has_value());
    ASSERT_EQ(found->files.size(), 1u);
    EXPECT_EQ(found->files[0].name, "*_nanimage_#0.png");
    ASSERT_TRUE(ContentCache::placeKeptFile(found->files[0].kept, preview));
    EXPECT_EQ(contentOf(preview), std::string(300, 'p'));
    // Placed again onto the same file (a touched document), no second name is left behind.
    ASSERT_TRUE(ContentCache::placeKeptFile(found->files[0].kept, preview));
    for (const auto& file : std::filesystem::directory_iterator(dir.path())) {
        EXPECT_EQ(file.path().filename().string().find(".tmp-"), std::string::npos) << file.path();
    }
    EXPECT_EQ(keptCount(dir.path()), 2u);
    EXPECT_FALSE(ContentCache::placeKeptFile(dir.path() / "content_cache_files" / "missing", dir.path() / "x.png"));
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "x.png"));

    // Kept files count towards the bound: replacing or evicting the entry removes its file.
    ASSERT_TRUE(cache.store("a", ContentCacheEntry{"A", std::nullopt, {ContentCacheFile{"*", {}, preview}}}));
    EXPECT_EQ(keptCount(dir.path()), 2u);
    ASSERT_TRUE(cache.store("b", entryOf("B", 800)));
    EXPECT_FALSE(cache.find("a").has_value());
    EXPECT_EQ(keptCount(dir.path()), 1u);  // the uncommitted one
    EXPECT_EQ(contentOf(preview), std::string(300, 'p'));  // the document's own file is not the cache's to remove
}

TEST(ContentCacheTest, ADamagedFileIsDroppedAndMadeAnew) {
    TempDir dir;
    std::vector<std::string> lines;
    const auto log = [&lines](std::string_view line) { lines.emplace_back(line); };
    {
        ContentCache cache(dir.path(), 1 << 20, log);
        ASSERT_TRUE(cache.store("kept", entryOf("K", 10)));
    }
    {
        // Garbage over the header: SQLite no longer takes it for a database.
        std::fstream file(dir.path() / ContentCache::fileName, std::ios::in | std::ios::out | std::ios::binary);
        file.write(std::string(200, '\x5a').data(), 200);
    }
    ContentCache cache(dir.path(), 1 << 20, log);
    EXPECT_FALSE(cache.find("kept").has_value());
    EXPECT_EQ(cache.rebuilds(), 1);
    ASSERT_FALSE(lines.empty());
    EXPECT_NE(lines.front().find("[ContentCache] beschädigt, neu angelegt"), std::string::npos) << lines.front();
    ASSERT_TRUE(cache.store("new", entryOf("N", 10)));
    EXPECT_TRUE(cache.find("new").has_value());
    EXPECT_EQ(cache.rebuilds(), 1);

}

}  // namespace
}  // namespace lumidex::storage

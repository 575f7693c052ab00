#include "core/settings/settings.h"

#include "core/model/search_parameters.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <csignal>
#include <nlohmann/json.hpp>
#include <regex>
#include <thread>

#include "support/temp_home.h"

namespace lumidex {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using testing::readFile;
using testing::TempDir;
using testing::writeFile;

class SettingsTest : public ::testing::Test {
protected:
    TempDir dir;
    fs::path file = dir / "lumidex" / "settings.json";

    json fileJson() const { return json::parse(readFile(file)); }
    void writeJson(const json& value) {
        fs::create_directories(file.parent_path());
        writeFile(file, value.dump());
    }
};

TEST_F(SettingsTest, EmptyStoreGivesDefaultsAndWritesNothing) {
    SettingsStore store(file);
    Settings settings(store);
    EXPECT_EQ(settings.minSearchCharCount(), 3);
    EXPECT_EQ(settings.autoSearchDelaySeconds(), 1);
    EXPECT_EQ(settings.resultLimit(), 250);
    EXPECT_EQ(settings.sortOrder(), SortOrders::new2Old);
    EXPECT_TRUE(settings.searchFolderUrlStrings().empty());
    EXPECT_FALSE(settings.mailSourceEnabled());
    EXPECT_FALSE(settings.apiServerEnabled());
    EXPECT_EQ(settings.apiServerPort(), 44477);
    EXPECT_EQ(settings.apiServerToken(), "");
    EXPECT_DOUBLE_EQ(settings.listFontSize(), 13.0);
    EXPECT_DOUBLE_EQ(settings.numberOfRecentScanItems(), 25.0);
    EXPECT_EQ(settings.selectedStyleType(), "Auto");
    EXPECT_FALSE(settings.selectedSidebarUrlPath());
    EXPECT_FALSE(settings.filterPanelX());
    EXPECT_FALSE(settings.uniqueIdentifier());
    EXPECT_EQ(settings.searchIndexFoldingVersion("/data/folder"), 0);
    EXPECT_FALSE(fs::exists(file));
}

TEST_F(SettingsTest, StoredFalseAndZeroDifferFromAbsentAndSurviveRestart) {
    {
        SettingsStore store(file);
        ASSERT_FALSE(store.setBool(SettingsKeys::showOcrRectsKey, false));
        ASSERT_FALSE(store.setInt(SettingsKeys::automaticallySearchAfterKey, 0));
        ASSERT_FALSE(store.setStringList(SettingsKeys::searchFolderUrlStringsKey, {"/a", "/b,c"}));
    }
    SettingsStore store(file);
    Settings settings(store);
    EXPECT_EQ(store.getBool(SettingsKeys::showOcrRectsKey), false);
    EXPECT_EQ(store.getBool(SettingsKeys::animateOcrRectsKey), std::nullopt);
    EXPECT_FALSE(settings.showOcrRects());
    EXPECT_TRUE(settings.animateOcrRects());
    EXPECT_EQ(settings.autoSearchDelaySeconds(), 0);
    EXPECT_EQ(settings.searchFolderUrlStrings(), (StringList{"/a", "/b,c"}));

    ASSERT_FALSE(store.remove(SettingsKeys::showOcrRectsKey));
    EXPECT_TRUE(SettingsStore(file).getBool(SettingsKeys::animateOcrRectsKey) == std::nullopt);
    EXPECT_FALSE(SettingsStore(file).contains(SettingsKeys::showOcrRectsKey));
}

TEST_F(SettingsTest, WrongTypedValuesReadAsDefaultAndSurviveRewrite) {
    const json original = {
        {"startSearchCharacterCountKey", "five"},
        {"showOcrRectsKey", 0},
        {"limitSearchResultsTypeKey", 3.5},
        {"apiServerEnabledKey", "yes"},
        {"searchFolderUrlStringsKey", json::array({"/a", 7})},
        {"globalSideBarItemsConfigKey", {{"items", json::array({1, 2})}}},
    };
    writeJson(original);
    SettingsStore store(file);
    Settings settings(store);
    EXPECT_EQ(settings.minSearchCharCount(), 3);
    EXPECT_TRUE(settings.showOcrRects());
    EXPECT_EQ(settings.resultLimit(), 250);
    EXPECT_FALSE(settings.apiServerEnabled());
    EXPECT_TRUE(settings.searchFolderUrlStrings().empty());
    EXPECT_TRUE(store.contains(SettingsKeys::startSearchCharacterCountKey));

    ASSERT_FALSE(store.setBool(SettingsKeys::mailSourceEnabled, true));
    json expected = original;
    expected["mailSourceEnabled"] = true;
    EXPECT_EQ(fileJson(), expected);
}

TEST_F(SettingsTest, NumbersKeepTheirKindAndIntegerReadsRejectFractions) {
    writeJson({{"int3", 3}, {"float3", 3.0}, {"fraction", 3.5}, {"huge", 18446744073709551615ULL}, {"negative", -7}});
    SettingsStore store(file);
    EXPECT_EQ(store.getInt("int3"), 3);
    EXPECT_EQ(store.getInt("float3"), 3);
    EXPECT_EQ(store.getInt("fraction"), std::nullopt);
    EXPECT_EQ(store.getInt("huge"), std::nullopt);
    EXPECT_EQ(store.getInt("negative"), -7);
    EXPECT_EQ(store.getDouble("int3"), 3.0);
    EXPECT_EQ(store.getDouble("fraction"), 3.5);

    ASSERT_FALSE(store.setDouble(SettingsKeys::listFontSizeKey, 14.0));
    ASSERT_FALSE(store.setInt(SettingsKeys::apiServerPortKey, 8080));
    const std::string text = readFile(file);
    EXPECT_NE(text.find("\"listFontSizeKey\": 14.0"), std::string::npos) << text;
    EXPECT_NE(text.find("\"apiServerPortKey\": 8080,"), std::string::npos) << text;

    // Changing only the kind of a number is still a change.
    ASSERT_FALSE(store.setDouble("int3", 3.0));
    EXPECT_TRUE(fileJson()["int3"].is_number_float());
}

TEST_F(SettingsTest, RejectsValuesThatCannotBeStoredFaithfully) {
    SettingsStore store(file);
    auto error = store.setDouble(SettingsKeys::zoomLevelBackingField, std::nan(""));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->kind, SettingsError::Kind::invalidValue);
    error = store.setString(SettingsKeys::selectedStyleType, "bad \xff utf8");
    ASSERT_TRUE(error);
    EXPECT_EQ(error->kind, SettingsError::Kind::invalidValue);
    EXPECT_FALSE(store.contains(SettingsKeys::selectedStyleType));

    Settings settings(store);
    error = settings.set(SettingsKeys::showOcrRectsKey, SettingValue(int64_t{1}));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->message, "showOcrRectsKey must be of type Boolean");
    ASSERT_FALSE(settings.set(SettingsKeys::listFontSizeKey, SettingValue(int64_t{12})));
    EXPECT_TRUE(fileJson()["listFontSizeKey"].is_number_float());
}

TEST_F(SettingsTest, IdentifiersAreGeneratedOnceAndStableAcrossRestarts) {
    const std::regex uuid("^[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}$");
    std::vector<std::string> first;
    {
        SettingsStore store(file);
        Settings settings(store);
        ASSERT_FALSE(settings.ensureIdentifiers());
        first = {*settings.cloudServiceClientIdentifier(), *settings.uniqueIdentifier(), *settings.uuidString()};
    }
    for (const auto& id : first) EXPECT_TRUE(std::regex_match(id, uuid)) << id;
    EXPECT_NE(first[0], first[1]);
    EXPECT_NE(first[1], first[2]);

    SettingsStore store(file);
    Settings settings(store);
    ASSERT_FALSE(settings.ensureIdentifiers());
    EXPECT_EQ((std::vector<std::string>{*settings.cloudServiceClientIdentifier(), *settings.uniqueIdentifier(),
                                        *settings.uuidString()}),
              first);
}

TEST_F(SettingsTest, IdentifiersReplaceOnlyUnusableValues) {
    writeJson({{"cloudServiceClientIdentifier", "kept-as-is"}, {"uniqueIdentifier", ""}, {"uuidStringKey", 42}});
    SettingsStore store(file);
    Settings settings(store);
    ASSERT_FALSE(settings.ensureIdentifiers());
    EXPECT_EQ(settings.cloudServiceClientIdentifier(), "kept-as-is");
    EXPECT_EQ(settings.uniqueIdentifier()->size(), 36u);
    EXPECT_EQ(settings.uuidString()->size(), 36u);
}

TEST_F(SettingsTest, ConcurrentIdentifierCreationAgrees) {
    SettingsStore store(file);
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i) threads.emplace_back([&store] { (void)Settings(store).ensureIdentifiers(); });
    for (auto& t : threads) t.join();
    EXPECT_EQ(SettingsStore(file).getString(SettingsKeys::uniqueIdentifier), Settings(store).uniqueIdentifier());
}

TEST_F(SettingsTest, ResultLimitMapsBothWays) {
    const std::vector<std::pair<int64_t, int64_t>> pairs{{0, 25}, {1, 100}, {2, 250}, {3, 500}, {4, 1000}};
    for (const auto& [choice, limit] : pairs) {
        EXPECT_EQ(resultLimitForChoice(choice), limit);
        EXPECT_EQ(resultLimitChoiceForNumber(limit), choice);
    }
    for (int64_t choice : {-1, 5, 6, 99}) EXPECT_EQ(resultLimitForChoice(choice), std::nullopt) << choice;
    for (int64_t limit : {0, 5, 50, 2000}) EXPECT_EQ(resultLimitChoiceForNumber(limit), std::nullopt) << limit;

    SettingsStore store(file);
    Settings settings(store);
    ASSERT_FALSE(store.setInt(SettingsKeys::limitSearchResultsTypeKey, 5));
    EXPECT_EQ(settings.resultLimit(), std::nullopt);
    ASSERT_FALSE(settings.setResultLimit(500));
    EXPECT_EQ(store.getInt(SettingsKeys::limitSearchResultsTypeKey), 3);
    const auto error = settings.setResultLimit(50);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->message, "result_limit must be one of: 25, 100, 250, 500, 1000");
    EXPECT_EQ(settings.resultLimit(), 500);
}

TEST_F(SettingsTest, SortOrderFallsBackToNewestFirst) {
    SettingsStore store(file);
    Settings settings(store);
    ASSERT_FALSE(store.setString(SettingsKeys::sortOrderKey, "foo"));
    EXPECT_EQ(settings.sortOrder(), SortOrders::new2Old);
    ASSERT_FALSE(settings.setSortOrder(SortOrders::a2z));
    EXPECT_EQ(store.getString(SettingsKeys::sortOrderKey), "a2z");
    EXPECT_EQ(settings.sortOrder(), SortOrders::a2z);
}

TEST_F(SettingsTest, SearchParametersTakeFoldersAndSortOrderFromSettings) {
    SettingsStore store(file);
    Settings settings(store);
    ASSERT_FALSE(store.setStringList(SettingsKeys::searchFolderUrlStringsKey, {"/b", "/a", "/b"}));
    ASSERT_FALSE(settings.setSortOrder(SortOrders::old2New));
    ASSERT_FALSE(store.setInt(SettingsKeys::startSearchCharacterCountKey, 5));
    SearchParameters expected;
    expected.rootFolderUrlStrings = {"/a", "/b"};
    expected.sortOrder = SortOrders::old2New;
    expected.minSearchCharCount = 5;
    EXPECT_EQ(searchParametersFromSettings(settings), expected);
}

TEST_F(SettingsTest, PanelSizesUseZeroAsDefaultAndClamp) {
    SettingsStore store(file);
    Settings settings(store);
    EXPECT_EQ(settings.filterPanelWidth(), 560);
    EXPECT_EQ(settings.filterPanelHeight(), 320);
    EXPECT_EQ(settings.infoPanelWidth(), 340);
    EXPECT_EQ(settings.infoPanelHeight(), 480);
    const std::vector<std::tuple<std::string_view, double, double>> cases{
        {SettingsKeys::filterPanelWidthKey, 1000, 800},  {SettingsKeys::filterPanelWidthKey, 0, 560},
        {SettingsKeys::filterPanelWidthKey, 100, 320},   {SettingsKeys::filterPanelWidthKey, 400, 400},
        {SettingsKeys::filterPanelHeightKey, 1000, 600}, {SettingsKeys::filterPanelHeightKey, -5, 200},
        {SettingsKeys::infoPanelWidthKey, 1000, 600},    {SettingsKeys::infoPanelHeightKey, 100, 300},
    };
    for (const auto& [key, stored, used] : cases) {
        ASSERT_FALSE(store.setDouble(key, stored));
        const double actual = key == SettingsKeys::filterPanelWidthKey    ? settings.filterPanelWidth()
                              : key == SettingsKeys::filterPanelHeightKey ? settings.filterPanelHeight()
                              : key == SettingsKeys::infoPanelWidthKey    ? settings.infoPanelWidth()
                                                                          : settings.infoPanelHeight();
        EXPECT_EQ(actual, used) << key << " " << stored;
    }
}

TEST_F(SettingsTest, TextFileLimitDefaultsTo512000AndHandWrittenValuesAreHeldToTheCap) {
    SettingsStore store(file);
    Settings settings(store);
    EXPECT_EQ(settings.maxTextFileSizeBytes(), 512000);
    for (const auto& [stored, used] : std::vector<std::pair<int64_t, int64_t>>{
             {2'000'000, 2'000'000}, {900'000'000, 50'000'000}, {0, 1}, {-5, 1}}) {
        ASSERT_FALSE(store.setInt(SettingsKeys::maxTextFileSizeBytesKey, stored));
        EXPECT_EQ(settings.maxTextFileSizeBytes(), used) << stored;
    }
}

TEST_F(SettingsTest, LanMigrationRunsOnceAndOnlyForEnabledServersWithoutChoice) {
    struct Case {
        json stored;
        bool expectRestart;
        std::optional<bool> expectAllowLan;
    };
    const std::vector<Case> cases{
        {{{"apiServerEnabledKey", true}}, true, true},
        {{{"apiServerEnabledKey", true}, {"apiServerAllowLanKey", false}}, false, false},
        {json::object(), false, std::nullopt},
        {{{"apiServerEnabledKey", true}, {"lanDefaultMigrationDoneKey", false}}, false, std::nullopt},
    };
    for (const auto& c : cases) {
        writeJson(c.stored);
        SettingsStore store(file);
        Settings settings(store);
        int restarts = 0;
        ASSERT_FALSE(settings.migrateLanDefault([&restarts] { ++restarts; }));
        ASSERT_FALSE(settings.migrateLanDefault([&restarts] { ++restarts; }));
        EXPECT_EQ(restarts, c.expectRestart ? 1 : 0) << c.stored;
        EXPECT_EQ(SettingsStore(file).getBool(SettingsKeys::apiServerAllowLanKey), c.expectAllowLan) << c.stored;
        EXPECT_TRUE(store.getBool(SettingsKeys::lanDefaultMigrationDoneKey).has_value());
    }
}

TEST_F(SettingsTest, UnreadableFileIsKeptAsideAndStoreStartsEmpty) {
    for (const std::string content : {"{\"sortOrderKey\": \"a2z\"", "[1, 2]", ""}) {
        const TempDir local;
        const auto path = local / "settings.json";
        writeFile(path, content);
        SettingsStore store(path);
        EXPECT_TRUE(store.entries().empty());
        std::vector<fs::path> aside;
        for (const auto& entry : fs::directory_iterator(local.path())) aside.push_back(entry.path());
        ASSERT_EQ(aside.size(), 1u);
        EXPECT_TRUE(aside[0].filename().string().starts_with("settings.json.corrupt-")) << aside[0];
        EXPECT_EQ(readFile(aside[0]), content);

        ASSERT_FALSE(store.setBool(SettingsKeys::mailSourceEnabled, true));
        EXPECT_EQ(json::parse(readFile(path)), (json{{"mailSourceEnabled", true}}));
        EXPECT_EQ(readFile(aside[0]), content);
    }
}

TEST_F(SettingsTest, WriteFailureIsReportedAndValueStaysInEffect) {
    writeFile(dir / "plain", "not a folder");
    SettingsStore store(dir / "plain" / "settings.json");
    const auto error = store.setInt(SettingsKeys::apiServerPortKey, 8080);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->kind, SettingsError::Kind::writeFailed);
    EXPECT_NE(error->message.find(dir.path().string()), std::string::npos) << error->message;
    EXPECT_EQ(store.getInt(SettingsKeys::apiServerPortKey), 8080);
    // Setting the same value again retries the write instead of reporting success.
    EXPECT_TRUE(store.setInt(SettingsKeys::apiServerPortKey, 8080));
    EXPECT_EQ(readFile(dir / "plain"), "not a folder");
}

TEST_F(SettingsTest, FailedWriteKeepsPreviousFile) {
    SettingsStore store(file);
    ASSERT_FALSE(store.setString(SettingsKeys::selectedStyleType, "Light"));
    const std::string before = readFile(file);

    rlimit previous{};
    getrlimit(RLIMIT_FSIZE, &previous);
    const auto handler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit limit = previous;
    limit.rlim_cur = 4096;
    setrlimit(RLIMIT_FSIZE, &limit);
    const auto error = store.setString(SettingsKeys::apiServerTokenKey, std::string(10000, 'T'));
    setrlimit(RLIMIT_FSIZE, &previous);
    std::signal(SIGXFSZ, handler);

    ASSERT_TRUE(error);
    EXPECT_EQ(readFile(file), before);
    EXPECT_EQ(SettingsStore(file).getString(SettingsKeys::selectedStyleType), "Light");
}

TEST_F(SettingsTest, ChangesOfAnotherProcessAreTakenUpUnlessOwnChangesAreUnsaved) {
    SettingsStore server(file);
    ASSERT_FALSE(server.setString(SettingsKeys::apiServerTokenKey, "old"));
    std::vector<std::string> seen;
    server.addObserver([&](std::string_view key) { seen.emplace_back(key); });
    EXPECT_FALSE(server.reloadIfChanged()) << "its own write is no change";

    ASSERT_FALSE(SettingsStore(file).setString(SettingsKeys::apiServerTokenKey, "new"));  // `lumidex token new`
    EXPECT_TRUE(server.reloadIfChanged());
    EXPECT_EQ(server.getString(SettingsKeys::apiServerTokenKey), "new");
    EXPECT_EQ(seen, std::vector<std::string>{std::string(SettingsKeys::apiServerTokenKey)});
    EXPECT_FALSE(server.reloadIfChanged());

    writeFile(file, "{ not json");
    EXPECT_FALSE(server.reloadIfChanged());
    EXPECT_EQ(server.getString(SettingsKeys::apiServerTokenKey), "new") << "an unreadable file changes nothing";

    fs::remove(file);
    EXPECT_TRUE(server.reloadIfChanged());
    EXPECT_FALSE(server.getString(SettingsKeys::apiServerTokenKey)) << "a removed file means the defaults";
}

TEST_F(SettingsTest, ConcurrentWritesAreAllPersisted) {
    SettingsStore store(file);
    constexpr int kThreads = 6;
    constexpr int kPerThread = 20;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&store, t] {
            for (int i = 0; i < kPerThread; ++i) {
                EXPECT_FALSE(store.setInt("key-" + std::to_string(t) + "-" + std::to_string(i), i));
                EXPECT_FALSE(store.setInt("shared", t * 1000 + i));
                (void)store.getInt("shared");
            }
        });
    }
    for (auto& thread : threads) thread.join();

    SettingsStore reloaded(file);
    for (int t = 0; t < kThreads; ++t) {
        for (int i = 0; i < kPerThread; ++i)
            ASSERT_EQ(reloaded.getInt("key-" + std::to_string(t) + "-" + std::to_string(i)), i);
    }
    EXPECT_EQ(reloaded.getInt("shared"), store.getInt("shared"));
}

TEST_F(SettingsTest, ObserversSeeRealChangesOnly) {
    SettingsStore store(file);
    std::vector<std::string> seen;
    const int token = store.addObserver([&seen](std::string_view key) { seen.emplace_back(key); });
    ASSERT_FALSE(store.setBool(SettingsKeys::mailSourceEnabled, true));
    ASSERT_FALSE(store.setBool(SettingsKeys::mailSourceEnabled, true));
    ASSERT_FALSE(store.remove(SettingsKeys::mailSourceEnabled));
    ASSERT_FALSE(store.remove(SettingsKeys::mailSourceEnabled));
    store.removeObserver(token);
    ASSERT_FALSE(store.setBool(SettingsKeys::slowHardDrive, true));
    EXPECT_EQ(seen, (std::vector<std::string>{"mailSourceEnabled", "mailSourceEnabled"}));
}

}  // namespace
}  // namespace lumidex

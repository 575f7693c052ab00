#include "folders/coordinator/core_manager_data.h"

#include "coordinator_fixture.h"

namespace lumidex::folders::testing {
namespace {

class FakeObserver : public FolderObserver {
public:
    explicit FakeObserver(FolderObserverHandlers h) : handlers(std::move(h)) {}
    void shutdown() override { ++shutdowns; }
    FolderObserverHandlers handlers;
    std::atomic<int> shutdowns{0};
};

class CoreManagerDataTest : public CoordinatorTest {
protected:
    CoreManagerDataDependencies coreDependencies() {
        CoreManagerDataDependencies deps;
        deps.dataDirectory = dir.path() / "data";
        deps.settingsStore = &settings;
        deps.diagnostics = &diagnostics;
        deps.fileSystem = &fileSystem;
        deps.excludedFolderCache = &folderCache;
        deps.processingRunner = runner;
        deps.observerFactory = [this](const std::string& folder, FolderObserverHandlers handlers) {
            auto observer = std::make_unique<FakeObserver>(std::move(handlers));
            std::lock_guard lock(observersMutex);
            observers[folder] = observer.get();
            return observer;
        };
        return deps;
    }

    FakeObserver* observer(const std::string& folder) {
        std::lock_guard lock(observersMutex);
        return observers.at(folder);
    }

    std::shared_ptr<RecordingRunner> runner = std::make_shared<RecordingRunner>();
    std::mutex observersMutex;
    std::map<std::string, FakeObserver*> observers;
};

TEST_F(CoreManagerDataTest, OwnsOneCoordinatorPerFolderAndRunsTheFirstScans) {
    file("a.pdf");
    file("b.bin");
    makeFile(dir.path() / "second" / "c.txt");
    CoreManagerData core(coreDependencies());
    auto first = core.addFolder(root.string() + "/");
    EXPECT_EQ(core.addFolder(root.string()), first);  // one per folder, whatever the spelling
    core.addFolder((dir.path() / "second").string());
    EXPECT_EQ(core.balancedDataManagers().size(), 2u);
    EXPECT_EQ(first->folderDataDirectory(), dir.path() / "data" / folders::folderDataDirectory(dir.path() / "data", root.string()).filename());

    core.startAll();
    ASSERT_TRUE(core.directoryScanner().waitUntilIdle(20s));
    EXPECT_EQ(first->itemCount(), 2u);
    EXPECT_EQ(core.balancedDataManager((dir.path() / "second").string())->itemCount(), 1u);
    ASSERT_TRUE(runner->waitForRuns(2));
    EXPECT_EQ(runner->lastSettings.priority, RunPriority::low);  // first scans run at low priority

    // The observer's handlers reach the coordinator.
    const auto added = file("later.txt");
    observer(root.string())->handlers.fileEvent(added.string());
    ASSERT_TRUE(first->waitUntilIdle(20s));
    EXPECT_TRUE(first->itemByPath(added.string()));

    SupportedFileTypesSqliteManager statistics(dir.path() / "data" / "types.sqlite3");
    ASSERT_TRUE(core.refreshFileTypeStatistics(statistics));
    const auto pdf = statistics.fileTypeItemFor("pdf");
    ASSERT_TRUE(pdf);
    EXPECT_EQ(pdf->fileCount, 1);
    EXPECT_TRUE(pdf->supported);
    EXPECT_FALSE(statistics.fileTypeItemFor("bin")->supported);

    FakeObserver* watched = observer(root.string());
    EXPECT_TRUE(core.removeFolder(root.string()));
    EXPECT_FALSE(core.removeFolder(root.string()));
    EXPECT_FALSE(core.balancedDataManager(root.string()));
    EXPECT_TRUE(first->isCancelled());
    EXPECT_EQ(watched->shutdowns.load(), 0);  // still referenced here
    ASSERT_TRUE(first->waitUntilIdle(20s));
    first.reset();  // the last reference: the coordinator and its observer go
}

}  // namespace
}  // namespace lumidex::folders::testing

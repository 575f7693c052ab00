// A running index for route tests: one searchable folder on disk, its coordinator inside a
// CoreManagerData over a private data directory, settings and diagnostics of the test's own, and a
// processing runner double that can hold its first run (a document "being processed") until released.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "api/api_routes.h"
#include "core/diagnostics_collector.h"
#include "core/settings/settings_keys.h"
#include "core/settings/settings_store.h"
#include "folders/coordinator/core_manager_data.h"
#include "storage/fts_sqlite.h"
#include "storage/fts_tools.h"
#include "support/temp_home.h"

namespace lumidex::api::testing {

using namespace std::chrono_literals;
using nlohmann::json;

// Saves every item complete with two pages; a text file gets the stored text `textOf(name)`.
class HoldingRunner : public folders::ProcessingRunner {
public:
    void run(folders::BalancedDataManager& manager, std::vector<NanItem> items,
             const folders::ProcessingRunSettings& settings) override {
        {
            std::unique_lock lock(mutex_);
            runs_.push_back(items);
            changed_.notify_all();
            if (holdFirstRun && runs_.size() == 1) {
                while (!released_ && !settings.cancellationToken.isCancelled()) changed_.wait_for(lock, 5ms);
            }
        }
        for (NanItem& item : items) {
            item.processingState = NanItemProcessingStates::complete;
            item.totalPageCount = 2;
            if (item.fileName.ends_with(".txt")) {
                storage::FtsDocument document;
                document.urlPath = item.urlString;
                document.fileName = item.fileName;
                document.combinedHash = item.combinedHash;
                document.originalText = storedText;
                document.foldedText = storage::FtsTools::fold(storedText);
                manager.ftsDatabaseBalancer().write(document);
            }
            manager.saveItem(item);
        }
    }
    bool waitForRuns(std::size_t count) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, 20s, [&] { return runs_.size() >= count; });
    }
    void release() {
        std::lock_guard lock(mutex_);
        released_ = true;
        changed_.notify_all();
    }
    std::vector<std::vector<NanItem>> runs() {
        std::lock_guard lock(mutex_);
        return runs_;
    }

    std::atomic<bool> holdFirstRun{false};
    std::string storedText = "Alpha, \"beta\"\nline two\f";  // page 2 has no text

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::vector<NanItem>> runs_;
    bool released_ = false;
};

class IndexFixture : public ::testing::Test {
protected:
    IndexFixture() {
        std::string pattern = "/dev/shm/lumidex-api-XXXXXX";
        // Coordinators create many SQLite files; memory-backed storage keeps the tests fast.
        if (std::filesystem::is_directory("/dev/shm") && ::mkdtemp(pattern.data())) {
            scratch = pattern;
        } else {
            fallback = std::make_unique<lumidex::testing::TempDir>();
            scratch = fallback->path();
        }
        root = scratch / "root";
        std::filesystem::create_directories(root);
        settingsStore = std::make_unique<SettingsStore>(scratch / "settings.json");
        settingsStore->setInt(SettingsKeys::searchIndexFoldingVersion(root.string()), 1);
    }
    ~IndexFixture() override {
        runner->release();
        core.reset();
        std::error_code ec;
        if (!fallback) std::filesystem::remove_all(scratch, ec);
    }

    void file(const std::string& name, const std::string& content = "x") {
        lumidex::testing::writeFile(root / name, content);
    }

    // Starts the folder and waits for its first scan and, when it has documents to read, for their
    // processing (unless held).
    void startIndex(bool expectProcessing = true) {
        folders::CoreManagerDataDependencies deps;
        deps.dataDirectory = scratch / "data";
        deps.settingsStore = settingsStore.get();
        deps.diagnostics = &diagnostics;
        deps.processingRunner = runner;
        core = std::make_unique<folders::CoreManagerData>(std::move(deps));
        core->addFolder(root.string());
        core->startAll();
        ASSERT_TRUE(core->directoryScanner().waitUntilIdle(20s));
        if (expectProcessing) {
            ASSERT_TRUE(runner->waitForRuns(1));
        }
        if (!runner->holdFirstRun) {
            ASSERT_TRUE(manager()->waitUntilIdle(20s));
        }

        services.core = core.get();
        services.settings = settingsStore.get();
        services.diagnostics = &diagnostics;
        services.actualPort = [] { return uint16_t{44478}; };
        registerProcessingSettingsStatusRoutes(router, services);
    }

    std::shared_ptr<folders::BalancedDataManager> manager() { return core->balancedDataManager(root.string()); }
    std::string idOf(const std::string& name) {
        return std::to_string(manager()->itemByPath((root / name).string())->combinedHash);
    }

    ApiResponse call(HttpMethod method, std::string path, std::optional<std::string> body = std::nullopt) {
        ApiRequest request;
        request.method = method;
        if (const auto query = path.find('?'); query != std::string::npos) {
            const std::string text = path.substr(query + 1);
            path.resize(query);
            const auto equals = text.find('=');
            request.queryParameters[text.substr(0, equals)] = equals == std::string::npos ? "" : text.substr(equals + 1);
        }
        request.path = std::move(path);
        request.body = std::move(body);
        return router.handle(std::move(request));
    }
    json callJson(HttpMethod method, const std::string& path, std::optional<std::string> body = std::nullopt,
                  int expectedStatus = 200) {
        const ApiResponse response = call(method, path, std::move(body));
        EXPECT_EQ(response.statusCode, expectedStatus) << path << ": " << response.body.value_or("");
        return json::parse(response.body.value_or("null"));
    }
    // The message of an error answer, after checking its status and code.
    std::string refusal(HttpMethod method, const std::string& path, std::optional<std::string> body, int status,
                        const std::string& code) {
        const json answer = callJson(method, path, std::move(body), status);
        EXPECT_EQ(answer["error"]["code"], code) << path;
        return answer["error"]["message"].get<std::string>();
    }

    std::filesystem::path scratch;
    std::unique_ptr<lumidex::testing::TempDir> fallback;
    std::filesystem::path root;
    std::unique_ptr<SettingsStore> settingsStore;
    DiagnosticsCollector diagnostics;
    std::shared_ptr<HoldingRunner> runner = std::make_shared<HoldingRunner>();
    std::unique_ptr<folders::CoreManagerData> core;
    ApiServices services;
    ApiRouter router;
};

}  // namespace lumidex::api::testing

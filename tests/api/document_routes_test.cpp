// The search, document and folder routes through the router, over an index built by the real folder
// coordinator from small text files (a stand-in runner stores each file's text as the processing does).
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <stdlib.h>

#include "api/api_routes.h"
#include "core/hashing.h"
#include "folders/coordinator/core_manager_data.h"
#include "folders/registry/security_bookmarks.h"
#include "processing/recognition/save_nan_images_helper.h"
#include "search/coordinator_folder_index.h"
#include "service/document_service.h"
#include "service/folder_service.h"
#include "service/search_service.h"
#include "storage/fts_tools.h"
#include "support/temp_home.h"

namespace lumidex::api {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using nlohmann::json;

// Stores each text file's content in the full-text store and marks it complete; "scan.txt" also gets
// recognised rectangles on its first two pages.
class TextRunner : public folders::ProcessingRunner {
public:
    void run(folders::BalancedDataManager& manager, std::vector<NanItem> items,
             const folders::ProcessingRunSettings&) override {
        for (NanItem& item : items) {
            const std::string text = lumidex::testing::readFile(item.urlString);
            storage::FtsDocument row{item.urlString, item.fileName, item.combinedHash, storage::FtsTools::fold(text),
                                     text, item.fileCreatedDate, item.fileModifiedDate, item.fileContentCreatedDate};
            ASSERT_TRUE(manager.ftsDatabaseBalancer().write(row));
            if (item.fileName == "scan.txt") {
                std::vector<OcrRect> rects;
                for (int64_t page : {0, 1, 1}) {
                    OcrRect rect;
                    rect.id = Uuid::random();
                    rect.combinedHash = item.combinedHash;
                    rect.pageIndex = page;
                    rect.ocrContent = "line" + std::to_string(page);
                    rect.p0x = 0.1, rect.p0y = 0.2, rect.p1x = 0.9, rect.p1y = 0.2;
                    rect.p2x = 0.9, rect.p2y = 0.3, rect.p3x = 0.1, rect.p3y = 0.3;
                    rects.push_back(rect);
                }
                ASSERT_TRUE(manager.ocrRectsDatabaseBalancer().createOcrRectItem(rects));
            }
            item.processingState = NanItemProcessingStates::complete;
            item.totalPageCount = item.fileName == "scan.txt" ? 2 : 1;
            manager.saveItem(item);
        }
    }
};

void writeDated(const fs::path& file, const std::string& text, const char* modified) {
    lumidex::testing::writeFile(file, text);
    const auto date = parseIso8601(modified).value();
    fs::last_write_time(file, std::chrono::file_clock::from_sys(
                                  std::chrono::time_point_cast<std::chrono::system_clock::duration>(date)));
}

// In memory when the machine has /dev/shm: the stores sync every shard file they create, which on a
// disk costs seconds.
class MemoryDir {
public:
    MemoryDir() {
        const fs::path base = fs::is_directory("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path();
        std::string pattern = (base / "lumidex-api-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        path_ = pattern;
    }
    ~MemoryDir() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    fs::path operator/(const std::string& name) const { return path_ / name; }

private:
    fs::path path_;
};

// One index for the whole suite: building it costs more than all the requests together. Tests that
// change it work on documents and folders of their own.
class DocumentRoutes : public ::testing::Test {
protected:
    static void SetUpTestSuite() { world = new World(); }
    static void TearDownTestSuite() {
        delete world;
        world = nullptr;
    }

    struct World {
        MemoryDir dir;
        fs::path docs = dir / "docs";
        fs::path other = dir / "other";
        fs::path ungranted = dir / "ungranted";
        fs::path later = dir / "later";
        std::unique_ptr<folders::CoreManagerData> core;
        folders::SecurityBookmarks bookmarks{dir / "data"};
        std::unique_ptr<service::SearchService> search;
        std::unique_ptr<service::DocumentService> documents;
        std::unique_ptr<service::FolderService> folders;
        ApiServices services;
        ApiRouter router;

        World() {
            writeDated(docs / "Invoice-2024.txt", "kangaroo invoice total", "2024-02-29T23:59:59Z");
            writeDated(docs / "apple notes.txt", "kangaroo kangaroo kangaroo notes", "2024-03-01T00:00:00Z");
            writeDated(docs / "Banana.txt", "kangaroo banana", "2023-01-01T12:00:00Z");
            writeDated(docs / "scan.txt", "scanned wombat letter", "2022-06-01T08:00:00Z");
            writeDated(docs / "drop-one.txt", "platypus one", "2021-01-01T00:00:00Z");
            writeDated(docs / "drop-two.txt", "platypus two", "2021-01-02T00:00:00Z");
            writeDated(docs / "drop-three.txt", "platypus three", "2021-01-03T00:00:00Z");
            writeDated(other / "x.txt", "other folder text", "2021-01-01T00:00:00Z");
            fs::create_directories(ungranted);
            fs::create_directories(later);

            folders::CoreManagerDataDependencies deps;
            deps.dataDirectory = dir / "data";
            deps.processingRunner = std::make_shared<TextRunner>();
            core = std::make_unique<folders::CoreManagerData>(std::move(deps));
            for (const fs::path& folder : {docs, other}) {
                EXPECT_TRUE(bookmarks.add(folder.string()));
                auto manager = core->addFolder(folder.string());
                manager->start();
                manager->fullScan();
                EXPECT_TRUE(manager->waitUntilIdle(60s));
            }
            search = std::make_unique<service::SearchService>(search::coordinatorFolderList(*core));
            documents = std::make_unique<service::DocumentService>(*core);
            folders = std::make_unique<service::FolderService>(
                bookmarks, folders::ProtectedFolders::forCurrentUser(dir / "data"), core.get());
            services.core = core.get();
            services.searchService = search.get();
            services.documentService = documents.get();
            services.folderService = folders.get();
            services.actualPort = [] { return uint16_t{44478}; };
            registerSearchDocumentFolderRoutes(router, services);
        }
    };
    static inline World* world = nullptr;

    struct Answer {
        int status = 0;
        json body;
        std::string raw;
        std::map<std::string, std::string> headers;
    };

    static Answer call(HttpMethod method, const std::string& target, std::optional<std::string> body = std::nullopt) {
        ApiRequest request;
        request.method = method;
        const size_t question = target.find('?');
        request.path = target.substr(0, question);
        if (question != std::string::npos) {
            std::string query = target.substr(question + 1);
            for (size_t start = 0; start <= query.size();) {
                const size_t end = std::min(query.find('&', start), query.size());
                const std::string piece = query.substr(start, end - start);
                const size_t equals = piece.find('=');
                request.queryParameters[piece.substr(0, equals)] =
                    equals == std::string::npos ? std::string() : piece.substr(equals + 1);
                start = end + 1;
            }
        }
        request.body = std::move(body);
        const ApiResponse response = world->router.handle(request);
        Answer answer{response.statusCode, json(), response.body.value_or(""), response.headers};
        if (!answer.raw.empty() && !answer.headers.contains("Content-Type")) answer.body = json::parse(answer.raw);
        return answer;
    }
    static Answer searchFor(const json& body) { return call(HttpMethod::post, "/api/v1/search", body.dump()); }
    static std::vector<std::string> names(const Answer& answer) {
        std::vector<std::string> result;
        for (const json& item : answer.body["results"]) result.push_back(item["file_name"]);
        return result;
    }
    static std::string idOf(const fs::path& file) {
        for (const auto& manager : world->core->balancedDataManagers()) {
            if (auto item = manager->itemByPath(file.string())) return std::to_string(item->combinedHash);
        }
        return "missing";
    }
    static void expectError(const Answer& answer, int status, const std::string& code, const std::string& message) {
        EXPECT_EQ(answer.status, status) << answer.raw;
        EXPECT_EQ(answer.body["error"]["code"], code) << answer.raw;
        EXPECT_EQ(answer.body["error"]["message"], message) << answer.raw;
    }
};

TEST_F(DocumentRoutes, HealthAndInfo) {
    const Answer health = call(HttpMethod::get, "/api/v1/health");
    EXPECT_EQ(health.raw.substr(0, 17), R"({"status":"ok","v)") << "fields in record order";
    EXPECT_GE(health.body["uptime"].get<double>(), 0.0);
    const Answer info = call(HttpMethod::get, "/api/v1/info");
    EXPECT_EQ(info.body["port"], 44478);
    EXPECT_EQ(info.body["version"], health.body["version"]);
    EXPECT_NE(info.body["build_timestamp"].get<std::string>().find('T'), std::string::npos);
}

TEST_F(DocumentRoutes, SearchRefusesBadBodiesAndShortQueries) {
    const auto invalidBody = [](const Answer& answer) {
        EXPECT_EQ(answer.status, 400);
        EXPECT_EQ(answer.body["error"]["message"].get<std::string>().rfind("Invalid JSON body: ", 0), 0u) << answer.raw;
    };
    invalidBody(call(HttpMethod::post, "/api/v1/search"));
    invalidBody(call(HttpMethod::post, "/api/v1/search", "{\"query\": "));
    invalidBody(searchFor({{"limit", 5}}));
    invalidBody(searchFor({{"query", "kangaroo"}, {"limit", "5"}}));
    invalidBody(searchFor({{"query", "kangaroo"}, {"folders", "/x"}}));
    expectError(searchFor({{"query", "ab"}}), 400, "bad_request", "Query must be at least 3 characters");
    // Three user-perceived characters, six code points.
    EXPECT_EQ(searchFor({{"query", "e\u0301e\u0301e\u0301"}}).status, 200);
    EXPECT_EQ(searchFor({{"query", "kan"}, {"limit", nullptr}}).status, 200) << "null means not given";
    EXPECT_TRUE(searchFor({{"query", "kangaroo"}, {"folders", {"/nowhere"}}}).body["results"].empty());

    folders::CoreManagerDataDependencies deps;
    deps.dataDirectory = world->dir / "empty-data";
    folders::CoreManagerData empty(std::move(deps));
    ApiServices services;
    services.core = &empty;
    services.folderService = world->folders.get();
    ApiRouter router;
    registerSearchDocumentFolderRoutes(router, services);
    ApiRequest request;
    request.method = HttpMethod::post;
    request.path = "/api/v1/search";
    request.body = R"({"query":"kangaroo"})";
    const ApiResponse response = router.handle(request);
    EXPECT_EQ(response.statusCode, 400);
    EXPECT_EQ(json::parse(*response.body)["error"]["message"], "No search folders available");
}

TEST_F(DocumentRoutes, SearchSortsPagesAndWritesRecords) {
    const Answer newest = searchFor({{"query", "kangaroo"}, {"sort_order", "NEWEST"}});
    ASSERT_EQ(newest.status, 200) << newest.raw;
    EXPECT_EQ(names(newest), (std::vector<std::string>{"apple notes.txt", "Invoice-2024.txt", "Banana.txt"}));
    EXPECT_EQ(names(searchFor({{"query", "kangaroo"}, {"sort_order", "sideways"}})), names(newest));
    EXPECT_EQ(names(searchFor({{"query", "kangaroo"}, {"sort_order", "oldest"}})),
              (std::vector<std::string>{"Banana.txt", "Invoice-2024.txt", "apple notes.txt"}));
    EXPECT_EQ(names(searchFor({{"query", "kangaroo"}, {"sort_order", "relevance"}})).front(), "apple notes.txt");
    EXPECT_EQ(names(searchFor({{"query", "kangaroo"}, {"sort_order", "name_asc"}})),
              (std::vector<std::string>{"apple notes.txt", "Banana.txt", "Invoice-2024.txt"}))
        << "names compare lower-cased";
    EXPECT_EQ(names(searchFor({{"query", "kangaroo"}, {"sort_order", "Z2A"}})).front(), "Invoice-2024.txt");

    const Answer second = searchFor({{"query", "kangaroo"}, {"limit", 1}, {"offset", 1}});
    EXPECT_EQ(names(second), std::vector<std::string>{"Invoice-2024.txt"});
    EXPECT_EQ(second.body["total_count"], 3);
    const Answer past = searchFor({{"query", "kangaroo"}, {"offset", 10}});
    EXPECT_TRUE(past.body["results"].empty());
    EXPECT_EQ(past.body["total_count"], 3);
    EXPECT_TRUE(searchFor({{"query", "kangaroo"}, {"offset", INT64_MAX}, {"limit", INT64_MAX}}).body["results"].empty());
    EXPECT_EQ(searchFor({{"query", "kangaroo"}, {"limit", 1000}}).body["results"].size(), 3u);

    const json& invoice = second.body["results"][0];
    EXPECT_EQ(invoice["id"], idOf(world->docs / "Invoice-2024.txt"));
    EXPECT_EQ(invoice["file_type"], "txt");
    EXPECT_EQ(invoice["modified_at"], "2024-02-29T23:59:59Z");
    EXPECT_EQ(invoice["page_count"], 1);
    EXPECT_EQ(invoice["source_type"], "filesystem");
    EXPECT_TRUE(invoice["snippet"].is_string());
    EXPECT_TRUE(invoice["mail_subject"].is_null());
    EXPECT_EQ(second.body["query"], "kangaroo");
    EXPECT_TRUE(second.body["duration_ms"].is_number_integer());
    EXPECT_TRUE(searchFor({{"query", "kangaroo"}, {"include_snippets", false}}).body["results"][0]["snippet"].is_null());

    EXPECT_TRUE(searchFor({{"query", "kangaroo"}, {"source_types", {"apple_mail"}}}).body["results"].empty());
    EXPECT_TRUE(searchFor({{"query", "kangaroo"}, {"source_types", json::array()}}).body["results"].empty());
    EXPECT_EQ(searchFor({{"query", "kangaroo"}, {"source_types", {"filesystem"}}}).body["total_count"], 3);
    EXPECT_EQ(searchFor({{"query", "kangaroo"}, {"folders", {"file://" + world->docs.string() + "/"}}})
                  .body["total_count"], 3);
}

TEST_F(DocumentRoutes, ConcurrentSearchesGiveTheSameAnswer) {
    const std::vector<std::string> expected = names(searchFor({{"query", "kangaroo"}}));
    std::atomic<int> mismatches{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 10; ++i) {
                if (names(searchFor({{"query", "kangaroo"}})) != expected) ++mismatches;
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(mismatches.load(), 0);
}

TEST_F(DocumentRoutes, DateFilterIncludesTheWholeLastDay) {
    const auto dated = [](json filter) {
        return names(searchFor({{"query", "kangaroo"}, {"sort_order", "oldest"}, {"date_filter", std::move(filter)}}));
    };
    EXPECT_EQ(dated({{"field", "modified"}, {"from", "2024-01-01"}, {"to", "2024-02-29"}}),
              std::vector<std::string>{"Invoice-2024.txt"});
    EXPECT_EQ(dated({{"field", "modified"}, {"from", "2024-03-01"}}), std::vector<std::string>{"apple notes.txt"});
    EXPECT_EQ(dated({{"field", "modified"}, {"to", "2023-12-31"}}), std::vector<std::string>{"Banana.txt"});
    EXPECT_EQ(dated({{"field", "modified"}, {"from", "2024-02-30"}, {"to", "yesterday"}}).size(), 3u)
        << "unparsable days are left out";
}

TEST_F(DocumentRoutes, DocumentIdsMetadataTextAndRectangles) {
    for (const char* id : {"abc", "4294967296", "-1", "+5"}) {
        expectError(call(HttpMethod::get, std::string("/api/v1/documents/") + id), 400, "bad_request", "Invalid document ID");
    }
    expectError(call(HttpMethod::get, "/api/v1/documents/12345/text"), 404, "not_found", "Document not found");

    const std::string scan = "/api/v1/documents/" + idOf(world->docs / "scan.txt");
    const Answer metadata = call(HttpMethod::get, scan);
    ASSERT_EQ(metadata.status, 200) << metadata.raw;
    EXPECT_EQ(metadata.body["processing_state"], "completed");
    EXPECT_EQ(metadata.body["file_size"], 21);
    EXPECT_EQ(metadata.body["page_count"], 2);
    EXPECT_EQ(metadata.body["ocr_text_available"], true);
    EXPECT_EQ(metadata.body["modified_at"], "2022-06-01T08:00:00Z");
    EXPECT_EQ(metadata.body["folder"]["id"], std::to_string(fnv1a32(world->docs.string())));
    EXPECT_EQ(metadata.body["folder"]["path"], world->docs.string());

    const Answer text = call(HttpMethod::get, scan + "/text");
    EXPECT_EQ(text.body["pages"], json::parse(R"([{"page":1,"text":"scanned wombat letter"}])"));
    EXPECT_EQ(text.body["page_count"], 2);
    EXPECT_EQ(call(HttpMethod::get, scan + "/text?page=0").status, 400);

    const Answer rects = call(HttpMethod::get, scan + "/ocr-rects");
    ASSERT_EQ(rects.body["pages"].size(), 2u) << rects.raw;
    EXPECT_EQ(rects.body["pages"][0]["page"], 1) << "pages count from 1";
    EXPECT_EQ(rects.body["pages"][1]["rects"].size(), 2u);
    EXPECT_EQ(rects.body["pages"][1]["rects"][0]["text"], "line1");
    EXPECT_EQ(rects.body["pages"][0]["rects"][0]["points"], json::parse("[[0.1,0.2],[0.9,0.2],[0.9,0.3],[0.1,0.3]]"));
    const Answer secondPage = call(HttpMethod::get, scan + "/ocr-rects?page=2");
    ASSERT_EQ(secondPage.body["pages"].size(), 1u);
    EXPECT_EQ(secondPage.body["pages"][0]["page"], 2);
}

TEST_F(DocumentRoutes, ThumbnailsComeFromTheStoredPreviews) {
    const fs::path file = world->docs / "Banana.txt";
    const std::string url = "/api/v1/documents/" + idOf(file) + "/thumbnail";
    expectError(call(HttpMethod::get, url), 404, "not_found", "Thumbnail not available for page 1");

    const auto document = world->documents->find(static_cast<uint32_t>(std::stoul(idOf(file)))).value();
    const fs::path data = document.folder->folderDataDirectory();
    const std::string key = processing::SaveNanImagesHelper::imageKey(document.item);
    const std::string png = std::string("\x89PNG\r\n\x1a\n", 8) + "rest of the image";
    lumidex::testing::writeFile(data / processing::SaveNanImagesHelper::thumbnailFileName(key, 1), png);
    lumidex::testing::writeFile(data / processing::SaveNanImagesHelper::thumbnailFileName(key, 0), "GIF89a");

    const Answer second = call(HttpMethod::get, url + "?page=2");
    EXPECT_EQ(second.status, 200);
    EXPECT_EQ(second.headers.at("Content-Type"), "image/png");
    EXPECT_EQ(second.raw, png);
    expectError(call(HttpMethod::get, url), 500, "internal_error", "Failed to encode thumbnail as PNG");
    expectError(call(HttpMethod::get, url + "?page=3"), 404, "not_found", "Thumbnail not available for page 3");
}

TEST_F(DocumentRoutes, DeletionRemovesIndexEntriesNeverFiles) {
    const std::string one = idOf(world->docs / "drop-one.txt");
    const std::string two = idOf(world->docs / "drop-two.txt");
    const std::string three = idOf(world->docs / "drop-three.txt");

    json tooMany = json::array();
    for (int i = 0; i < 100; ++i) tooMany.push_back(std::to_string(i + 1));
    tooMany.push_back(one);
    expectError(call(HttpMethod::post, "/api/v1/documents/bulk/delete", json{{"document_ids", tooMany}}.dump()), 400,
                "bad_request", "Maximum 100 document IDs per request");
    EXPECT_EQ(call(HttpMethod::get, "/api/v1/documents/" + one).status, 200) << "a refused request deletes nothing";

    const Answer bulk = call(HttpMethod::post, "/api/v1/documents/bulk/delete",
                             json{{"document_ids", {one, "12345", "abc", std::stoul(two)}}}.dump());
    ASSERT_EQ(bulk.status, 200) << bulk.raw;
    EXPECT_EQ(bulk.body["removed"], json({one, two}));
    EXPECT_EQ(bulk.body["not_found"], json({"12345", "abc"}));

    const Answer single = call(HttpMethod::delete_, "/api/v1/documents/" + three);
    EXPECT_EQ(single.status, 200);
    EXPECT_EQ(single.body["message"], "Document removed from index");
    expectError(call(HttpMethod::delete_, "/api/v1/documents/" + three), 404, "not_found", "Document not found");
    EXPECT_TRUE(names(searchFor({{"query", "platypus"}})).empty());
    EXPECT_TRUE(fs::exists(world->docs / "drop-one.txt") && fs::exists(world->docs / "drop-three.txt"));
}

TEST_F(DocumentRoutes, FolderListContentsAndStats) {
    const Answer list = call(HttpMethod::get, "/api/v1/folders");
    json docs;
    for (const json& folder : list.body["folders"]) {
        if (folder["path"] == world->docs.string()) docs = folder;
    }
    ASSERT_FALSE(docs.is_null()) << list.raw;
    EXPECT_EQ(docs["id"], std::to_string(fnv1a32(world->docs.string())));
    EXPECT_EQ(docs["name"], "docs");
    EXPECT_EQ(docs["type"], "searchable");

    const std::string folder = "/api/v1/folders/" + docs["id"].get<std::string>();
    const Answer page = call(HttpMethod::get, folder + "/contents?offset=1&limit=2");
    EXPECT_EQ(page.body["items"].size(), 2u);
    const int64_t total = page.body["total_count"];
    EXPECT_GE(total, 4);
    EXPECT_EQ(page.body["items"][0]["is_directory"], false);
    EXPECT_EQ(page.body["items"][0]["processing_state"], "completed");
    EXPECT_EQ(page.body["path"], world->docs.string());

    const Answer stats = call(HttpMethod::get, folder + "/stats");
    EXPECT_EQ(stats.body["total_files"], total);
    EXPECT_EQ(stats.body["by_state"], json({{"completed", total}}));
    expectError(call(HttpMethod::get, "/api/v1/folders/12345/stats"), 404, "not_found", "Folder not found");
}

TEST_F(DocumentRoutes, AddingNeedsGrantedAccessAndRemovingKeepsFiles) {
    const auto add = [](const json& body) { return call(HttpMethod::post, "/api/v1/folders", body.dump()); };
    expectError(add({{"path", world->ungranted.string()}}), 403, "forbidden",
                "No security bookmark for this path. Add the folder via the app UI first.");
    EXPECT_EQ(add({{"path", "relative/docs"}}).status, 400);
    EXPECT_EQ(add({{"path", world->later.string()}, {"type", "shared"}}).status, 400);

    // Granted (by a person, e.g. on the command line) but not running yet: the route starts it.
    ASSERT_TRUE(world->bookmarks.add(world->later.string()));
    const Answer added = add({{"path", world->later.string() + "/"}});
    EXPECT_EQ(added.status, 201) << added.raw;
    EXPECT_EQ(added.body["id"], std::to_string(fnv1a32(world->later.string())));
    EXPECT_NE(world->core->balancedDataManager(world->later.string()), nullptr);

    const std::string other = "/api/v1/folders/" + std::to_string(fnv1a32(world->other.string()));
    EXPECT_EQ(call(HttpMethod::delete_, other).status, 200);
    expectError(call(HttpMethod::delete_, other), 404, "not_found", "Folder not found");
    EXPECT_EQ(world->core->balancedDataManager(world->other.string()), nullptr);
    EXPECT_TRUE(fs::exists(world->other / "x.txt"));
    EXPECT_EQ(world->bookmarks.check(world->other.string()), SecurityBookmarkStates::noSecurityBookmark);
}

}  // namespace
}  // namespace lumidex::api

// Storage benchmark: fills one folder's 20 full-text shards with generated German and English
// documents and compares the sharded search with one plain FTS4 table holding the same rows.
//
//   storage_bench [--documents N] [--dir PATH]
//
// Prints one table: insert throughput, folding throughput, and search latency p50/p99 over 50 queries
// for the 20-shard fan-out (snippets and match counts) and for the single-table floor.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "core/concurrency/thread_pool.h"
#include "platform/sqlite.h"
#include "storage/fts_balancer.h"
#include "storage/fts_tools.h"

using namespace lumidex;
using namespace lumidex::storage;
using Clock = std::chrono::steady_clock;

namespace {

// Deterministic across platforms: no std distributions.
struct Random {
    uint64_t state;
    uint32_t next() {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return static_cast<uint32_t>(state >> 16);
    }
    size_t below(size_t n) { return next() % n; }
    // Roughly Zipf-shaped: small indexes are much more frequent.
    size_t skewed(size_t n) {
        const double u = (next() % 1000000) / 1000000.0;
        return std::min(n - 1, static_cast<size_t>(static_cast<double>(n) * u * u * u));
    }
};

const std::vector<std::string>& vocabulary() {
    static const std::vector<std::string> words = [] {
        std::vector<std::string> w = {
            "der", "die", "und", "in", "den", "von", "zu", "das", "mit", "sich", "des", "auf", "für", "ist", "im",
            "dem", "nicht", "ein", "eine", "als", "auch", "es", "an", "werden", "aus", "er", "hat", "dass", "sie",
            "nach", "wird", "bei", "einer", "um", "am", "sind", "noch", "wie", "einem", "über", "so", "zum", "the",
            "of", "and", "to", "a", "in", "is", "that", "for", "it", "as", "was", "with", "be", "by", "on", "not",
            "this", "are", "or", "from", "at", "which", "but", "have", "an", "they", "you", "were", "their", "one",
            "Rechnung", "Rechnungsnummer", "Betrag", "Zahlung", "Überweisung", "Mehrwertsteuer", "Kunde",
            "Lieferung", "Vertrag", "Kündigung", "Versicherung", "Steuererklärung", "Finanzamt", "Bescheid",
            "Mietvertrag", "Nebenkosten", "Abrechnung", "Gehalt", "Lohnsteuer", "Krankenkasse", "Arzt",
            "Größe", "Straße", "Müller", "Schröder", "Bäckerei", "Gebühr", "Frist", "Mahnung", "Angebot",
            "invoice", "payment", "contract", "insurance", "receipt", "account", "balance", "statement",
            "delivery", "customer", "order", "shipping", "tax", "return", "salary", "doctor", "appointment",
            "meeting", "project", "report", "quarter", "budget", "forecast", "revenue", "expenses", "policy",
            "München", "Köln", "Düsseldorf", "Zürich", "Berlin", "Hamburg", "London", "Boston", "Café",
            "Januar", "Februar", "März", "April", "Mai", "Juni", "Juli", "August", "September", "Oktober",
            "November", "Dezember", "Montag", "Dienstag", "Mittwoch", "Donnerstag", "Freitag",
        };
        // A long tail of rarer, made-up compound words gives selective queries something to find.
        static const char* parts[] = {"haus", "bau", "werk", "amt", "geld", "zeit", "land", "stadt", "buch",
                                      "post", "bahn", "netz", "feld", "berg", "wald", "see", "hof", "markt"};
        for (const char* a : parts)
            for (const char* b : parts)
                for (const char* c : {"ung", "er", "ling", "heit"}) w.push_back(std::string(a) + b + c);
        return w;
    }();
    return words;
}

std::string makeText(Random& random, size_t bytes) {
    const auto& words = vocabulary();
    std::string text;
    text.reserve(bytes + 64);
    size_t sentence = 0;
    while (text.size() < bytes) {
        if (random.below(20) == 0) {
            text += "RE-" + std::to_string(10000 + random.below(90000)) + " ";
        } else if (random.below(25) == 0) {
            text += std::to_string(random.below(10000)) + "," + std::to_string(10 + random.below(90)) + " € ";
        } else {
            text += words[random.skewed(words.size())];
            text += ++sentence % 12 == 0 ? ". " : " ";
        }
    }
    return text;
}

double percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size())))];
}

std::vector<SearchParameters> makeQueries() {
    const char* texts[] = {
        "rech", "Rechnung", "rechnungsnummer", "Müller", "mueller", "straße", "überweisung", "invoice",
        "payment contract", "insurance policy", "\"der Kunde\"", "\"the customer\"", "mahnung -angebot",
        "steuer -finanzamt", "hausbauung", "geldzeitheit", "postbahnling", "waldseeer", "hofmarktung",
        "berlin hamburg", "köln düsseldorf", "zürich", "café", "januar", "\"rechnung betrag\"", "RE-4",
        "re-12345", "quarter report", "budget forecast", "revenue -expenses", "lohnsteuer krankenkasse",
        "arzt appointment", "mietvertrag nebenkosten", "kündigung frist", "lieferung shipping", "amtgeld",
        "stadtbuchung", "netzfelder", "bergwaldheit", "seehofling", "marktpostung", "bahnnetzer",
        "feldbergling", "buchstadtheit", "zeitlandung", "werkamter", "baugeldung", "hauswerkling",
    };
    std::vector<SearchParameters> queries;
    for (const char* t : texts) {
        SearchParameters p;
        p.searchText = t;
        queries.push_back(p);
    }
    // Date ranges, with and without words.
    for (int i = 0; i < 2; ++i) {
        SearchParameters p;
        p.searchText = i == 0 ? "vertrag" : "";
        p.startDate = dateFromSecondsSince1970(1.6e9);
        p.endDate = dateFromSecondsSince1970(1.6e9 + 86400.0 * 30);
        queries.push_back(p);
    }
    return queries;
}

}  // namespace

int main(int argc, char** argv) {
    size_t documentCount = 100000;
    std::filesystem::path dir = std::filesystem::temp_directory_path() / "lumidex-storage-bench";
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--documents") == 0) documentCount = std::stoul(argv[i + 1]);
        if (std::strcmp(argv[i], "--dir") == 0) dir = argv[i + 1];
    }
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);

    Random random{0x9E3779B97F4A7C15ull};
    std::vector<FtsDocument> documents(documentCount);
    std::vector<std::string> rawTexts(documentCount);
    size_t rawBytes = 0;
    for (size_t i = 0; i < documentCount; ++i) {
        rawTexts[i] = makeText(random, 2000);
        rawBytes += rawTexts[i].size();
        FtsDocument& d = documents[i];
        d.combinedHash = random.next() ^ static_cast<uint32_t>(i * 2654435761u);
        d.fileName = "Dokument_" + std::to_string(i) + ".pdf";
        d.urlPath = "/home/anna/Dokumente/Ordner" + std::to_string(i % 50) + "/" + d.fileName;
        const double modified = 1.5e9 + static_cast<double>(random.below(200000000));
        d.modificationDate = dateFromSecondsSince1970(modified);
        d.creationDate = dateFromSecondsSince1970(modified - 1000);
        d.contentCreated = dateFromSecondsSince1970(modified - 2000);
    }

    // Folding throughput over all generated text.
    auto t0 = Clock::now();
    for (size_t i = 0; i < documentCount; ++i) documents[i].foldedText = FtsTools::fold(rawTexts[i]);
    const double foldSeconds = std::chrono::duration<double>(Clock::now() - t0).count();

    // Inserts through the store API, in batches of 1000 as the coordinator writes them.
    SqliteFtsDatabaseBalancer fts(dir / "folder");
    t0 = Clock::now();
    for (size_t start = 0; start < documentCount; start += 1000) {
        std::vector<FtsDocument> batch(documents.begin() + static_cast<long>(start),
                                       documents.begin() + static_cast<long>(std::min(documentCount, start + 1000)));
        fts.write(batch);
    }
    const double insertSeconds = std::chrono::duration<double>(Clock::now() - t0).count();

    // One-at-a-time writes, as single file events produce them.
    SqliteFtsDatabaseBalancer single(dir / "single-writes");
    const size_t singleCount = std::min<size_t>(5000, documentCount);
    t0 = Clock::now();
    for (size_t i = 0; i < singleCount; ++i) single.write(documents[i]);
    const double singleSeconds = std::chrono::duration<double>(Clock::now() - t0).count();

    // The floor: the same rows in one FTS4 table, queried directly with the same SQL.
    std::string error;
    t0 = Clock::now();
    auto flat = platform::SqliteDatabase::open(dir / "flat.sqlite", error);
    flat->exec("PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;", error);
    flat->exec("CREATE VIRTUAL TABLE ftsVirtualTable USING fts4(content, combinedHash, urlPath, fileName, "
               "creationDate, modificationDate, contentCreated)",
               error);
    {
        platform::SqliteTransaction tx(*flat);
        auto insert = flat->prepare("INSERT INTO ftsVirtualTable VALUES (?, ?, ?, ?, ?, ?, ?)", error);
        for (const FtsDocument& d : documents) {
            insert->reset();
            const std::string content = d.foldedText + " " + FtsTools::fold(d.urlPath) + " " + FtsTools::fold(d.fileName);
            insert->bind(1, std::string_view(content));
            insert->bind(2, static_cast<int64_t>(d.combinedHash));
            insert->bind(3, std::string_view(d.urlPath));
            insert->bind(4, std::string_view(d.fileName));
            insert->bind(5, secondsSince1970(d.creationDate));
            insert->bind(6, secondsSince1970(d.modificationDate));
            insert->bind(7, secondsSince1970(d.contentCreated));
            insert->run();
        }
        tx.commit();
    }
    const double flatInsertSeconds = std::chrono::duration<double>(Clock::now() - t0).count();

    const auto queries = makeQueries();
    const int64_t limit = 250;
    std::vector<double> shardedMs, flatMs;
    size_t shardedRows = 0, flatRows = 0;
    for (int round = 0; round < 2; ++round) {  // the first round warms the caches
        shardedMs.clear();
        flatMs.clear();
        shardedRows = flatRows = 0;
        for (const SearchParameters& q : queries) {
            auto s0 = Clock::now();
            shardedRows += fts.search(q, limit, true, true).size();
            shardedMs.push_back(std::chrono::duration<double, std::milli>(Clock::now() - s0).count());

            s0 = Clock::now();
            if (auto statement = FtsTools::buildSelect(q, limit, true, true)) {
                auto select = flat->prepare(statement->sql, error);
                for (size_t i = 0; i < statement->textBindings.size(); ++i) {
                    select->bind(static_cast<int>(i + 1), std::string_view(statement->textBindings[i]));
                }
                while (select->step() == platform::SqliteStatement::Step::row) {
                    const auto blob = select->blobAt(7);
                    FtsTools::matchCount(blob.data(), blob.size());
                    ++flatRows;
                }
            }
            flatMs.push_back(std::chrono::duration<double, std::milli>(Clock::now() - s0).count());
        }
    }

    const double mb = static_cast<double>(rawBytes) / 1e6;
    std::printf("| measure | value |\n|---|---|\n");
    std::printf("| documents | %zu (%.1f MB of text) |\n", documentCount, mb);
    std::printf("| folding | %.1f MB/s |\n", mb / foldSeconds);
    std::printf("| insert, batches of 1000 (20 shards) | %.0f documents/s |\n",
                static_cast<double>(documentCount) / insertSeconds);
    std::printf("| insert, one document per call | %.0f documents/s |\n", static_cast<double>(singleCount) / singleSeconds);
    std::printf("| insert, one table in one transaction (floor) | %.0f documents/s |\n",
                static_cast<double>(documentCount) / flatInsertSeconds);
    std::printf("| search p50, 20 shards (snippets, match counts) | %.2f ms |\n", percentile(shardedMs, 0.5));
    std::printf("| search p99, 20 shards | %.2f ms |\n", percentile(shardedMs, 0.99));
    std::printf("| search p50, one table (floor) | %.2f ms |\n", percentile(flatMs, 0.5));
    std::printf("| search p99, one table (floor) | %.2f ms |\n", percentile(flatMs, 0.99));
    std::printf("| rows returned (20 shards / floor) | %zu / %zu |\n", shardedRows, flatRows);
    std::printf("| queries | %zu, limit %lld |\n", queries.size(), static_cast<long long>(limit));
    ThreadPool::shared().shutdown();
    std::filesystem::remove_all(dir);
    return 0;
}

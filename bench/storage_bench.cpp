// Storage benchmark: fills one folder's 20 full-text shards with generated German and English
// documents and compares the sharded search with the same store code on one table holding every row.
//
//   storage_bench [--documents N] [--dir PATH] [--per-query]
//
// Prints one table: folding and insert throughput; search latency p50/p99 over 50 queries (prefix
// words, two-word queries, phrases, exclusions, invoice numbers, date ranges; limit 250, snippets and
// match counts) for the 20-shard fan-out and for the single-table floor, overall and per query class;
// the plain search statement on one table as a reference, and whether every store answer (rows, order,
// snippets, match counts) equals that statement's answer. --per-query adds one line per query.
//
// The vocabulary is small and skewed, so even the rarest generated word occurs in several percent of
// the documents: most queries hit the row limit, which makes these latencies an upper bound.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "core/concurrency/thread_pool.h"
#include "platform/sqlite.h"
#include "storage/fts_balancer.h"
#include "storage/fts_sqlite.h"
#include "storage/fts_tools.h"

using namespace lumidex;
using namespace lumidex::storage;
using SteadyClock = std::chrono::steady_clock;

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

struct BenchQuery {
    std::string queryClass;
    SearchParameters parameters;
};

std::vector<BenchQuery> makeQueries() {
    const std::pair<const char*, std::vector<const char*>> classes[] = {
        {"short prefix", {"rech"}},
        {"common word",
         {"Rechnung", "rechnungsnummer", "Müller", "mueller", "straße", "überweisung", "invoice", "zürich", "café",
          "januar"}},
        {"rarer word",
         {"hausbauung", "geldzeitheit", "postbahnling", "waldseeer", "hofmarktung", "amtgeld", "stadtbuchung",
          "netzfelder", "bergwaldheit", "seehofling", "marktpostung", "bahnnetzer", "feldbergling", "buchstadtheit",
          "zeitlandung", "werkamter", "baugeldung", "hauswerkling"}},
        {"two words",
         {"payment contract", "insurance policy", "berlin hamburg", "köln düsseldorf", "quarter report",
          "budget forecast", "lohnsteuer krankenkasse", "arzt appointment", "mietvertrag nebenkosten",
          "kündigung frist", "lieferung shipping"}},
        {"phrase", {"\"der Kunde\"", "\"the customer\"", "\"rechnung betrag\""}},
        {"exclusion", {"mahnung -angebot", "steuer -finanzamt", "revenue -expenses"}},
        {"invoice number", {"RE-4", "re-12345"}},
    };
    std::vector<BenchQuery> queries;
    for (const auto& [queryClass, texts] : classes) {
        for (const char* text : texts) {
            BenchQuery q{queryClass, {}};
            q.parameters.searchText = text;
            queries.push_back(std::move(q));
        }
    }
    // Date ranges (30 days of the 6 years the documents span), with and without words.
    for (int i = 0; i < 2; ++i) {
        BenchQuery q{"date range", {}};
        q.parameters.searchText = i == 0 ? "vertrag" : "";
        q.parameters.startDate = dateFromSecondsSince1970(1.6e9);
        q.parameters.endDate = dateFromSecondsSince1970(1.6e9 + 86400.0 * 30);
        queries.push_back(std::move(q));
    }
    return queries;
}

// The plain search statement on one table: the answer every store search must reproduce.
std::vector<FtsSearchResult> plainStatement(platform::SqliteDatabase& db, const SearchParameters& q, int64_t limit) {
    std::vector<FtsSearchResult> rows;
    const auto statement = FtsTools::buildSelect(q, limit, true, true);
    if (!statement) return rows;
    std::string error;
    auto select = db.prepare(statement->sql, error);
    if (!select) return rows;
    for (size_t i = 0; i < statement->textBindings.size(); ++i) {
        select->bind(static_cast<int>(i + 1), std::string_view(statement->textBindings[i]));
    }
    while (select->step() == platform::SqliteStatement::Step::row) rows.push_back(searchResultFromRow(*select));
    return rows;
}

double millisecondsSince(SteadyClock::time_point start) {
    return std::chrono::duration<double, std::milli>(SteadyClock::now() - start).count();
}

double median(std::vector<double> v) { return percentile(std::move(v), 0.5); }

// CPU time of all the process's threads: unlike wall time it hardly moves when other programs load the
// machine, so it is the figure to compare runs on a shared machine by.
double cpuMilliseconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

}  // namespace

int main(int argc, char** argv) {
    size_t documentCount = 100000;
    bool perQuery = false;
    std::filesystem::path dir = std::filesystem::temp_directory_path() / "lumidex-storage-bench";
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--per-query") == 0) perQuery = true;
        if (i + 1 < argc && std::strcmp(argv[i], "--documents") == 0) documentCount = std::stoul(argv[++i]);
        else if (i + 1 < argc && std::strcmp(argv[i], "--dir") == 0) dir = argv[++i];
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
    auto t0 = SteadyClock::now();
    for (size_t i = 0; i < documentCount; ++i) documents[i].foldedText = FtsTools::fold(rawTexts[i]);
    const double foldSeconds = std::chrono::duration<double>(SteadyClock::now() - t0).count();
    rawTexts.clear();
    rawTexts.shrink_to_fit();

    // Inserts through the store API, in batches of 1000 as the coordinator writes them.
    SqliteFtsDatabaseBalancer fts(dir / "folder");
    t0 = SteadyClock::now();
    double c0 = cpuMilliseconds();
    for (size_t start = 0; start < documentCount; start += 1000) {
        std::vector<FtsDocument> batch(documents.begin() + static_cast<long>(start),
                                       documents.begin() + static_cast<long>(std::min(documentCount, start + 1000)));
        fts.write(batch);
    }
    const double insertSeconds = std::chrono::duration<double>(SteadyClock::now() - t0).count();
    const double insertCpuMs = cpuMilliseconds() - c0;

    // One-at-a-time writes, as single file events produce them.
    const size_t singleCount = std::min<size_t>(5000, documentCount);
    t0 = SteadyClock::now();
    {
        SqliteFtsDatabaseBalancer single(dir / "single-writes");
        for (size_t i = 0; i < singleCount; ++i) single.write(documents[i]);
    }
    const double singleSeconds = std::chrono::duration<double>(SteadyClock::now() - t0).count();

    // The floor: the same store code on one table holding every row, written in one transaction.
    t0 = SteadyClock::now();
    c0 = cpuMilliseconds();
    auto flat = std::make_unique<FtsSqlite>(dir / "flat", StoreKind::fullText, 0);
    flat->write(documents);
    const double flatInsertSeconds = std::chrono::duration<double>(SteadyClock::now() - t0).count();
    const double flatInsertCpuMs = cpuMilliseconds() - c0;
    std::string error;
    auto plain = platform::SqliteDatabase::open(shardPath(dir / "flat", StoreKind::fullText, 0), error);

    const auto queries = makeQueries();
    const int64_t limit = 250;

    // A search on stores just opened also reads what they keep in memory about their rows.
    double coldShardedMs, coldFlatMs;
    {
        SqliteFtsDatabaseBalancer reopened(dir / "folder");
        t0 = SteadyClock::now();
        reopened.search(queries.front().parameters, limit, true, true);
        coldShardedMs = millisecondsSince(t0);
        FtsSqlite reopenedFlat(dir / "flat", StoreKind::fullText, 0);
        t0 = SteadyClock::now();
        reopenedFlat.search(queries.front().parameters, limit, true, true);
        coldFlatMs = millisecondsSince(t0);
    }

    // One warm-up round, then three measured rounds; a query's time is its median over the rounds,
    // which keeps a short burst of load on a shared machine from moving the percentiles.
    constexpr int kRounds = 3;
    std::vector<std::vector<double>> shardedRuns(queries.size()), flatRuns(queries.size()), plainRuns(queries.size());
    std::vector<std::vector<double>> shardedCpuRuns(queries.size()), flatCpuRuns(queries.size());
    size_t shardedRows = 0, mismatches = 0;
    for (int round = 0; round <= kRounds; ++round) {
        for (size_t i = 0; i < queries.size(); ++i) {
            const SearchParameters& q = queries[i].parameters;
            auto s0 = SteadyClock::now();
            double cpu0 = cpuMilliseconds();
            const auto sharded = fts.search(q, limit, true, true);
            const double shardedMs = millisecondsSince(s0);
            const double shardedCpuMs = cpuMilliseconds() - cpu0;

            s0 = SteadyClock::now();
            cpu0 = cpuMilliseconds();
            const auto single = flat->search(q, limit, true, true);
            const double flatMs = millisecondsSince(s0);
            const double flatCpuMs = cpuMilliseconds() - cpu0;

            s0 = SteadyClock::now();
            const auto reference = plainStatement(*plain, q, limit);
            const double plainMs = millisecondsSince(s0);
            if (round == 0) {
                shardedRows += sharded.size();
                if (sharded != reference) ++mismatches;
                if (single != reference) ++mismatches;
                continue;
            }
            shardedRuns[i].push_back(shardedMs);
            flatRuns[i].push_back(flatMs);
            shardedCpuRuns[i].push_back(shardedCpuMs);
            flatCpuRuns[i].push_back(flatCpuMs);
            plainRuns[i].push_back(plainMs);
        }
    }
    std::vector<double> shardedMs, flatMs, plainMs, shardedCpuMs, flatCpuMs;
    std::map<std::string, std::pair<std::vector<double>, std::vector<double>>> byClass;
    for (size_t i = 0; i < queries.size(); ++i) {
        shardedMs.push_back(median(shardedRuns[i]));
        flatMs.push_back(median(flatRuns[i]));
        plainMs.push_back(median(plainRuns[i]));
        shardedCpuMs.push_back(median(shardedCpuRuns[i]));
        flatCpuMs.push_back(median(flatCpuRuns[i]));
        byClass[queries[i].queryClass].first.push_back(shardedMs.back());
        byClass[queries[i].queryClass].second.push_back(flatMs.back());
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
    std::printf("| insert CPU per document, batches of 1000 / floor | %.0f / %.0f us |\n",
                insertCpuMs * 1e3 / static_cast<double>(documentCount),
                flatInsertCpuMs * 1e3 / static_cast<double>(documentCount));
    std::printf("| search p50, 20 shards (snippets, match counts) | %.2f ms |\n", percentile(shardedMs, 0.5));
    std::printf("| search p99, 20 shards | %.2f ms |\n", percentile(shardedMs, 0.99));
    std::printf("| search p50, one table (floor) | %.2f ms |\n", percentile(flatMs, 0.5));
    std::printf("| search p99, one table (floor) | %.2f ms |\n", percentile(flatMs, 0.99));
    std::printf("| search p50 / p99, one table, plain statement (reference) | %.2f / %.2f ms |\n",
                percentile(plainMs, 0.5), percentile(plainMs, 0.99));
    std::printf("| search CPU p50 (all threads), 20 shards / floor | %.2f / %.2f ms |\n", percentile(shardedCpuMs, 0.5),
                percentile(flatCpuMs, 0.5));
    for (const auto& [queryClass, times] : byClass) {
        std::printf("| search p50 %s (%zu), 20 shards / floor | %.2f / %.2f ms |\n", queryClass.c_str(),
                    times.first.size(), median(times.first), median(times.second));
    }
    std::printf("| first search after opening, 20 shards / floor | %.2f / %.2f ms |\n", coldShardedMs, coldFlatMs);
    std::printf("| rows returned by 20 shards | %zu |\n", shardedRows);
    std::printf("| answers differing from the plain statement | %zu of %zu |\n", mismatches, 2 * queries.size());
    std::printf("| queries | %zu, limit %lld, median of %d rounds |\n", queries.size(), static_cast<long long>(limit),
                kRounds);
    if (perQuery) {
        std::printf("\n| query | class | 20 shards | floor | plain statement |\n|---|---|---|---|---|\n");
        for (size_t i = 0; i < queries.size(); ++i) {
            std::printf("| %s | %s | %.2f ms | %.2f ms | %.2f ms |\n", queries[i].parameters.searchText.c_str(),
                        queries[i].queryClass.c_str(), shardedMs[i], flatMs[i], plainMs[i]);
        }
    }
    ThreadPool::shared().shutdown();
    std::filesystem::remove_all(dir);
    return 0;
}

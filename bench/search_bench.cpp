// Search benchmark: opens the searchable folders stored in the current home (as `lumidex search` does:
// coordinators started, shards loaded, no scan), waits until they are initialised and then either
//   times SearchEngine::run per query (default): --warmup runs, then --runs timed runs each, and prints
//     p50/p95 per query and over all runs, as a table or with --json as one JSON object; or
//   with --hits, runs each query once without a result limit and prints one JSON line per query,
//     {"query": ..., "count": N, "paths": [...]}, for recall measurements in a single process.
//
//   search_bench [--queries FILE] [--runs N] [--warmup N] [--limit N] [--no-snippets] [--json | --hits]
//                [QUERY ...]
//
// FILE holds one query per line (UTF-8, empty lines skipped); queries from argv come after it. The
// query parameters come from the settings like the command line's, and so does the rule that a text
// shorter than the minimum length is not searched (0 hits, "refused": true). --limit defaults to the
// result-limit setting (0: no limit). Run it with HOME/XDG_* pointing at the home that holds the index.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "core/concurrency/cancellation_token.h"
#include "core/settings/settings.h"
#include "folders/coordinator/balanced_data_manager.h"
#include "folders/coordinator/core_manager_data.h"
#include "folders/registry/security_bookmarks.h"
#include "search/coordinator_folder_index.h"
#include "search/search_engine.h"
#include "search/search_text.h"

using namespace lumidex;
using SteadyClock = std::chrono::steady_clock;

namespace {

struct Options {
    std::vector<std::string> queries;
    int runs = 20;
    int warmup = 2;
    std::optional<int64_t> limit;  // nullopt: the setting
    bool snippets = true;
    bool json = false;
    bool hits = false;
};

[[noreturn]] void usage(const char* message) {
    std::fprintf(stderr,
                 "search_bench: %s\nusage: search_bench [--queries FILE] [--runs N] [--warmup N] [--limit N] "
                 "[--no-snippets] [--json | --hits] [QUERY ...]\n",
                 message);
    std::exit(2);
}

Options parseArguments(int argc, char** argv) {
    Options o;
    std::vector<std::string> fromArgv;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) usage(("missing value for " + arg).c_str());
            return argv[++i];
        };
        if (arg == "--queries") {
            std::ifstream in(value());
            if (!in) usage("cannot read the query file");
            for (std::string line; std::getline(in, line);) {
                if (!line.empty() && line.back() == '\r') line.pop_back();
                if (!line.empty()) o.queries.push_back(line);
            }
        } else if (arg == "--runs") {
            o.runs = std::max(1, std::atoi(value().c_str()));
        } else if (arg == "--warmup") {
            o.warmup = std::max(0, std::atoi(value().c_str()));
        } else if (arg == "--limit") {
            o.limit = std::max<int64_t>(0, std::atoll(value().c_str()));
        } else if (arg == "--no-snippets") {
            o.snippets = false;
        } else if (arg == "--json") {
            o.json = true;
        } else if (arg == "--hits") {
            o.hits = true;
        } else if (arg == "--") {
            for (++i; i < argc; ++i) fromArgv.emplace_back(argv[i]);
        } else if (arg.rfind("--", 0) == 0) {
            usage(("unknown option " + arg).c_str());
        } else {
            fromArgv.push_back(arg);
        }
    }
    o.queries.insert(o.queries.end(), fromArgv.begin(), fromArgv.end());
    if (o.queries.empty()) usage("no queries");
    return o;
}

std::string jsonString(const std::string& text) {
    std::string out = "\"";
    for (const unsigned char c : text) {
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (c < 0x20) {
                    char escaped[8];
                    std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
                    out += escaped;
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    return out + "\"";
}

// Linear interpolation between the closest ranks, as the comparison scripts compute it.
double percentile(std::vector<double> values, double p) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const double k = (static_cast<double>(values.size()) - 1) * p / 100;
    const auto lo = static_cast<std::size_t>(k);
    const std::size_t hi = std::min(lo + 1, values.size() - 1);
    return values[lo] + (values[hi] - values[lo]) * (k - static_cast<double>(lo));
}

double millisecondsSince(SteadyClock::time_point start) {
    return std::chrono::duration<double, std::milli>(SteadyClock::now() - start).count();
}

struct QueryResult {
    bool refused = false;
    search::SearchOutcome outcome;
};

class Bench {
public:
    Bench(const Options& options, search::FolderListFunction folders)
        : settings_(Settings::shared()), engine_(std::move(folders)) {
        parameters_ = searchParametersFromSettings(settings_);
        parameters_.rootFolderUrlStrings.clear();  // every stored folder
        runOptions_.withSnippets = options.snippets;
        if (options.limit) {
            if (*options.limit > 0) runOptions_.resultLimit = *options.limit;
        } else {
            runOptions_.resultLimit = settings_.resultLimit();
        }
    }

    QueryResult run(const std::string& query, bool unlimited = false) const {
        SearchParameters parameters = parameters_;
        parameters.searchText = query;
        QueryResult result;
        if (search::lengthWithoutSpaces(query) < parameters.minSearchCharCount) {
            result.refused = true;
            return result;
        }
        search::SearchRunOptions options = runOptions_;
        if (unlimited) {
            options.resultLimit.reset();
            options.withSnippets = false;
        }
        result.outcome = engine_.run(parameters, options, CancellationToken());
        return result;
    }

private:
    Settings settings_;
    search::SearchEngine engine_;
    SearchParameters parameters_;
    search::SearchRunOptions runOptions_;
};

void printHits(const Bench& bench, const Options& options) {
    for (const std::string& query : options.queries) {
        const QueryResult result = bench.run(query, true);
        std::string line = "{\"query\": " + jsonString(query) +
                           ", \"count\": " + std::to_string(result.outcome.hits.size()) +
                           (result.refused ? ", \"refused\": true" : "") + ", \"paths\": [";
        bool first = true;
        for (const search::SearchHit& hit : result.outcome.hits) {
            line += (first ? "" : ", ") + jsonString(hit.item.urlString);
            first = false;
        }
        std::cout << line << "]}\n";
    }
}

void printTimings(const Bench& bench, const Options& options, double openMs, std::size_t folderCount) {
    struct Row {
        std::string query;
        std::size_t hits = 0;
        bool refused = false;
        std::vector<double> times;
    };
    std::vector<Row> rows;
    std::vector<double> all;
    for (const std::string& query : options.queries) {
        Row row{query, 0, false, {}};
        for (int i = 0; i < options.warmup; ++i) bench.run(query);
        for (int i = 0; i < options.runs; ++i) {
            const auto started = SteadyClock::now();
            const QueryResult result = bench.run(query);
            row.times.push_back(millisecondsSince(started));
            row.hits = result.outcome.hits.size();
            row.refused = result.refused;
        }
        all.insert(all.end(), row.times.begin(), row.times.end());
        rows.push_back(std::move(row));
    }
    if (options.json) {
        std::ostringstream out;
        out.setf(std::ios::fixed);
        out.precision(3);
        out << "{\"folders\": " << folderCount << ", \"open_ms\": " << openMs << ", \"runs\": " << options.runs
            << ", \"warmup\": " << options.warmup << ", \"snippets\": " << (options.snippets ? "true" : "false")
            << ", \"p50_ms\": " << percentile(all, 50) << ", \"p95_ms\": " << percentile(all, 95)
            << ", \"max_ms\": " << percentile(all, 100) << ", \"queries\": [";
        for (std::size_t i = 0; i < rows.size(); ++i) {
            const Row& r = rows[i];
            out << (i ? ", " : "") << "{\"query\": " << jsonString(r.query) << ", \"hits\": " << r.hits
                << (r.refused ? ", \"refused\": true" : "") << ", \"p50_ms\": " << percentile(r.times, 50)
                << ", \"p95_ms\": " << percentile(r.times, 95) << ", \"times_ms\": [";
            for (std::size_t t = 0; t < r.times.size(); ++t) out << (t ? ", " : "") << r.times[t];
            out << "]}";
        }
        out << "]}\n";
        std::cout << out.str();
        return;
    }
    std::printf("%zu folder(s) opened in %.1f ms; %d runs per query after %d warm-up runs; snippets %s\n\n",
                folderCount, openMs, options.runs, options.warmup, options.snippets ? "on" : "off");
    std::printf("| %-32s | %6s | %9s | %9s |\n|%s|%s|%s|%s|\n", "query", "hits", "p50 ms", "p95 ms",
                std::string(34, '-').c_str(), std::string(8, '-').c_str(), std::string(11, '-').c_str(),
                std::string(11, '-').c_str());
    for (const Row& r : rows) {
        std::printf("| %-32s | %6s | %9.3f | %9.3f |\n", r.query.substr(0, 32).c_str(),
                    r.refused ? "short" : std::to_string(r.hits).c_str(), percentile(r.times, 50),
                    percentile(r.times, 95));
    }
    std::printf("| %-32s | %6s | %9.3f | %9.3f |\n", "all queries", "", percentile(all, 50), percentile(all, 95));
}

}  // namespace

int main(int argc, char** argv) {
    const Options options = parseArguments(argc, argv);

    // The same opening as the command line's: every stored folder's coordinator, started, not scanned.
    const auto opening = SteadyClock::now();
    auto& core = folders::CoreManagerData::shared();
    for (const std::string& folder : folders::SecurityBookmarks::shared().list()) {
        core.addFolder(folder)->startInBackground();
    }
    const search::FolderListFunction folderList = search::coordinatorFolderList(core);
    const auto opened = folderList();
    if (opened.empty()) {
        std::fprintf(stderr, "search_bench: no searchable folders are stored in this home\n");
        return 1;
    }
    for (const auto& folder : opened) folder->waitForInitToComplete();
    const double openMs = millisecondsSince(opening);

    // One snapshot, as the command line takes it: the adapters are new objects on every call, and the
    // engine drops a folder whose adapter is no longer in the list after querying.
    const Bench bench(options, [opened] { return opened; });
    if (options.hits) {
        printHits(bench, options);
    } else {
        printTimings(bench, options, openMs, opened.size());
    }
    return 0;
}

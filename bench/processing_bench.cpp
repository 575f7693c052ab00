// Runs one extractor job kind over a list of files through a pool of extraction workers (this binary
// in worker mode) and reports per file and in total; bench/processing-bench drives it over a corpus.
//
//   processing_bench --kind extract.pdf --list FILES --out DIR [--workers N] [--previews DIR] [--low-res]
//
// FILES holds one path per line. DIR receives <line number>.txt with each file's extracted text. Stdout:
// one line per file "index<TAB>state<TAB>pages<TAB>recognised<TAB>seconds<TAB>worker_peak_rss_kb<TAB>
// outcome", then "total<TAB>files<TAB>pages<TAB>recognised<TAB>wall_seconds<TAB>max_worker_peak_rss_kb".
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <mutex>
#include <string>
#include <vector>

#include "processing/extractors/extraction_result.h"
#include "processing/extractors/extractor_jobs.h"
#include "processing/worker/extraction_worker.h"
#include "processing/worker/extraction_worker_pool.h"

namespace {

using namespace lumidex;
using namespace lumidex::processing;
using SteadyClock = std::chrono::steady_clock;

struct Arguments {
    std::string kind = "extract.pdf";
    std::filesystem::path list;
    std::filesystem::path out;
    std::size_t workers = 2;
    std::filesystem::path previews;
    bool lowRes = false;
};

bool parse(int argc, char** argv, Arguments& args) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const auto value = [&]() -> std::string { return i + 1 < argc ? argv[++i] : ""; };
        if (arg == "--kind") {
            args.kind = value();
        } else if (arg == "--list") {
            args.list = value();
        } else if (arg == "--out") {
            args.out = value();
        } else if (arg == "--workers") {
            args.workers = static_cast<std::size_t>(std::stoul(value()));
        } else if (arg == "--previews") {
            args.previews = value();
        } else if (arg == "--low-res") {
            args.lowRes = true;
        } else {
            std::cerr << "unknown argument: " << arg << '\n';
            return false;
        }
    }
    return !args.list.empty() && !args.out.empty();
}

struct FileOutcome {
    std::string line;
    int64_t pages = 0;
    int64_t recognised = 0;
    int64_t peakRssKb = 0;
    bool done = false;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && argv[1] == extractionWorkerFlag) return extractorWorkerMain(argc, argv);
    Arguments args;
    if (!parse(argc, argv, args)) {
        std::cerr << "usage: processing_bench --kind KIND --list FILES --out DIR [--workers N] [--previews DIR] [--low-res]\n";
        return 2;
    }
    std::vector<std::string> files;
    {
        std::ifstream in(args.list);
        for (std::string line; std::getline(in, line);) {
            if (!line.empty()) files.push_back(line);
        }
    }
    std::filesystem::create_directories(args.out);

    ExtractionWorkerPoolOptions poolOptions;
    poolOptions.workerCount = args.workers;
    poolOptions.timeLimit = std::chrono::minutes(10);
    poolOptions.log = [](std::string_view) {};
    ExtractionWorkerPool pool(poolOptions);

    std::mutex mutex;
    std::condition_variable changed;
    std::vector<FileOutcome> outcomes(files.size());
    std::size_t remaining = files.size();
    const auto started = SteadyClock::now();
    for (std::size_t i = 0; i < files.size(); ++i) {
        ExtractionJobOptions options;
        options.lowResImages = args.lowRes;
        if (!args.previews.empty()) {
            options.dataDirectory = args.previews;
            options.imageKey = "bench" + std::to_string(i);
        }
        const auto submitted = SteadyClock::now();
        pool.submit(ExtractionRequest{args.kind, files[i], encodeJobOptions(options), std::nullopt}, {},
                    [&, i, submitted](ExtractionOutcome outcome) {
                        const double seconds = std::chrono::duration<double>(SteadyClock::now() - submitted).count();
                        FileOutcome result;
                        std::string state = "failed";
                        if (outcome.ok()) {
                            std::string error;
                            if (auto decoded = decodeExtractionResult(outcome.resultJson(), error)) {
                                state = std::string(name(decoded->state));
                                result.pages = decoded->totalPageCount;
                                result.recognised = decoded->recognisedPages;
                                result.peakRssKb = decoded->workerPeakRssKb;
                                std::ofstream(args.out / (std::to_string(i) + ".txt"), std::ios::binary) << decoded->text;
                            }
                        }
                        result.line = std::to_string(i) + '\t' + state + '\t' + std::to_string(result.pages) + '\t' +
                                      std::to_string(result.recognised) + '\t' + std::to_string(seconds) + '\t' +
                                      std::to_string(result.peakRssKb) + '\t' + outcome.description();
                        std::lock_guard lock(mutex);
                        outcomes[i] = std::move(result);
                        outcomes[i].done = true;
                        --remaining;
                        changed.notify_all();
                    });
    }
    {
        std::unique_lock lock(mutex);
        changed.wait(lock, [&] { return remaining == 0; });
    }
    const double wall = std::chrono::duration<double>(SteadyClock::now() - started).count();
    int64_t pages = 0;
    int64_t recognised = 0;
    int64_t peak = 0;
    for (const FileOutcome& outcome : outcomes) {
        std::cout << outcome.line << '\n';
        pages += outcome.pages;
        recognised += outcome.recognised;
        peak = std::max(peak, outcome.peakRssKb);
    }
    std::cout << "total\t" << files.size() << '\t' << pages << '\t' << recognised << '\t' << wall << '\t' << peak << '\n';
    return 0;
}

// Converts every office file below a folder with the local converter, one after another through the
// conversion queue (one office process for all), reads each document's own text, and reports:
//
//   office_conversion_bench FOLDER [--out DIR] [--time-limit SECONDS]
//
// Stdout: one line per file "status<TAB>seconds<TAB>text_bytes<TAB>office_rss_mb<TAB>path", then
// "total<TAB>files<TAB>converted<TAB>wall_seconds<TAB>files_per_second<TAB>median_seconds<TAB>max_seconds<TAB>
// peak_office_rss_mb<TAB>converter_starts". Files whose own format is not read get an OpenDocument
// copy to read the text from, as in a processing run.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <future>
#include <iostream>
#include <string>
#include <vector>

#include "cloud/conversion_queue.h"
#include "cloud/libreoffice_converter.h"
#include "cloud/office_text.h"
#include "folders/scanning/file_types.h"

namespace {

namespace fs = std::filesystem;
using namespace lumidex;
using Clock = std::chrono::steady_clock;

const char* statusName(cloud::ConversionStatus status) {
    switch (status) {
        case cloud::ConversionStatus::converted: return "converted";
        case cloud::ConversionStatus::locked: return "locked";
        case cloud::ConversionStatus::cannotConvert: return "cannot_convert";
        case cloud::ConversionStatus::timedOut: return "timed_out";
        case cloud::ConversionStatus::failed: return "failed";
    }
    return "?";
}

bool readsOwnFormat(const std::string& extension) {
    for (const char* own : {"docx", "dotx", "xlsx", "xlsm", "pptx", "odt", "ods", "odp"}) {
        if (extension == own) return true;
    }
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::cerr << "usage: office_conversion_bench FOLDER [--out DIR] [--time-limit SECONDS]\n";
        return 2;
    }
    const fs::path folder = argv[1];
    fs::path out = fs::temp_directory_path() / "lumidex-office-bench";
    int timeLimit = 120;
    for (int i = 2; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        if (option == "--out") out = argv[i + 1];
        else if (option == "--time-limit") timeLimit = std::stoi(argv[i + 1]);
    }
    const std::string missing = cloud::findOfficeInstallation().missing;
    if (!missing.empty()) {
        std::cerr << missing << '\n';
        return 1;
    }
    std::vector<fs::path> files;
    for (const auto& entry : fs::recursive_directory_iterator(folder, fs::directory_options::skip_permission_denied)) {
        if (!entry.is_regular_file()) continue;
        if (folders::routeForExtension(folders::lowerCaseExtension(entry.path().string())) == folders::FileRoute::cloud) {
            files.push_back(entry.path());
        }
    }
    std::sort(files.begin(), files.end());
    fs::create_directories(out);

    cloud::LibreOfficeConverterOptions options;
    options.profileDirectory = out / "profile";
    options.log = [](std::string_view) {};
    auto converter = std::make_unique<cloud::LibreOfficeConverter>(std::move(options));
    cloud::LibreOfficeConverter& office = *converter;
    cloud::ConversionQueue queue(std::move(converter), {std::chrono::seconds(timeLimit), [](std::string_view) {}});

    std::vector<double> seconds;
    std::int64_t peakRssKb = 0;
    std::size_t converted = 0;
    const auto started = Clock::now();
    for (std::size_t i = 0; i < files.size(); ++i) {
        const std::string extension = folders::lowerCaseExtension(files[i].string());
        const fs::path pdf = out / (std::to_string(i) + ".pdf");
        const fs::path odf = readsOwnFormat(extension) || extension == "csv" ? fs::path() : out / (std::to_string(i) + ".odf");
        std::promise<cloud::ConversionResult> done;
        auto future = done.get_future();
        queue.submit({files[i], pdf, odf, {}}, [&done](cloud::ConversionResult r) { done.set_value(std::move(r)); });
        const cloud::ConversionResult result = future.get();
        const std::int64_t rssKb = office.officeRssKb();
        peakRssKb = std::max(peakRssKb, rssKb);
        std::size_t textBytes = 0;
        if (result.status == cloud::ConversionStatus::converted) {
            ++converted;
            seconds.push_back(result.seconds);
            if (extension != "csv") textBytes = cloud::readOfficeText(odf.empty() ? files[i] : odf).text.size();
        }
        std::printf("%s\t%.3f\t%zu\t%lld\t%s\n", statusName(result.status), result.seconds, textBytes,
                    static_cast<long long>(rssKb / 1024), files[i].c_str());
    }
    const double wall = std::chrono::duration<double>(Clock::now() - started).count();
    std::sort(seconds.begin(), seconds.end());
    const double median = seconds.empty() ? 0 : seconds[seconds.size() / 2];
    const double longest = seconds.empty() ? 0 : seconds.back();
    std::printf("total\t%zu\t%zu\t%.2f\t%.2f\t%.3f\t%.3f\t%lld\t%zu\n", files.size(), converted, wall,
                wall > 0 ? static_cast<double>(files.size()) / wall : 0.0, median, longest,
                static_cast<long long>(peakRssKb / 1024), office.starts());
    return 0;
}

// Started with "--extraction-worker" this binary is an extraction worker serving the extractor job kinds
// (and, with "--enable-test-jobs", the crash/hang kinds); otherwise it runs the tests.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>

#include "processing/extractors/extractor_jobs.h"
#include "processing/worker/extraction_worker.h"

namespace {

// A worker made by the tests shares its parent's temporary home (named in kParentHome) instead of the
// one every test process makes for itself before main: a worker that is killed could not remove its own.
constexpr const char* kParentHome = "LUMIDEX_TEST_PARENT_HOME";

void adoptParentHome() {
    const char* parent = std::getenv(kParentHome);
    const char* own = std::getenv("HOME");
    if (parent == nullptr || own == nullptr || std::string_view(parent) == own) return;
    std::error_code ec;
    std::filesystem::remove_all(own, ec);
    const std::filesystem::path home(parent);
    setenv("HOME", home.c_str(), 1);
    setenv("XDG_DATA_HOME", (home / ".local/share").c_str(), 1);
    setenv("XDG_STATE_HOME", (home / ".local/state").c_str(), 1);
    setenv("XDG_CONFIG_HOME", (home / ".config").c_str(), 1);
    setenv("XDG_CACHE_HOME", (home / ".cache").c_str(), 1);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && argv[1] == lumidex::extractionWorkerFlag) {
        adoptParentHome();
        return lumidex::processing::extractorWorkerMain(argc, argv);
    }
    if (const char* home = std::getenv("HOME")) setenv(kParentHome, home, 1);  // inherited by our workers
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

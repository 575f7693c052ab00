// A real main window over a real, running index: one searchable folder (stored as a bookmark, as the
// window's own folder list reads it) whose coordinator runs inside a CoreManagerData over a private
// data directory. The processing double stores, instead of decoding files, a known text, recognised
// lines and page images for the documents named below, so what the window shows can be checked.
#pragma once

#include <gtest/gtest.h>

#include <QApplication>

#include <filesystem>
#include <memory>
#include <string>

#include "core/diagnostics_collector.h"
#include "core/model/ocr_rect.h"
#include "core/settings/settings_store.h"
#include "folders/coordinator/core_manager_data.h"
#include "folders/registry/security_bookmarks.h"
#include "support/temp_home.h"
#include "ui/main_window.h"

namespace lumidex::ui::testing {

// "scan.pdf": two pages with images; page 2 (index 1) reads "The invoice total is due", recognised as
// two lines of which the first holds the match at kMatchLine. "notes.txt": one page of text without an
// image. "other.txt": no match for "invoice". The two text files count as having the same text
// (kSameText), so they are the folder's one group of duplicates. Any other PDF is read by the real PDF
// extractor.
inline const OcrRect kMatchLine = [] {
    OcrRect r;
    r.pageIndex = 1;
    r.ocrContent = "the invoice total";
    // bottom-left, bottom-right, top-right, top-left; origin bottom-left
    r.p0x = 0.10, r.p0y = 0.50, r.p1x = 0.60, r.p1y = 0.50, r.p2x = 0.60, r.p2y = 0.55, r.p3x = 0.10, r.p3y = 0.55;
    return r;
}();
inline constexpr uint32_t kSameText = 0xC0FFEE;
inline constexpr int kPageWidth = 300;
inline constexpr int kPageHeight = 400;

// The process's application object on the offscreen platform, made by the first caller.
void ensureTestApplication();

class WindowFixture : public ::testing::Test {
protected:
    static void SetUpTestSuite();

    WindowFixture();
    ~WindowFixture() override;

    // Starts the index over the documents above and waits until they are processed, then opens the
    // window (shown and active, so that its shortcuts work).
    void openWindow();
    // Processes Qt events until `done` or the timeout; the result of `done`.
    static bool waitFor(const std::function<bool()>& done, int milliseconds = 10000);
    // The file names in the result list, top to bottom.
    std::vector<std::string> listedNames();
    // Types into the search field and waits for the list to show the results.
    void search(const std::string& text);

    std::filesystem::path scratch;
    std::unique_ptr<lumidex::testing::TempDir> fallback;
    std::filesystem::path root;
    std::unique_ptr<SettingsStore> settingsStore;
    std::unique_ptr<folders::SecurityBookmarks> bookmarks;
    DiagnosticsCollector diagnostics;
    std::unique_ptr<folders::CoreManagerData> core;
    std::unique_ptr<MainWindow> window;
};

}  // namespace lumidex::ui::testing

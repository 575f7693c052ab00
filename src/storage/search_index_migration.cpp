#include "storage/search_index_migration.h"

#include "core/app_log.h"
#include "storage/fts_balancer.h"
#include "storage/ocr_rects_balancer.h"

namespace lumidex::storage {

std::optional<RefoldCounts> migrateSearchIndexFolding(Settings settings, const std::string& rootFolderUrlString,
                                                      SqliteFtsDatabaseBalancer& fullText,
                                                      SqliteOcrRectsDatabaseBalancer& ocrRects,
                                                      const ReadAgain& readAgain) {
    const std::string key = SettingsKeys::searchIndexFoldingVersion(rootFolderUrlString);
    const int64_t stored = settings.integer(key, 0);
    if (stored >= currentFoldingVersion) return std::nullopt;

    RefoldCounts counts;
    // Before version 4 a long text mostly not in ASCII was stored as nothing.
    std::vector<uint32_t> withoutText;
    const bool findTextless = stored < 4 && readAgain;
    counts.fullTextRows = fullText.refoldContent(nullptr, findTextless ? &withoutText : nullptr);
    counts.ocrLines = ocrRects.refoldAll();
    counts.withoutText = static_cast<int64_t>(withoutText.size());
    if (!withoutText.empty() && !readAgain(withoutText)) {
        // Recorded as done, these documents would stay without their text: try again next start.
        appLog("Suchindex: Dokumente ohne Text nicht zum erneuten Lesen vorgemerkt, nächster Start versucht es wieder");
        return counts;
    }
    if (auto error = settings.set(key, SettingValue(currentFoldingVersion))) {
        // The refold is idempotent: failing to record it only means doing it again next start.
        appLog("Suchindex-Version nicht gespeichert: " + error->message);
    }
    if (counts.fullTextRows > 0 || counts.ocrLines > 0) {
        appLog("Suchindex nachgefaltet: " + std::to_string(counts.fullTextRows) + " Volltext-, " +
               std::to_string(counts.ocrLines) + " OCR-Zeilen");
    }
    return counts;
}

}  // namespace lumidex::storage

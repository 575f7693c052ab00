#include "storage/search_index_migration.h"

#include "core/app_log.h"
#include "storage/fts_balancer.h"
#include "storage/ocr_rects_balancer.h"

namespace lumidex::storage {

std::optional<RefoldCounts> migrateSearchIndexFolding(Settings settings, const std::string& rootFolderUrlString,
                                                      SqliteFtsDatabaseBalancer& fullText,
                                                      SqliteOcrRectsDatabaseBalancer& ocrRects) {
    const std::string key = SettingsKeys::searchIndexFoldingVersion(rootFolderUrlString);
    if (settings.integer(key, 0) >= currentFoldingVersion) return std::nullopt;

    RefoldCounts counts;
    counts.fullTextRows = fullText.refoldContent();
    counts.ocrLines = ocrRects.refoldAll();
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

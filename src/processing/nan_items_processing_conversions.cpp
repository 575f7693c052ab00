// The conversion pass of NanItemsProcessing: office documents stored with their own text first are
// converted to PDF once a folder's text work is done, and stored as the one-pass road stores them.
#include <vector>

#include "folders/coordinator/coordinator_states.h"
#include "processing/nan_items_processing.h"
#include "processing/nan_items_processing_internal.h"
#include "processing/nan_items_processing_run.h"
#include "storage/pending_enrichments.h"

namespace lumidex::processing {

void NanItemsProcessing::oweConversion(const std::string& folder, uint32_t combinedHash, bool uncounted) {
    std::lock_guard lock(statsMutex_);
    if (!owedConversions_[folder].insert(combinedHash).second) return;
    ++stats_[folder].conversionsOwed;
    if (uncounted) ++stats_[folder].officeDocuments;
}

void NanItemsProcessing::conversionPaid(const std::string& folder, uint32_t combinedHash, bool converted) {
    std::lock_guard lock(statsMutex_);
    if (owedConversions_[folder].erase(combinedHash) == 0) return;
    --stats_[folder].conversionsOwed;
    // Counted among the errors (or locked, or not read) instead, as its failure was.
    if (!converted) --stats_[folder].officeDocuments;
}

bool NanItemsProcessing::convertDeferredOfficeDocuments(folders::BalancedDataManager& manager,
                                                        const folders::ProcessingRunSettings& settings,
                                                        const std::function<bool()>& yield) {
    const std::string& folder = settings.rootFolderUrl;
    const storage::PendingConversions pending(manager.folderDataDirectory());
    std::vector<uint32_t> owed = pending.list();
    if (owed.empty()) return true;
    if (officeConversionUnavailable()) return false;  // the documents keep their own text meanwhile
    const detail::FolderPassClaim running(statsMutex_, conversionPassesRunning_, folder);
    if (!running.claimed()) return false;

    std::vector<NanItem> items;
    for (const uint32_t combinedHash : owed) {
        auto item = manager.itemByCombinedHash(combinedHash);
        // Waiting for a run, which may be storing it with its own text right now: the marker is the run's.
        if (item && folders::coordinator_states::awaitsProcessing(item->processingState)) continue;
        // A version replaced, removed or read again meanwhile owes nothing; a successor has its own marker.
        if (!item || item->processingState != NanItemProcessingStates::complete) {
            if (!pending.remove(combinedHash)) {
                log("[NanItemsProcessing] Vormerkung der Umwandlung nicht entfernt: " +
                    manager.folderDataDirectory().string() + " " + std::to_string(combinedHash));
            }
            conversionPaid(folder, combinedHash, false);  // gone: no office document converted
            continue;
        }
        // A document an earlier process stored is counted when the pass comes to it.
        oweConversion(folder, combinedHash, true);
        items.push_back(std::move(*item));
    }
    if (!items.empty()) {
        Run run(*this, manager, settings, enrichmentContext(manager, settings), Run::Mode::conversionPass, yield);
        run.execute(std::move(items));
    }
    return pending.list().empty();
}

}  // namespace lumidex::processing

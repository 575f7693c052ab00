// The application's processing runner, and what the command line needs around it: the retry of items
// that failed at an earlier start, and waiting for a folder's processing with a progress display.
//
// Error retry policy: a run never retries items in state error (a file that crashed its worker would
// otherwise crash one on every scan and every file event). retryFailedItems() puts them back into
// processing, meant to be called once per start-up of the application (or of `lumidex scan`) for each
// folder, after its coordinator has started; a file that is changed meanwhile is retried anyway, as a
// new version.
//
// Thread-safety: every function may be called from any thread; makeDefaultProcessingRunner() always
// returns the same runner. Nothing throws except std::bad_alloc.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <memory>
#include <set>
#include <string>

#include "processing/nan_items_processing.h"

namespace lumidex::folders {
class BalancedDataManager;
}

namespace lumidex::processing {

// The process-wide runner: extraction workers are this executable started with "--extraction-worker"
// (one per core), the digital-text enrichment uses the shared queue, office documents are converted by
// one LibreOffice process with its profile in "<data directory>/office-converter". Created on first use.
std::shared_ptr<NanItemsProcessing> makeDefaultProcessingRunner();

// Saves every item in state error (and every item left waiting although its hash is stored: a retry
// that was interrupted, or a document the start-up migration of the search index set to be read again)
// as readyForProcessing and queues it. Returns how many were queued.
std::size_t retryFailedItems(folders::BalancedDataManager& manager);

// Saves every item whose rows lie in one of `shards` as readyForProcessing and queues it, so that rows
// lost with a damaged index file are made again. Returns how many were queued.
std::size_t requeueItemsOfShards(folders::BalancedDataManager& manager, const std::set<uint32_t>& shards);

struct FolderProcessingStatus {
    std::string folder;
    int64_t completed = 0;        // items in a final state
    int64_t pending = 0;          // items still to be processed here (cloud items not counted)
    int64_t waitingForCloud = 0;  // office documents waiting for a converter
    std::string officeWaitReason;  // why they wait (no converter installed); empty when one is there
    int64_t pagesWithText = 0;    // pages whose embedded text was stored, since the runner was created
    int64_t pagesRecognised = 0;  // pages recognition read (not those only rendered), since then
    int64_t previewPages = 0;     // pages of stored documents that get previews, since then
    int64_t previewsOwed = 0;     // of those, pages the preview pass has still to draw
    int64_t officeDocuments = 0;  // office documents stored, since then
    int64_t conversionsOwed = 0;  // of those, stored with their own text and not converted yet
    int64_t recognitionOwed = 0;  // documents whose pictures wait for recognition (markers on disk)
    int64_t errors = 0;           // items that ended in error, since the runner was created
    int64_t notStored = 0;        // read but not written (a full disk, a damaged shard), since then
    int64_t notRead = 0;          // files not read (over the text size limit), since then
    int64_t withoutText = 0;      // documents stored without searchable text although they have some
    bool pausedForDiskSpace = false;  // the index's disk is full: waiting for space, nothing lost
    bool idle = false;            // no scan, run or queued work left
};

// countCloudItems: count the items waiting for the cloud extraction service (a walk over all items);
// otherwise the number the latest run of the folder saw is taken.
FolderProcessingStatus folderProcessingStatus(folders::BalancedDataManager& manager, const NanItemsProcessing& runner,
                                              bool countCloudItems = true);
// Previews an earlier process deferred and left undrawn, drawn now on the calling thread (a folder's
// runs draw those they defer themselves). True when none is owed any more.
bool renderInterruptedPreviews(folders::BalancedDataManager& manager, NanItemsProcessing& runner);
// The same for the recognition enrichments and for the conversions of office documents stored with
// their own text only.
bool enrichInterruptedDocuments(folders::BalancedDataManager& manager, NanItemsProcessing& runner);
bool convertInterruptedOfficeDocuments(folders::BalancedDataManager& manager, NanItemsProcessing& runner);
// "searchable: 1 143 of 1 146; previews: 3 200 of 16 548; conversions: 40 of 57; recognition owed: 12
// documents": the passes apart, the documents stored with their text of those handed to processing,
// the page previews drawn of those owed, the office documents converted of those stored, and the
// documents whose pictures still wait for recognition (the last two only when there are any).
std::string describePasses(const FolderProcessingStatus& status);
// "12 documents processed, 3 to go, 310 pages with text, 40 pages recognised, 1 error, 2 office files
// waiting (<reason>)" (the pages with text only when there are any);
// ", 5 could not be stored (read again at the next scan)", ", 1 not read (over the size limit)" and
// ", 2 without searchable text" follow when there are any, and ", paused: the disk holding the index is
// full" while it is.
std::string describe(const FolderProcessingStatus& status);

// For `lumidex scan`: retries the folder's failed items, waits until the folder's coordinator is idle
// (its runs, their preview and enrichment passes done) and prints "  processed: <describe(status)>"
// and "  passes: <describePasses(status)>". With showProgress (a terminal) a "  processing:
// <describePasses>; <describe>" line is rewritten in place every `interval` while it waits. The moment
// every document has its text is announced on a line of its own, "  <describePasses>" (terminal or
// not). When it waits for everything, previews, enrichments and conversions an earlier process left
// undone are done before it returns. Without waitForEnrichment it returns once every document has its text, while previews and
// the recognition that enriches digital PDFs may still run (status.idle tells). A pause for disk space is announced on a line
// of its own when it begins and when it ends, terminal or not.
FolderProcessingStatus completeFolderProcessing(folders::BalancedDataManager& manager, NanItemsProcessing& runner,
                                                std::ostream& out, bool showProgress,
                                                std::chrono::milliseconds interval = std::chrono::milliseconds(500),
                                                bool waitForEnrichment = true);

}  // namespace lumidex::processing

// The "scan" command: start-up and a full scan of the stored searchable folders (or of one given
// folder) without the rest of the application, printing what was found, then processes the folder's
// content (retrying items that failed before) and waits for it, printing a summary.
#pragma once

#include <iosfwd>
#include <memory>
#include <string>
#include <string_view>

#include "folders/coordinator/balanced_data_manager.h"
#include "folders/coordinator/core_manager_data.h"
#include "platform/process_lock.h"

namespace CLI {
class App;
}


namespace lumidex::processing {
class NanItemsProcessing;
}

namespace lumidex {

// Adds "scan [PATH]". Without PATH every folder of the bookmark store is scanned; with PATH only that
// folder (it need not be stored). Prints per folder the counts found, new, removed orphans, unsupported
// and skipped, then what processing did; on a terminal a progress line is updated while the walk and
// the processing run. A folder that cannot be read, or whose documents could not all be stored, makes
// the command end with exit code 1 (after the other folders were scanned).
void addScanCommand(CLI::App& app);

// What the indexer's commands give their coordinators: the shared processing runner, and the
// image-metadata reader for the capture dates of the rows they write.
folders::CoreManagerDataDependencies indexerDependencies();

// The right to write the index of the data directory, for as long as the returned lock lives. When
// another indexer holds it, prints whom this command waits for and waits. Ends the command (exit code 1)
// when the lock cannot be taken at all.
std::unique_ptr<platform::WriterLock> holdIndexForWriting(std::string_view command);

// Moves the folder's damaged index files aside (never deleting them), starts the coordinator on fresh
// ones and queues the documents whose rows they held to be read again; prints one line per damaged file.
void startWithDamagedShardsRebuilt(folders::BalancedDataManager& manager, std::ostream& out);

// A full scan of the folder; on a terminal (showProgress) a line counting entries and files is
// rewritten while it runs and cleared at the end.
folders::FullScanResult fullScanShowingProgress(folders::BalancedDataManager& manager, bool showProgress);

// Adds the folder to the running coordinators, rebuilds damaged index files, scans and processes it
// until every document has its text (recognition inside digital PDFs may go on), printing to `out`.
void indexFolderAndReport(folders::CoreManagerData& core, const std::string& folder,
                          processing::NanItemsProcessing& runner, bool showProgress, std::ostream& out);

}  // namespace lumidex

#include "app/mail_background.h"

#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <system_error>
#include <vector>

#include "app/mail_command.h"
#include "core/app_log.h"
#include "core/data_directory.h"
#include "core/settings/settings_store.h"
#include "mail/mail_apple_indexer.h"
#include "mail/mail_fts.h"
#include "mail/mail_index_runs.h"
#include "mail/mail_index_scheduler.h"
#include "mail/mail_indexer_sources.h"
#include "platform/paths.h"
#include "platform/process_lock.h"

namespace lumidex {

BackgroundMailIndexing::BackgroundMailIndexing(std::shared_ptr<mail::MailAttachmentDecoder> decoder,
                                               std::unique_ptr<mail::MailIndexScheduler> scheduler)
    : decoder_(std::move(decoder)), scheduler_(std::move(scheduler)) {
    scheduler_->start();
}

service::MailIndexControl BackgroundMailIndexing::control() {
    service::MailIndexControl control;
    mail::MailIndexScheduler* scheduler = scheduler_.get();
    control.requestRun = [scheduler](bool force, bool restart) {
        scheduler->requestRun(force, restart);
        return true;
    };
    control.figures = [scheduler] {
        const mail::MailIndexScheduler::Status status = scheduler->status();
        service::MailIndexerFigures figures;
        figures.isIndexing = status.running;
        figures.processedCount = status.lastOutcome.messagesRead;
        figures.indexedCountSession = status.lastOutcome.messagesWritten;
        figures.extractFailedCount = status.lastOutcome.messagesFailed;
        return figures;
    };
    return control;
}

// The scheduler goes first: its runs read through the decoder.
BackgroundMailIndexing::~BackgroundMailIndexing() { scheduler_.reset(); }

namespace {

// One scheduled run: under the mail index's writer lock, taken for this run only so that `lumidex mail
// index` and `mail remove` get their turn, over the sources configured now (a `mail add` made meanwhile
// counts). A held lock skips the run; the next trigger tries again.
mail::MailRunOutcome backgroundRun(const std::string& holder, const mail::MailRunHooks& hooks, bool force,
                                   bool restart, const std::atomic<bool>& cancelled) {
    mail::MailRunOutcome outcome;
    std::string heldBy;
    std::string error;
    const auto lock = platform::WriterLock::tryAcquire(
        mail::MailFtsSqlite::defaultDatabasePath().parent_path() / "mail.lock", holder, heldBy, error);
    if (!lock) {
        const std::string why = heldBy.empty() ? error : heldBy + " is updating the mail index";
        // The scheduler logs the run's first error.
        outcome.errors.push_back("mail index run skipped: " + why);
        return outcome;
    }
    if (restart && SettingsStore::shared().setInt(mail::kMailIndexLastSeenRowidKey, 0)) {
        outcome.errors.push_back("the mail index cursor could not be reset");
        return outcome;
    }
    mail::MailSourceList list;
    if (const auto loadError = list.load()) {
        outcome.errors.push_back(*loadError);
        return outcome;
    }
    return mail::indexMailSources(mail::MailFtsSqlite::shared(), SettingsStore::shared(), list.sources(), force,
                                  cancelled, hooks);
}

}  // namespace

std::unique_ptr<BackgroundMailIndexing> startBackgroundMailIndexing(const std::string& command) {
    mail::MailSourceList list;
    if (const auto error = list.load()) {
        appLog("Mail indexing not started: " + *error);
        return nullptr;
    }
    if (list.sources().empty()) return nullptr;
    const std::string holder = "lumidex " + command + " (process " + std::to_string(::getpid()) + ")";
    // Sources added later are found by the runs (at the next poll): the watchers are installed once.
    mail::MailIndexScheduler::Options options;
    for (const auto& source : list.sources()) {
        std::error_code ec;
        (std::filesystem::is_directory(source.path, ec) ? options.watchRoots : options.watchFiles).push_back(source.path);
    }
    // A mail folder may hold the home folder: the program's own writes there are no mail changes.
    const platform::UserDirectories folders = platform::userDirectories();
    options.ignoredFolders = {folders.applicationSupport / "Lumidex", dataDirectory(), folders.settingsDirectory,
                              folders.appDocuments, folders.trashHome};
    // Attachments are read as `lumidex mail index` reads them, so a message's text does not depend on
    // which of the two indexed it.
    std::shared_ptr<mail::MailAttachmentDecoder> decoder = makeMailAttachmentDecoder();
    mail::MailRunHooks hooks;
    hooks.extraction.decoder = decoder.get();
    hooks.extraction.ocrFallback = SettingsStore::shared().getBool("mailIndexOcrAttachments").value_or(true);
    auto scheduler = std::make_unique<mail::MailIndexScheduler>(
        [holder, hooks](bool force, bool restart, const std::atomic<bool>& cancelled) {
            return backgroundRun(holder, hooks, force, restart, cancelled);
        },
        std::move(options));
    return std::make_unique<BackgroundMailIndexing>(std::move(decoder), std::move(scheduler));
}

}  // namespace lumidex

#include "app/mail_background.h"

#include <unistd.h>

#include <atomic>
#include <vector>

#include "app/mail_command.h"
#include "core/app_log.h"
#include "core/settings/settings_store.h"
#include "mail/mail_fts.h"
#include "mail/mail_index_runs.h"
#include "mail/mail_index_scheduler.h"
#include "mail/mail_indexer_sources.h"
#include "platform/process_lock.h"

namespace lumidex {

BackgroundMailIndexing::BackgroundMailIndexing(std::unique_ptr<platform::WriterLock> lock,
                                               std::shared_ptr<mail::MailAttachmentDecoder> decoder,
                                               std::unique_ptr<mail::MailIndexScheduler> scheduler)
    : lock_(std::move(lock)), decoder_(std::move(decoder)), scheduler_(std::move(scheduler)) {
    scheduler_->start();
}

service::MailIndexControl BackgroundMailIndexing::control() {
    service::MailIndexControl control;
    mail::MailIndexScheduler* scheduler = scheduler_.get();
    control.requestRun = [scheduler](bool force) {
        scheduler->requestRun(force);
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

// The scheduler goes first: the lock guards its runs.
BackgroundMailIndexing::~BackgroundMailIndexing() { scheduler_.reset(); }

std::unique_ptr<BackgroundMailIndexing> startBackgroundMailIndexing(const std::string& command) {
    mail::MailSourceList list;
    if (const auto error = list.load()) {
        appLog("Mail indexing not started: " + *error);
        return nullptr;
    }
    if (list.sources().empty()) return nullptr;
    std::string heldBy;
    std::string error;
    const std::string holder = "lumidex " + command + " (process " + std::to_string(::getpid()) + ")";
    auto lock = platform::WriterLock::tryAcquire(mail::MailFtsSqlite::defaultDatabasePath().parent_path() / "mail.lock",
                                                 holder, heldBy, error);
    if (!lock) {
        appLog(heldBy.empty() ? "Mail indexing not started: " + error
                              : "Mail indexing not started: " + heldBy + " is updating the mail index");
        return nullptr;
    }
    const std::vector<mail::ConfiguredMailSource> sources = list.sources();
    mail::MailIndexScheduler::Options options;
    for (const auto& source : sources) options.watchRoots.push_back(mail::watchRootOf(source));
    // Attachments are read as `lumidex mail index` reads them, so a message's text does not depend on
    // which of the two indexed it.
    std::shared_ptr<mail::MailAttachmentDecoder> decoder = makeMailAttachmentDecoder();
    mail::MailRunHooks hooks;
    hooks.extraction.decoder = decoder.get();
    hooks.extraction.ocrFallback = SettingsStore::shared().getBool("mailIndexOcrAttachments").value_or(true);
    auto scheduler = std::make_unique<mail::MailIndexScheduler>(
        [sources, hooks](bool force, const std::atomic<bool>& cancelled) {
            return mail::indexMailSources(mail::MailFtsSqlite::shared(), SettingsStore::shared(), sources, force,
                                          cancelled, hooks);
        },
        std::move(options));
    return std::make_unique<BackgroundMailIndexing>(std::move(lock), std::move(decoder), std::move(scheduler));
}

}  // namespace lumidex

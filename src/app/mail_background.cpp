#include "app/mail_background.h"

#include <unistd.h>

#include <atomic>
#include <vector>

#include "core/app_log.h"
#include "core/settings/settings_store.h"
#include "mail/mail_fts.h"
#include "mail/mail_index_runs.h"
#include "mail/mail_index_scheduler.h"
#include "mail/mail_indexer_sources.h"
#include "platform/process_lock.h"

namespace lumidex {

BackgroundMailIndexing::BackgroundMailIndexing(std::unique_ptr<platform::WriterLock> lock,
                                               std::unique_ptr<mail::MailIndexScheduler> scheduler)
    : lock_(std::move(lock)), scheduler_(std::move(scheduler)) {
    scheduler_->start();
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
    auto scheduler = std::make_unique<mail::MailIndexScheduler>(
        [sources](bool force, const std::atomic<bool>& cancelled) {
            return mail::indexMailSources(mail::MailFtsSqlite::shared(), SettingsStore::shared(), sources, force,
                                          cancelled);
        },
        std::move(options));
    return std::make_unique<BackgroundMailIndexing>(std::move(lock), std::move(scheduler));
}

}  // namespace lumidex

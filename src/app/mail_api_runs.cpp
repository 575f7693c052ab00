#include "app/mail_api_runs.h"

#include <unistd.h>

#include "core/app_log.h"
#include "mail/mail_fts.h"
#include "mail/mail_indexer.h"
#include "mail/mail_indexer_sources.h"
#include "platform/process_lock.h"

namespace lumidex {

MailApiRuns::MailApiRuns() : thread_([this] { loop(); }) {}

MailApiRuns::~MailApiRuns() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

bool MailApiRuns::requestRun(bool) {
    {
        std::lock_guard lock(mutex_);
        if (stopping_) return false;
        requested_ = true;
    }
    wake_.notify_all();
    return true;
}

service::MailIndexerFigures MailApiRuns::figures() const {
    std::lock_guard lock(mutex_);
    return figures_;
}

service::MailIndexControl MailApiRuns::control() {
    service::MailIndexControl control;
    control.requestRun = [this](bool force, bool) { return requestRun(force); };
    control.figures = [this] { return figures(); };
    return control;
}

void MailApiRuns::loop() {
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return requested_ || stopping_; });
        if (stopping_) return;
        requested_ = false;
        figures_.isIndexing = true;
        lock.unlock();
        runOnce();
        lock.lock();
        figures_.isIndexing = false;
    }
}

void MailApiRuns::runOnce() {
    mail::MailSourceList sources;
    if (const auto error = sources.load()) {
        appLog("Mail index run: the list of mail stores cannot be read: " + *error);
        return;
    }
    // Never waits for the lock: a `lumidex mail` command writing now would hold this thread, and the
    // server's shutdown with it, for as long as it runs.
    std::string heldBy;
    std::string error;
    const auto writer = platform::WriterLock::tryAcquire(
        mail::MailFtsSqlite::defaultDatabasePath().parent_path() / "mail.lock",
        "lumidex serve (process " + std::to_string(::getpid()) + ")", heldBy, error);
    if (!writer) {
        appLog(heldBy.empty() ? "Mail index run: cannot take the mail index for writing: " + error
                              : "Mail index run skipped: " + heldBy + " is updating the mail index");
        return;
    }
    mail::LocalMailIndexer indexer(mail::MailFtsSqlite::shared());
    for (const auto& configured : sources.sources()) {
        const mail::LocalMailSource source(configured.path.string(), mail::storesOf(configured));
        const mail::MailIndexReport report = indexer.run(source);
        std::lock_guard lock(mutex_);
        figures_.processedCount += report.messagesRead;
        figures_.indexedCountSession += report.messagesWritten;
        figures_.extractFailedCount += report.messagesFailed;
        figures_.upsertFailedCount += report.writesFailed;
        for (const std::string& line : report.errors) appLog("Mail index run: " + line);
    }
}

}  // namespace lumidex

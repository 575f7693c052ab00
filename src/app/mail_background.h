// The mail index kept current while `serve` or `window` runs (only those link it): the configured mail
// sources indexed at start, after changes below their folders, every five minutes and on demand.
#pragma once

#include <memory>
#include <string>

#include "service/mail_service.h"

namespace lumidex::mail {
class MailAttachmentDecoder;
class MailIndexScheduler;
}

namespace lumidex {

// Runs the mail index scheduler; each run holds the mail index's writer lock ("mail.lock") while it
// lasts and is skipped when another process holds it. Destruction stops the runs (a running one is
// cancelled and waited for). Lives on the thread that started it; scheduler() may be used from any
// thread (for on-demand runs and status).
class BackgroundMailIndexing {
public:
    BackgroundMailIndexing(std::shared_ptr<mail::MailAttachmentDecoder> decoder,
                           std::unique_ptr<mail::MailIndexScheduler> scheduler);
    ~BackgroundMailIndexing();
    BackgroundMailIndexing(const BackgroundMailIndexing&) = delete;
    BackgroundMailIndexing& operator=(const BackgroundMailIndexing&) = delete;

    mail::MailIndexScheduler& scheduler() { return *scheduler_; }
    // The mail routes' hold on these runs (on-demand runs and figures); valid while this object lives.
    service::MailIndexControl control();

private:
    std::shared_ptr<mail::MailAttachmentDecoder> decoder_;  // read by the scheduler's runs
    std::unique_ptr<mail::MailIndexScheduler> scheduler_;
};

// Started when mail sources are configured; null (with a log line) when there are none or the list
// cannot be read. `command` names the holder of the lock during runs.
std::unique_ptr<BackgroundMailIndexing> startBackgroundMailIndexing(const std::string& command);

}  // namespace lumidex

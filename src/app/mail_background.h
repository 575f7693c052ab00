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
namespace lumidex::platform {
class WriterLock;
}

namespace lumidex {

// Runs the mail index scheduler while holding the mail index's writer lock ("mail.lock"). Destruction
// stops the runs (a running one is cancelled and waited for), then releases the lock. Lives on the thread
// that started it; scheduler() may be used from any thread (for on-demand runs and status).
class BackgroundMailIndexing {
public:
    BackgroundMailIndexing(std::unique_ptr<platform::WriterLock> lock, std::shared_ptr<mail::MailAttachmentDecoder> decoder,
                           std::unique_ptr<mail::MailIndexScheduler> scheduler);
    ~BackgroundMailIndexing();
    BackgroundMailIndexing(const BackgroundMailIndexing&) = delete;
    BackgroundMailIndexing& operator=(const BackgroundMailIndexing&) = delete;

    mail::MailIndexScheduler& scheduler() { return *scheduler_; }
    // The mail routes' hold on these runs (on-demand runs and figures); valid while this object lives.
    service::MailIndexControl control();

private:
    std::unique_ptr<platform::WriterLock> lock_;
    std::shared_ptr<mail::MailAttachmentDecoder> decoder_;  // read by the scheduler's runs
    std::unique_ptr<mail::MailIndexScheduler> scheduler_;
};

// Started when mail sources are configured; null (with a log line) when there are none, the list cannot
// be read, or another process holds the mail index. `command` names the holder of the lock.
std::unique_ptr<BackgroundMailIndexing> startBackgroundMailIndexing(const std::string& command);

}  // namespace lumidex

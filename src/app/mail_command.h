// "mail add PATH | add --thunderbird | list | remove PATH | index": the mail stores Lumidex indexes (Maildir folders, mbox
// files and folders, a desktop mail client's profile) and indexing them into the mail index.
//
// The list is kept in the settings folder (mail_sources.json). Adding a store also turns
// "mailSourceEnabled" on, so that searches include mail. Exit code 0; 1 with the reason on stderr when a
// path is no mail store, the list cannot be read or saved, or indexing could not write the index (what
// was written stays, and the next `mail index` does the rest).
#pragma once

#include <memory>
#include <string>

#include "search/searchable_folder.h"

namespace lumidex::mail {
class MailIndexScheduler;
}
namespace lumidex::platform {
class WriterLock;
}

namespace CLI {
class App;
}

namespace lumidex {

void addMailCommand(CLI::App& app);

// The mail index as a search source when mail stores are configured; null otherwise.
std::shared_ptr<search::MailSearchSource> configuredMailSearchSource();

// The mail index kept current while `serve` or `window` runs: the configured mail sources indexed at
// start, after changes below their folders, every five minutes and on demand, holding the mail index's
// writer lock ("mail.lock") throughout. Destruction stops the runs (a running one is cancelled and
// waited for) and releases the lock. Lives on the thread that started it.
class BackgroundMailIndexing {
public:
    BackgroundMailIndexing(std::unique_ptr<platform::WriterLock> lock, std::unique_ptr<mail::MailIndexScheduler> scheduler);
    ~BackgroundMailIndexing();
    BackgroundMailIndexing(const BackgroundMailIndexing&) = delete;
    BackgroundMailIndexing& operator=(const BackgroundMailIndexing&) = delete;

    mail::MailIndexScheduler& scheduler() { return *scheduler_; }

private:
    std::unique_ptr<platform::WriterLock> lock_;
    std::unique_ptr<mail::MailIndexScheduler> scheduler_;
};

// Started when mail sources are configured; null (with a log line) when there are none, the list cannot
// be read, or another process holds the mail index. `command` names the holder of the lock.
std::unique_ptr<BackgroundMailIndexing> startBackgroundMailIndexing(const std::string& command);

}  // namespace lumidex

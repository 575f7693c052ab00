// On-demand runs of the local mail indexer for the mail routes of the local API: a run over every
// configured mail store (mail_sources.json) on a background thread, with its figures for the status
// route. Requests during a run are coalesced into one more run after it.
//
// Threads: requestRun() and figures() may be called from any thread; the runs happen on the object's own
// thread, which the destructor joins (a run under way is finished first). The run holds the mail index's
// writer lock ("mail.lock"); when another process holds it, the run is skipped with a log line. Failures
// of a run are logged and counted in the figures; nothing throws.
#pragma once

#include <condition_variable>
#include <mutex>
#include <thread>

#include "service/mail_service.h"

namespace lumidex {

class MailApiRuns {
public:
    MailApiRuns();
    ~MailApiRuns();
    MailApiRuns(const MailApiRuns&) = delete;
    MailApiRuns& operator=(const MailApiRuns&) = delete;

    bool requestRun(bool force);
    service::MailIndexerFigures figures() const;
    // The control the mail routes take.
    service::MailIndexControl control();

private:
    void loop();
    void runOnce();

    mutable std::mutex mutex_;
    std::condition_variable wake_;
    bool requested_ = false;
    bool stopping_ = false;
    service::MailIndexerFigures figures_;
    std::thread thread_;
};

}  // namespace lumidex

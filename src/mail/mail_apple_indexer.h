// Keeps the mail full-text store in step with the mail client's store: one run decides from a
// fingerprint of the Envelope Index whether anything changed (fast path), reads the messages the index
// does not cover yet (catch-up), streams new messages from the saved cursor, writes each message's
// row, ledger entry and copy together, and reconciles the copies with the live Envelope Index so that
// deleted messages are collected. Only the mail client's rows (positive rowids) are reconciled: the
// messages of local stores (negative rowids) are left as they are.
//
// Ownership and threads: borrows the store and the settings (both must outlive it); run() is called by
// one thread at a time (the scheduler makes sure), and may be cancelled through its flag from any
// thread. The cursor ("mailIndexLastSeenRowid") and the one-shot force flag ("mailIndexForceRunOnce")
// live in the settings. Failure behaviour: nothing throws except std::bad_alloc; an unreadable Envelope
// Index ends the run without touching the store; every failed message and write is logged and counted.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "core/settings/settings_store.h"
#include "mail/mail_apple_source.h"
#include "mail/mail_fts.h"

namespace lumidex::mail {

inline constexpr std::string_view kMailIndexLastSeenRowidKey = "mailIndexLastSeenRowid";
inline constexpr std::string_view kMailIndexForceRunOnceKey = "mailIndexForceRunOnce";
inline constexpr std::string_view kMailIndexDbVersion = "v9";

// (fingerprintHi, fingerprintLo) over the live rowids and their mailbox URLs; independent of order.
std::pair<int64_t, int64_t> envelopeFingerprint(const std::vector<int64_t>& liveRowids,
                                                const std::map<int64_t, std::string>& mailboxUrls);

struct AppleMailRunReport {
    bool envelopeUnreadable = false;  // the run ended before touching the store
    bool fastPath = false;            // nothing changed: no message was read
    int64_t live = 0;
    int64_t covered = 0;
    int64_t missing = 0;  // after the run
    int64_t catchup = 0;
    int64_t processed = 0;  // messages extracted (or tried)
    int64_t success = 0;
    int64_t empty = 0;
    int64_t extractFailed = 0;
    int64_t upsertFailed = 0;
    int64_t filtered = 0;
    int64_t readRetries = 0;   // failed reads of the Envelope Index that were tried again
    int64_t readsFailed = 0;   // reads given up after every retry
    int64_t removed = 0;       // messages collected because the mail client deleted them
    int64_t mailboxesSynced = 0;
    std::string streamEnd;
    std::vector<std::string> errors;  // store writes that failed, unreadable index

    bool ok() const { return errors.empty() && upsertFailed == 0; }
};

class AppleMailIndexer {
public:
    AppleMailIndexer(MailFtsSqlite& fts, SettingsStore& settings, AppleMailSourceOptions sourceOptions);

    // One run. `force` skips the fast path (as the stored one-shot flag does); `deduplicate` asks the
    // store to drop duplicate full-text rows at the end.
    AppleMailRunReport run(bool force, const std::atomic<bool>& cancelled, bool deduplicate = false);

    size_t flushBatchSize = 200;

private:
    void log(const std::string& line) const;

    MailFtsSqlite& fts_;
    SettingsStore& settings_;
    AppleMailSourceOptions sourceOptions_;
};

}  // namespace lumidex::mail

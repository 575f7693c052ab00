// One index run over every configured mail source: the local stores through LocalMailIndexer, the
// mail client's store through AppleMailIndexer. What `lumidex mail index` and the long-lived scheduler
// both run.
//
// Thread-safety: one call at a time per store (the caller holds the mail index's writer lock).
// Failure behaviour: nothing throws except std::bad_alloc; every failure is in the outcome's errors.
#pragma once

#include <atomic>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "core/settings/settings_store.h"
#include "mail/mail_apple_source.h"
#include "mail/mail_fts.h"
#include "mail/mail_index_scheduler.h"
#include "mail/mail_indexer.h"
#include "mail/mail_indexer_sources.h"

namespace lumidex::mail {

// Source options of a mail client's store at `mailRoot` as the settings ask for them
// ("mailIndexOcrSizeLimitMB", "mailIndexOcrAttachments", "mailIndexPlainAttachments",
// "mailIndexedAccountUuids").
AppleMailSourceOptions appleMailOptions(const std::filesystem::path& mailRoot, const SettingsStore& settings);

struct MailRunHooks {
    MailIndexProgress progress;               // local stores: after each message read
    // How attachments are read, for every source alike (the decoder is borrowed). The mail client's
    // store reads its PDF and image attachments through extraction.decoder unless binaryAttachmentText
    // is set.
    MessageExtraction extraction;
    BinaryAttachmentText binaryAttachmentText;
    // Per source, after it ran: its path and a one-line summary.
    std::function<void(const ConfiguredMailSource&, const std::string& summary)> sourceDone;
};

// Runs every source in turn; a source that fails does not stop the others. Only the first source of
// type "apple-mail" is indexed (rowids of two such stores would collide); a second is reported.
MailRunOutcome indexMailSources(MailFtsSqlite& fts, SettingsStore& settings,
                                const std::vector<ConfiguredMailSource>& sources, bool force,
                                const std::atomic<bool>& cancelled, const MailRunHooks& hooks = {});

// Removes every message of the mail client's store from the index (those of local stores stay) and
// resets its cursor and index state. False when a write failed; calling it again finishes it.
bool forgetAppleMail(MailFtsSqlite& fts, SettingsStore& settings);

}  // namespace lumidex::mail

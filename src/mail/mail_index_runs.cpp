#include "mail/mail_index_runs.h"

#include <algorithm>

#include "mail/mail_apple_indexer.h"

namespace lumidex::mail {

namespace {
constexpr int64_t kDefaultOcrSizeLimitMB = 20;
}

AppleMailSourceOptions appleMailOptions(const std::filesystem::path& mailRoot, const SettingsStore& settings) {
    AppleMailSourceOptions options;
    options.mailRoot = mailRoot;
    const int64_t megabytes = std::max<int64_t>(1, settings.getInt("mailIndexOcrSizeLimitMB").value_or(kDefaultOcrSizeLimitMB));
    options.ocrSizeLimitBytes = megabytes << 20;
    options.ocrFallbackEnabled = settings.getBool("mailIndexOcrAttachments").value_or(true);
    options.plainAttachmentsEnabled = settings.getBool("mailIndexPlainAttachments").value_or(true);
    options.indexedAccountMailboxes = settings.getStringList("mailIndexedAccountUuids").value_or(StringList{});
    return options;
}

MailRunOutcome indexMailSources(MailFtsSqlite& fts, SettingsStore& settings,
                                const std::vector<ConfiguredMailSource>& sources, bool force,
                                const std::atomic<bool>& cancelled, const MailRunHooks& hooks) {
    MailRunOutcome outcome;
    LocalMailIndexer local(fts);
    local.extraction = hooks.extraction;
    local.cancelled = &cancelled;
    bool appleMailDone = false;
    for (const ConfiguredMailSource& configured : sources) {
        if (cancelled) break;
        std::string summary;
        if (configured.type == kAppleMailSourceType) {
            if (appleMailDone) {
                outcome.errors.push_back("only one Apple Mail store is indexed; skipped " + configured.path.string());
                continue;
            }
            appleMailDone = true;
            AppleMailSourceOptions options = appleMailOptions(configured.path, settings);
            options.binaryAttachmentText = hooks.binaryAttachmentText;
            if (!options.binaryAttachmentText && hooks.extraction.decoder) {
                MailAttachmentDecoder* decoder = hooks.extraction.decoder;
                const auto budget = hooks.extraction.limits.timeBudget;
                options.binaryAttachmentText = [decoder, budget](std::string_view name, std::string_view bytes,
                                                                 bool recognitionAllowed) -> std::optional<std::string> {
                    AttachmentDecodeRequest request;
                    request.name = std::string(name);
                    request.kind = attachmentKind({}, name, bytes.substr(0, 8));
                    request.bytes = bytes;
                    request.ocrFallback = recognitionAllowed;
                    if (request.kind != AttachmentKind::pdf && request.kind != AttachmentKind::image) return std::nullopt;
                    AttachmentDecodeOutcome decoded = decoder->decode(request, MailAttachmentDecoder::Clock::now() + budget);
                    if (decoded.text.empty()) return std::nullopt;
                    return std::move(decoded.text);
                };
            }
            AppleMailIndexer indexer(fts, settings, std::move(options));
            const AppleMailRunReport report = indexer.run(force, cancelled);
            outcome.messagesRead += report.processed;
            outcome.messagesWritten += report.success + report.empty;
            outcome.messagesRemoved += report.removed;
            outcome.messagesFailed += report.extractFailed + report.upsertFailed;
            for (const std::string& error : report.errors) outcome.errors.push_back(configured.path.string() + ": " + error);
            summary = report.fastPath ? "unchanged"
                                      : std::to_string(report.processed) + " read, " + std::to_string(report.removed) +
                                            " removed" +
                                            (report.extractFailed > 0
                                                 ? ", " + std::to_string(report.extractFailed) + " unreadable"
                                                 : std::string());
        } else {
            const auto stores = storesOf(configured);
            if (stores.empty()) {
                outcome.errors.push_back("no mail folders in " + configured.path.string());
                continue;
            }
            const LocalMailSource source(configured.path.string(), stores);
            const MailIndexReport report = local.run(source, hooks.progress);
            outcome.messagesRead += report.messagesRead;
            outcome.messagesWritten += report.messagesWritten;
            outcome.messagesRemoved += report.messagesRemoved;
            outcome.messagesFailed += report.messagesFailed;
            outcome.attachmentsFailed += report.attachmentsFailed;
            for (const std::string& error : report.errors) outcome.errors.push_back(error);
            summary = std::to_string(report.messagesRead) + " read, " + std::to_string(report.messagesMoved) +
                      " moved, " + std::to_string(report.messagesRemoved) + " removed";
            if (report.messagesFailed > 0) summary += ", " + std::to_string(report.messagesFailed) + " unreadable";
            if (report.storesUnchanged == report.storesListed && report.storesListed > 0) summary += " (unchanged)";
        }
        if (hooks.sourceDone) hooks.sourceDone(configured, summary);
    }
    return outcome;
}

bool forgetAppleMail(MailFtsSqlite& fts, SettingsStore& settings) {
    // With the mail client's copies gone, its messages are the ones without copies.
    if (!fts.pruneCopies({})) return false;
    bool read = false;
    const bool othersLeft = !fts.canonicalRowids(&read).empty();
    if (!read) return false;
    if (othersLeft) {
        for (;;) {
            const auto removed = fts.deleteMessageIdsWithNoCopies(1000);
            if (!removed) return false;
            if (*removed == 0) break;
        }
    } else if (!fts.clearAll()) {
        return false;
    }
    return fts.setIndexState({0, 0, false, std::string(kMailIndexDbVersion)}) &&
           !settings.setInt(kMailIndexLastSeenRowidKey, 0);
}

}  // namespace lumidex::mail

#include "mail/mail_apple_indexer.h"

#include <algorithm>
#include <set>
#include <unordered_set>

#include "core/app_log.h"
#include "mail/mail_fts_query.h"

namespace lumidex::mail {

namespace {

constexpr size_t kCatchupCap = 20'000;
constexpr int64_t kMaxAttempts = 5;
constexpr int64_t kDeleteTrackingLimit = 1000;

uint64_t mix(uint64_t z) {
    z ^= z >> 30;
    z *= 0xbf58476d1ce4e5b9ULL;
    z ^= z >> 27;
    z *= 0x94d049bb133111ebULL;
    z ^= z >> 31;
    return z;
}

std::string count(int64_t n) { return std::to_string(n); }

template <typename T>
EnvelopeResult<T> failed(const EnvelopeResult<T>& result, std::string& error) {
    if (const auto* e = std::get_if<EnvelopeIndexError>(&result)) error = e->message();
    return result;
}

}  // namespace

std::pair<int64_t, int64_t> envelopeFingerprint(const std::vector<int64_t>& liveRowids,
                                                const std::map<int64_t, std::string>& mailboxUrls) {
    constexpr uint64_t kGolden = 0x9e3779b97f4a7c15ULL;
    uint64_t hi = 0;
    uint64_t lo = 0;
    for (const int64_t rowid : liveRowids) {
        const auto r = static_cast<uint64_t>(rowid);
        const auto url = mailboxUrls.find(rowid);
        const auto h = static_cast<uint64_t>(mailContentHash(url == mailboxUrls.end() ? std::string_view() : url->second));
        hi ^= mix(r + kGolden);
        lo ^= mix((r ^ (h ^ 0xd1b54a32d192ed03ULL)) + kGolden);
    }
    return {static_cast<int64_t>(hi), static_cast<int64_t>(lo)};
}

AppleMailIndexer::AppleMailIndexer(MailFtsSqlite& fts, SettingsStore& settings, AppleMailSourceOptions sourceOptions)
    : fts_(fts), settings_(settings), sourceOptions_(std::move(sourceOptions)) {}

void AppleMailIndexer::log(const std::string& line) const {
    if (sourceOptions_.log) {
        sourceOptions_.log(line);
    } else {
        appLog(line);
    }
}

AppleMailRunReport AppleMailIndexer::run(bool force, const std::atomic<bool>& cancelled, bool deduplicate) {
    AppleMailRunReport report;
    const auto writeFailed = [&](const std::string& what) { report.errors.push_back("mail index write failed: " + what); };

    // Pass 0: decide.
    auto opened = EnvelopeIndexReader::open(EnvelopeIndexReader::pathBelow(sourceOptions_.mailRoot),
                                            sourceOptions_.busyTimeout);
    if (const auto* error = std::get_if<EnvelopeIndexError>(&opened)) {
        log("AppleMailIndexer: pass-0 envelope reader open failed");
        report.envelopeUnreadable = true;
        report.errors.push_back(error->message());
        return report;
    }
    std::vector<int64_t> live;
    std::map<int64_t, std::string> mailboxes;
    std::map<int64_t, std::string> documentIds;
    {
        auto reader = std::move(std::get<std::unique_ptr<EnvelopeIndexReader>>(opened));
        std::string error;
        auto rowids = failed(reader->allRowids(), error);
        auto rowMailboxes = error.empty() ? failed(reader->allRowidMailboxes(), error) : decltype(reader->allRowidMailboxes()){};
        auto rowDocuments = error.empty() ? failed(reader->allRowidDocumentIds(), error) : decltype(reader->allRowidDocumentIds()){};
        if (!error.empty()) {
            log("AppleMailIndexer: pass-0 envelope read failed: " + error);
            report.envelopeUnreadable = true;
            report.errors.push_back(error);
            return report;
        }
        live = std::move(std::get<std::vector<int64_t>>(rowids));
        for (auto& [rowid, url] : std::get<0>(rowMailboxes)) mailboxes.emplace(rowid, std::move(url));
        for (auto& [rowid, id] : std::get<0>(rowDocuments)) documentIds.emplace(rowid, std::move(id));
    }
    std::erase_if(live, [](int64_t rowid) { return rowid <= 0; });
    if (live.empty()) {
        log("AppleMailIndexer: pass-0 live rowids empty — skipping run");
        return report;
    }
    std::sort(live.begin(), live.end());
    const std::set<int64_t> liveSet(live.begin(), live.end());
    report.live = static_cast<int64_t>(live.size());
    const auto [hi, lo] = envelopeFingerprint(live, mailboxes);
    const std::optional<MailIndexState> stored = fts_.getIndexState();
    if (!stored || stored->dbVersion != kMailIndexDbVersion) {
        if (!fts_.setIndexState({hi, lo, false, std::string(kMailIndexDbVersion)})) writeFailed("index state");
    }
    if (settings_.getBool(kMailIndexForceRunOnceKey).value_or(false)) {
        force = true;
        if (settings_.remove(kMailIndexForceRunOnceKey)) writeFailed("mailIndexForceRunOnce");
    }
    const auto coveredSet = [&] {
        std::set<int64_t> covered = fts_.coveredEnvelopeRowids();
        covered.merge(fts_.stalledPlaceholderRowids());
        return covered;
    };
    std::set<int64_t> covered = coveredSet();
    std::vector<int64_t> missing;
    for (const int64_t rowid : live) {
        if (!covered.contains(rowid)) missing.push_back(rowid);
    }
    // Rows of other stores (negative rowids) are not this run's to retry.
    std::vector<int64_t> incomplete;
    for (const MailMetaRecord& meta : fts_.incompleteRecords(std::nullopt, static_cast<int64_t>(kCatchupCap))) {
        if (meta.envelopeRowid && *meta.envelopeRowid > 0 && meta.attemptCount < kMaxAttempts &&
            liveSet.contains(*meta.envelopeRowid)) {
            incomplete.push_back(*meta.envelopeRowid);
        }
    }
    report.covered = static_cast<int64_t>(std::count_if(live.begin(), live.end(), [&](int64_t r) { return covered.contains(r); }));
    if (stored && stored->fingerprintHi == hi && stored->fingerprintLo == lo && stored->fullyCovered && missing.empty() &&
        !force && incomplete.empty()) {
        report.fastPath = true;
        return report;
    }
    int64_t ledgerSize = 0;
    for (const auto& [status, n] : fts_.statusCounts()) ledgerSize += n;
    log("AppleMailIndexer: run start — live=" + count(report.live) + " covered=" + count(report.covered) +
        " actionableMissing=" + count(static_cast<int64_t>(missing.size())) + " meta=" + count(ledgerSize) +
        " force=" + (force ? "true" : "false"));

    // Writing: each message's row, ledger entry and copy in one transaction.
    AppleMailSource source(sourceOptions_);
    std::vector<MailReplacement> pending;
    std::unordered_set<std::string> handledIds;
    std::set<int64_t> handledRowids;
    const auto flush = [&] {
        if (pending.empty()) return;
        const std::vector<bool> written = fts_.replaceMessages(pending);
        for (size_t i = 0; i < pending.size(); ++i) {
            const MailReplacement& m = pending[i];
            if (written[i]) {
                if (m.status == MailIndexStatus::success) ++report.success;
                if (m.status == MailIndexStatus::empty) ++report.empty;
                continue;
            }
            ++report.upsertFailed;
            const std::string& id = m.externalId;
            if (!fts_.upsertMeta(id, MailIndexStatus::failed, std::nullopt, m.envelopeRowid, "upsert failed")) {
                writeFailed("ledger of " + id);
            }
        }
        pending.clear();
    };
    const AppleMailSource::Sink sink = [&](IndexableItem item, const MailRecord& record) {
        if (!handledRowids.insert(record.rowid).second) return true;
        // A message in two mailboxes is read once; its second copy is recorded in pass 3.
        if (!handledIds.insert(item.externalId).second) return true;
        ++report.processed;
        MailReplacement m;
        m.externalId = item.externalId;
        m.envelopeRowid = record.rowid;
        m.copy = MailCopy{record.rowid, item.externalId, record.mailboxUrl, record.messageId && !record.messageId->empty()};
        try {
            const ExtractedContent content = item.extractor();
            m.item = upsertItemFor(item.externalId, record.mailboxUrl.value_or(""), content);
            if (!record.mailboxUrl) m.item->mailbox.reset();
            if (const auto mtime = content.headers.find("emlx-mtime"); mtime != content.headers.end()) {
                m.emlxMtime = std::strtod(mtime->second.c_str(), nullptr);
            }
            const bool hasText = !content.plainText.empty() || !content.attachmentTexts.empty();
            m.status = hasText ? MailIndexStatus::success : MailIndexStatus::empty;
            if (!hasText) m.errorReason = "body empty";
        } catch (const std::exception& e) {
            log("AppleMailIndexer extract error for " + item.externalId + ": " + e.what());
            ++report.extractFailed;
            m.status = MailIndexStatus::failed;
            m.errorReason = e.what();
        }
        pending.push_back(std::move(m));
        if (pending.size() >= flushBatchSize) flush();
        return true;  // the source itself ends on cancellation, with its reason
    };

    // Pass 1: catch-up.
    std::vector<int64_t> catchup = missing;
    catchup.insert(catchup.end(), incomplete.begin(), incomplete.end());
    std::sort(catchup.begin(), catchup.end());
    catchup.erase(std::unique(catchup.begin(), catchup.end()), catchup.end());
    if (catchup.size() > kCatchupCap) catchup.resize(kCatchupCap);
    report.catchup = static_cast<int64_t>(catchup.size());
    if (!catchup.empty()) {
        log("AppleMailIndexer: catchup " + count(report.catchup) + " rowids (missing=" +
            count(static_cast<int64_t>(missing.size())) + " incomplete=" + count(static_cast<int64_t>(incomplete.size())) + ")");
        const AppleMailStreamResult caught = source.enumerateRowids(catchup, sink, cancelled);
        report.readRetries += caught.retries;
        report.readsFailed += caught.failedReads;
        report.filtered += caught.filtered;
        flush();
    }

    // Pass 2: stream from the cursor.
    if (!cancelled) {
        int64_t cursor = std::max<int64_t>(0, settings_.getInt(kMailIndexLastSeenRowidKey).value_or(0));
        const AppleMailStreamResult streamed = source.enumerate(cursor, sink, cancelled);
        flush();
        report.streamEnd = streamed.endReason;
        report.readRetries += streamed.retries;
        report.readsFailed += streamed.failedReads;
        report.filtered += streamed.filtered;
        // Saved once what it passed is written: a crash in between reads those messages again.
        if (settings_.setInt(kMailIndexLastSeenRowidKey, cursor)) writeFailed("mailIndexLastSeenRowid");
    }
    if (cancelled) {
        report.errors.push_back("cancelled");
        return report;
    }

    // Pass 3: reconcile and collect garbage. Only rowids this run read or an earlier one recorded get a
    // copy: one never read (a catch-up chunk given up, an account not indexed) must stay missing, or it
    // would count as covered below the cursor and no later run would read it.
    std::vector<MailCopy> copies;
    copies.reserve(live.size());
    for (const int64_t rowid : live) {
        if (!covered.contains(rowid) && !handledRowids.contains(rowid)) continue;
        const auto doc = documentIds.find(rowid);
        const auto url = mailboxes.find(rowid);
        const bool resolved = doc != documentIds.end();
        copies.push_back({rowid, resolved ? doc->second : std::string(kPlaceholderExternalIdPrefix) + std::to_string(rowid),
                          url == mailboxes.end() ? std::nullopt : std::optional<std::string>(url->second), resolved});
    }
    if (fts_.recordCopiesBatch(copies)) {
        log("AppleMailIndexer: reconcileCopies recorded " + count(static_cast<int64_t>(copies.size())) +
            " live copies (header-only)");
    } else {
        writeFailed("copies");
    }
    const auto step = [&](std::optional<int64_t> n, const std::string& what, const std::string& before,
                          const std::string& after) {
        if (!n) {
            writeFailed(what);
            return int64_t{0};
        }
        log(before + count(*n) + after);
        return *n;
    };
    step(fts_.purgeOrphanPlaceholders(), "orphan placeholders", "AppleMailIndexer: removed ", " orphan placeholder rows");
    step(fts_.pruneCopies(liveSet), "copies", "AppleMailIndexer: pruned ", " dead ledger copies");
    report.removed = step(fts_.deleteMessageIdsWithNoCopies(kDeleteTrackingLimit), "delete tracking",
                          "AppleMailIndexer: delete-tracking removed ", " fully-gone message-ids");
    step(fts_.cleanupStaleMeta(), "stale ledger rows", "AppleMailIndexer: GC removed ", " stale meta records");
    if (deduplicate) {
        const auto removed = fts_.deduplicateByExternalId();
        if (!removed) writeFailed("duplicates");
        if (removed && *removed > 0) log("AppleMailIndexer: removed " + count(*removed) + " duplicate FTS rows");
    }
    step(fts_.electCanonicalRowids(), "canonical rowids", "AppleMailIndexer: canonical-election repointed ",
         " message-ids");

    // Mailbox sync: the row shows the mailbox of the message's canonical copy.
    bool canonicalRead = false;
    bool rowsRead = false;
    const auto canonical = fts_.canonicalRowids(&canonicalRead);
    const auto rowMailboxes = fts_.ftsMailboxes(&rowsRead);
    if (canonicalRead && rowsRead) {
        std::map<std::string, std::string> updates;
        for (const auto& [id, rowid] : canonical) {
            const auto want = mailboxes.find(rowid);
            const auto have = rowMailboxes.find(id);
            if (rowid <= 0 || want == mailboxes.end() || have == rowMailboxes.end()) continue;
            if (have->second != want->second) updates.emplace(id, want->second);
        }
        if (const auto n = fts_.updateMailboxes(updates)) {
            report.mailboxesSynced = *n;
            log("AppleMailIndexer: mailbox-sync updated " + count(*n) + " mails");
        } else {
            writeFailed("mailboxes");
        }
    } else {
        report.errors.push_back("mail index not readable for the mailbox sync");
    }

    covered = coveredSet();
    report.covered = 0;
    for (const int64_t rowid : live) report.covered += covered.contains(rowid) ? 1 : 0;
    report.missing = report.live - report.covered;
    auto counts = fts_.statusCounts();
    log("AppleMailIndexer: coverage envelope=" + count(report.live) + " covered=" + count(report.covered) +
        " missing=" + count(report.missing) + " status=success:" + count(counts["success"]) + " empty:" +
        count(counts["empty"]) + " failed:" + count(counts["failed"]) + " pending:" + count(counts["pending"]));
    // The copies above cover every live rowid whether its text was read or not: only a run that wrote
    // everything it read and streamed to the end lets the next one take the fast path.
    const bool coveredFully = report.missing == 0 && report.errors.empty() && report.upsertFailed == 0 &&
                              report.readsFailed == 0 && report.streamEnd.starts_with("ended-empty-batches");
    if (!fts_.setIndexState({hi, lo, coveredFully, std::string(kMailIndexDbVersion)})) writeFailed("index state");
    return report;
}

}  // namespace lumidex::mail

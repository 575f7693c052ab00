#include "mail/mail_indexer.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <set>
#include <sstream>
#include <stdexcept>
#include <system_error>
#include <unordered_set>

#include "core/app_log.h"
#include "core/atomic_file.h"

namespace lumidex::mail {

namespace {

std::string hex16(uint64_t value) {
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(value));
    return text;
}

// As for the mail client's messages: after five failed attempts a message is no longer retried.
constexpr int64_t kMaxReadAttempts = 5;

void logLine(const std::string& line) { appLog("LocalMailIndexer: " + line); }

// The kept listing; nullopt when there is none or it is damaged (logged).
std::optional<MailListing> loadListing(const std::filesystem::path& file) {
    std::error_code ec;
    if (!std::filesystem::exists(file, ec)) return std::nullopt;
    std::ifstream in(file, std::ios::binary);
    std::stringstream bytes;
    bytes << in.rdbuf();
    const nlohmann::json json = nlohmann::json::parse(bytes.str(), nullptr, false);
    auto listing = json.is_discarded() ? std::nullopt : listingFromJson(json);
    if (!listing) logLine("kept listing damaged, listing from scratch: " + file.string());
    return listing;
}

// The modification time a Maildir listing keeps in its change key ("<size>:<mtime ns>"), in seconds.
std::optional<double> changeKeySeconds(const MessageLocation& location) {
    const size_t colon = location.changeKey.find(':');
    if (colon == std::string::npos) return std::nullopt;
    try {
        return static_cast<double>(std::stoll(location.changeKey.substr(colon + 1))) / 1e9;
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

// Whether the ledger row says this very version of the message is in the index: ids without a change key
// name their content (an mbox message's hash); the others must match the time the row was written with.
bool indexedAsListed(const MailMetaRecord& meta, const MessageLocation& location) {
    if (meta.indexStatus != MailIndexStatus::success && meta.indexStatus != MailIndexStatus::empty) return false;
    if (location.changeKey.empty()) return true;
    const auto seconds = changeKeySeconds(location);
    return seconds && meta.emlxMtime && std::abs(*meta.emlxMtime - *seconds) < 1e-5;
}

}  // namespace

// Registry -------------------------------------------------------------------------------------------

std::string_view toText(SourceKind kind) {
    switch (kind) {
        case SourceKind::filesystem: return "filesystem";
        case SourceKind::appleMail: return "appleMail";
        case SourceKind::maildir: return "maildir";
        case SourceKind::mbox: return "mbox";
    }
    return "filesystem";
}

void SourceRegistry::registerSource(std::shared_ptr<IndexableSource> source) {
    if (!source) return;
    std::lock_guard lock(mutex_);
    sources_[source->id()] = std::move(source);
}

void SourceRegistry::unregisterSource(const SourceID& id) {
    std::lock_guard lock(mutex_);
    sources_.erase(id);
}

std::shared_ptr<IndexableSource> SourceRegistry::lookup(const SourceID& id) const {
    std::lock_guard lock(mutex_);
    const auto it = sources_.find(id);
    return it == sources_.end() ? nullptr : it->second;
}

std::vector<std::shared_ptr<IndexableSource>> SourceRegistry::enabledSources() const {
    std::lock_guard lock(mutex_);
    std::vector<std::shared_ptr<IndexableSource>> out;
    for (const auto& [id, source] : sources_) {
        if (source->isEnabled()) out.push_back(source);
    }
    return out;
}

// Local stores ---------------------------------------------------------------------------------------

std::string_view storeTypeName(MailStoreKind kind) { return kind == MailStoreKind::maildir ? "maildir" : "mbox"; }

std::string storeKey(const LocalStore& store) {
    return hex16(fnv1a64(store.root.lexically_normal().string(), fnv1a64(storeKindName(store.kind))));
}

std::string externalIdFor(const LocalStore& store, std::string_view messageId) {
    return std::string(storeTypeName(store.kind)) + ":" + storeKey(store) + ":" + std::string(messageId);
}

std::string mailboxUrlFor(const LocalStore& store, std::string_view mailbox) {
    return std::string(storeTypeName(store.kind)) + "://" + store.root.lexically_normal().string() + "/" +
           std::string(mailbox);
}

int64_t localCopyRowid(std::string_view externalId) {
    return -static_cast<int64_t>(fnv1a64(externalId) >> 1) - 1;
}

LocalMailSource::LocalMailSource(std::string identifier, std::vector<LocalStore> stores)
    : identifier_(std::move(identifier)), stores_(std::move(stores)) {}

SourceID LocalMailSource::id() const {
    const bool maildir = !stores_.empty() && stores_.front().kind == MailStoreKind::maildir;
    return {maildir ? SourceKind::maildir : SourceKind::mbox, identifier_};
}

IndexableItem LocalMailSource::item(const MailListing& listing, const MessageLocation& location,
                                    const MessageExtraction& extraction) {
    IndexableItem item;
    item.externalId = externalIdFor({listing.kind, listing.root}, location.id);
    item.displayName = location.mailbox;
    item.mimeType = "message/rfc822";
    item.extractor = [&listing, location, extraction] {
        auto read = readMessagePrefix(listing, location, extraction.limits.maxMessageBytes);
        if (const auto* error = std::get_if<MessageReadError>(&read)) throw std::runtime_error(error->message);
        const MessageBytes& bytes = std::get<MessageBytes>(read);
        MessageExtraction options = extraction;
        options.cut = bytes.cut;
        options.externalId = externalIdFor({listing.kind, listing.root}, location.id);
        return extractMessage(bytes.bytes, options);
    };
    return item;
}

// Indexer --------------------------------------------------------------------------------------------

LocalMailIndexer::LocalMailIndexer(MailFtsSqlite& fts) : fts_(fts) {}

bool LocalMailIndexer::forgetAllListings() {
    std::error_code ec;
    std::filesystem::remove_all(fts_.databasePath().parent_path() / "listings", ec);
    if (ec) logLine("the kept listings could not be removed: " + ec.message());
    return !ec;
}

std::filesystem::path LocalMailIndexer::listingPath(const LocalStore& store) const {
    return fts_.databasePath().parent_path() / "listings" / (storeKey(store) + ".json");
}

MailIndexReport LocalMailIndexer::run(const LocalMailSource& source, const MailIndexProgress& progress) {
    MailIndexReport total;
    for (const LocalStore& store : source.stores()) {
        if (cancelled && *cancelled) break;
        const MailIndexReport one = runStore(store, progress);
        total.storesListed += one.storesListed;
        total.storesUnchanged += one.storesUnchanged;
        total.messagesRead += one.messagesRead;
        total.messagesWritten += one.messagesWritten;
        total.messagesMoved += one.messagesMoved;
        total.messagesRemoved += one.messagesRemoved;
        total.messagesFailed += one.messagesFailed;
        total.writesFailed += one.writesFailed;
        total.attachmentsRead += one.attachmentsRead;
        total.attachmentsFailed += one.attachmentsFailed;
        total.officeAttachmentsQueued += one.officeAttachmentsQueued;
        total.errors.insert(total.errors.end(), one.errors.begin(), one.errors.end());
    }
    return total;
}

MailIndexReport LocalMailIndexer::runStore(const LocalStore& store, const MailIndexProgress& progress) {
    MailIndexReport report;
    if (!fts_.ensureOpen()) {
        report.errors.push_back("Mail index not available: " + fts_.openError());
        return report;
    }
    const std::filesystem::path keptPath = listingPath(store);
    const std::optional<MailListing> kept = loadListing(keptPath);
    ListingResult listed = listMailStore(store.kind, store.root, kept ? &*kept : nullptr);
    if (const auto* error = std::get_if<ListingError>(&listed)) {
        logLine(error->message);
        report.errors.push_back(error->message);
        return report;
    }
    MailListing listing = std::move(std::get<MailListing>(listed));
    ++report.storesListed;
    for (const std::string& skipped : listing.unreadable) logLine("skipped " + skipped);

    // This store's ledger rows; and every id with a full-text or ledger row, which must be deleted before
    // its message is written again (a row may exist without its ledger row when a write failed).
    const std::string prefix = std::string(storeTypeName(store.kind)) + ":" + storeKey(store) + ":";
    ListingDiff diff;
    if (kept) {
        diff = diffListings(*kept, listing);
        if (diff.empty()) {
            ++report.storesUnchanged;
            return report;
        }
    }
    // What the index holds decides what is written; read wrongly as "nothing", every message would be
    // written twice and none removed, so a failed read ends the store's run with its listing unchanged.
    bool ledgerRead = false;
    bool mailboxesRead = false;
    std::map<std::string, MailMetaRecord> ledger;
    for (MailMetaRecord& meta : fts_.metaWithPrefix(prefix, &ledgerRead)) ledger.emplace(meta.externalId, std::move(meta));
    std::unordered_set<std::string> stored;
    const auto mailboxes = fts_.ftsMailboxes(prefix, &mailboxesRead);
    if (!ledgerRead || !mailboxesRead) {
        report.errors.push_back("Mail index not readable for " + store.root.string());
        return report;
    }
    for (const auto& [id, mailbox] : mailboxes) stored.insert(id);
    for (const auto& [id, meta] : ledger) stored.insert(id);

    if (!kept) {
        // From scratch: a message whose ledger row, full-text row and copy say this very version is indexed
        // is not read again, only its mailbox checked, so that a lost listing costs a walk, not a re-read.
        bool copiesRead = false;
        const auto copies = fts_.canonicalRowids(&copiesRead);
        if (!copiesRead) {
            report.errors.push_back("Mail index not readable for " + store.root.string());
            return report;
        }
        std::set<std::string> live;
        for (const MessageLocation& m : listing.messages) {
            const std::string externalId = externalIdFor(store, m.id);
            live.insert(externalId);
            const auto meta = ledger.find(externalId);
            const auto mailbox = mailboxes.find(externalId);
            if (meta == ledger.end() || mailbox == mailboxes.end() || !copies.contains(externalId) ||
                !indexedAsListed(meta->second, m)) {
                diff.added.push_back(m);
            } else if (mailbox->second != mailboxUrlFor(store, m.mailbox)) {
                diff.moved.push_back({m.id, m});
            }
        }
        for (const std::string& id : stored) {
            if (!live.contains(id)) diff.removed.push_back(id.substr(prefix.size()));
        }
    }

    bool writeFailed = false;
    const auto failWrite = [&](const std::string& what) {
        ++report.writesFailed;
        writeFailed = true;
        logLine("store write failed: " + what);
    };

    std::set<std::string> removed;
    for (const std::string& id : diff.removed) removed.insert(prefix + id);
    if (!fts_.deleteByExternalIds(removed)) {
        failWrite("delete " + std::to_string(removed.size()) + " messages");
    } else {
        for (const std::string& id : removed) stored.erase(id);
        report.messagesRemoved += static_cast<int64_t>(removed.size());
    }

    std::vector<MessageLocation> toRead = std::move(diff.added);
    toRead.insert(toRead.end(), diff.changed.begin(), diff.changed.end());
    std::map<std::string, std::string> newMailboxes;
    for (const MovedMessage& move : diff.moved) {
        const std::string externalId = prefix + move.to.id;
        const std::string url = mailboxUrlFor(store, move.to.mailbox);
        // A flag change renames a Maildir file but leaves its mailbox: nothing to write.
        const auto before = kept ? std::lower_bound(kept->messages.begin(), kept->messages.end(), move.fromId,
                                                    [](const MessageLocation& m, const std::string& id) { return m.id < id; })
                                 : listing.messages.cend();
        const bool hasRow = mailboxes.contains(externalId);
        if (kept && hasRow && before != kept->messages.end() && before->id == move.fromId &&
            before->mailbox == move.to.mailbox) {
            continue;
        }
        // A message without a row (its earlier write failed) is read instead.
        if (!hasRow) {
            toRead.push_back(move.to);
            continue;
        }
        newMailboxes.emplace(externalId, url);
    }
    if (!newMailboxes.empty()) {
        std::vector<MailCopy> movedCopies;
        for (const auto& [externalId, url] : newMailboxes) movedCopies.push_back({localCopyRowid(externalId), externalId, url, true});
        if (!fts_.updateMailboxes(newMailboxes) || !fts_.recordCopiesBatch(movedCopies)) {
            failWrite("mailboxes of " + std::to_string(newMailboxes.size()) + " messages");
        } else {
            report.messagesMoved += static_cast<int64_t>(newMailboxes.size());
        }
    }

    std::set<std::string> unreadable;  // ids left out of the kept listing, so the next run reads them again
    size_t done = 0;
    const size_t total = toRead.size();
    for (size_t start = 0; start < toRead.size(); start += batchSize) {
        if (cancelled && *cancelled) {
            report.errors.push_back("cancelled");
            return report;
        }
        const size_t end = std::min(toRead.size(), start + batchSize);
        // Each message's row, ledger entry and copy are replaced together: a crash cannot leave a message
        // counted as indexed without its text, or the reverse.
        std::vector<MailReplacement> batch;
        for (size_t i = start; i < end; ++i) {
            const MessageLocation& location = toRead[i];
            const IndexableItem item = LocalMailSource::item(listing, location, extraction);
            ++report.messagesRead;
            MailReplacement m;
            m.externalId = item.externalId;
            m.copy = MailCopy{localCopyRowid(item.externalId), item.externalId, mailboxUrlFor(store, location.mailbox), true};
            try {
                const ExtractedContent content = item.extractor();
                report.attachmentsRead += content.attachmentsRead;
                report.attachmentsFailed += static_cast<int64_t>(content.attachmentFailures.size());
                report.officeAttachmentsQueued += content.pendingOfficeAttachmentCount;
                for (const std::string& failure : content.attachmentFailures) {
                    logLine("attachment not read in " + item.externalId + ": " + failure);
                }
                m.item = upsertItemFor(item.externalId, *m.copy->mailbox, content);
                const bool hasText = !content.plainText.empty() || !content.attachmentTexts.empty();
                m.status = hasText ? MailIndexStatus::success : MailIndexStatus::empty;
                if (!hasText) m.errorReason = "body empty";
                m.emlxMtime = changeKeySeconds(location);
            } catch (const std::exception& e) {
                ++report.messagesFailed;
                // Tried again by later runs until it has failed kMaxReadAttempts times; then it stays listed.
                const auto previous = ledger.find(item.externalId);
                const bool failedBefore = previous != ledger.end() && previous->second.indexStatus == MailIndexStatus::failed;
                if ((failedBefore ? previous->second.attemptCount : 0) + 1 < kMaxReadAttempts) unreadable.insert(location.id);
                logLine(std::string("extract error for ") + item.externalId + ": " + e.what());
                m.status = MailIndexStatus::failed;
                m.errorReason = e.what();
            }
            batch.push_back(std::move(m));
            if (progress) progress(store.root, ++done, total);
        }
        const std::vector<bool> written = fts_.replaceMessages(batch);
        for (size_t i = 0; i < batch.size(); ++i) {
            if (!written[i]) {
                failWrite(batch[i].externalId);
            } else if (batch[i].item) {
                stored.insert(batch[i].externalId);
                ++report.messagesWritten;
            }
        }
    }

    if (writeFailed) {
        report.errors.push_back("Mail index writes failed for " + store.root.string() +
                                "; the next run tries them again");
        return report;
    }
    std::erase_if(listing.messages, [&](const MessageLocation& m) { return unreadable.contains(m.id); });
    std::error_code ec;
    std::filesystem::create_directories(keptPath.parent_path(), ec);
    const std::string bytes = listingToJson(listing).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    if (const auto error = writeFileAtomically(keptPath, bytes)) {
        report.errors.push_back(error->message());
        logLine(error->message());
    }
    return report;
}

bool LocalMailIndexer::forgetStore(const LocalStore& store) {
    if (!fts_.ensureOpen()) return false;
    const std::string prefix = std::string(storeTypeName(store.kind)) + ":" + storeKey(store) + ":";
    std::set<std::string> ids;
    bool ledgerRead = false;
    bool mailboxesRead = false;
    for (const MailMetaRecord& meta : fts_.metaWithPrefix(prefix, &ledgerRead)) ids.insert(meta.externalId);
    for (const auto& [id, mailbox] : fts_.ftsMailboxes(prefix, &mailboxesRead)) ids.insert(id);
    if (!ledgerRead || !mailboxesRead) return false;
    if (!fts_.deleteByExternalIds(ids)) return false;
    std::error_code ec;
    std::filesystem::remove(listingPath(store), ec);
    return !ec;
}

}  // namespace lumidex::mail

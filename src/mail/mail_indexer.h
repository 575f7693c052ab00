// The sources that fill the mail full-text store (mail_fts.h) and the indexer that keeps it in step with
// the mail stores on this machine: Maildir folders, mbox files and folders, and a desktop mail client's
// profile (its folders of mbox files).
//
// A run lists each store, compares the listing with the one kept from the last run (JSON in "listings"
// beside the store's database), reads and parses only new and changed messages, updates the mailbox of
// moved ones without reading them, and deletes removed ones. A store whose listing equals the kept one is
// not written at all. The new listing is kept only when every store write of the run succeeded, so a
// failed write is done again by the next run; a message that could not be read is left out of the kept
// listing for the same reason. A kept listing that is missing or damaged means listing from scratch:
// messages the index holds in the listed version (ledger row with the file's time, full-text row and
// copy) only get their mailbox checked, every other one is read, and rows that no longer exist are
// deleted.
//
// External ids of these messages: "<type>:<store key>:<message id>" with type "maildir" or "mbox" and the
// store key 16 hex digits of the store's path. Each message also gets one copy row with a negative
// rowid derived from its external id (the mail client's own rowids are positive), so that a mailbox
// scope and delete tracking work for every source alike; the mailbox is "<type>://<store path>/<name>".
//
// Ownership and threads: the indexer borrows the store; one run at a time per store (runs of different
// stores may share it, the store serialises writes). Nothing is ever written to a mail store: messages
// are opened read-only. Failure behaviour: nothing throws except std::bad_alloc; every failure is
// counted and named in the report and logged.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/model/date.h"
#include "mail/mail_attachment_text.h"
#include "mail/mail_fts.h"
#include "mail/mail_source_listing.h"

namespace lumidex::mail {

// Source registry --------------------------------------------------------------------------------------

enum class SourceKind { filesystem, appleMail, maildir, mbox };
// "filesystem", "appleMail", "maildir", "mbox".
std::string_view toText(SourceKind kind);

struct SourceID {
    SourceKind kind = SourceKind::filesystem;
    std::string identifier;
    auto operator<=>(const SourceID&) const = default;
};

struct ExtractedContent {
    std::string plainText;
    std::vector<std::string> attachmentTexts;
    std::map<std::string, std::string> headers;
    std::optional<Date> createdAt;
    std::optional<Date> modifiedAt;
    int64_t attachmentsRead = 0;                 // attachments whose content was read (text, PDF, image, message)
    std::vector<std::string> attachmentFailures; // "<name>: <reason>" of attachments that added only their name
    int64_t pendingOfficeAttachmentCount = 0;    // office attachments queued for conversion
};

// One message a source offers; `extractor` reads and parses it (on the calling thread) and throws
// std::runtime_error when the message cannot be read.
struct IndexableItem {
    std::string externalId;
    std::string displayName;
    std::optional<std::string> mimeType;
    std::function<ExtractedContent()> extractor;
};

class IndexableSource {
public:
    virtual ~IndexableSource() = default;
    virtual SourceID id() const = 0;
    virtual std::string displayName() const = 0;
    virtual bool isEnabled() const = 0;
};

// Thread-safe map of the registered sources.
class SourceRegistry {
public:
    void registerSource(std::shared_ptr<IndexableSource> source);
    void unregisterSource(const SourceID& id);
    std::shared_ptr<IndexableSource> lookup(const SourceID& id) const;
    std::vector<std::shared_ptr<IndexableSource>> enabledSources() const;

private:
    mutable std::mutex mutex_;
    std::map<SourceID, std::shared_ptr<IndexableSource>> sources_;
};

// Local mail stores ------------------------------------------------------------------------------------

// One store as listed: a Maildir folder, an mbox file or a folder of mbox files.
struct LocalStore {
    MailStoreKind kind = MailStoreKind::maildir;
    std::filesystem::path root;
};

// "maildir" or "mbox" (an mbox folder is "mbox" too).
std::string_view storeTypeName(MailStoreKind kind);
// 16 lower-case hex digits identifying the store by its kind and path.
std::string storeKey(const LocalStore& store);
std::string externalIdFor(const LocalStore& store, std::string_view messageId);
std::string mailboxUrlFor(const LocalStore& store, std::string_view mailbox);
// The copy rowid of a message of a local store: negative, derived from the external id.
int64_t localCopyRowid(std::string_view externalId);

// A configured path: a store itself, or a mail client profile that holds several stores.
class LocalMailSource : public IndexableSource {
public:
    LocalMailSource(std::string identifier, std::vector<LocalStore> stores);

    SourceID id() const override;
    std::string displayName() const override { return identifier_; }
    bool isEnabled() const override { return true; }
    const std::vector<LocalStore>& stores() const { return stores_; }

    // The item of one listed message; its extractor reads the message (at most
    // extraction.limits.maxMessageBytes of it) and parses it. `listing` and extraction.decoder must
    // outlive the item; the rest of `extraction` is copied into it.
    static IndexableItem item(const MailListing& listing, const MessageLocation& location,
                              const MessageExtraction& extraction);

private:
    std::string identifier_;
    std::vector<LocalStore> stores_;
};

// Indexer ----------------------------------------------------------------------------------------------

struct MailIndexReport {
    int64_t storesListed = 0;
    int64_t storesUnchanged = 0;  // listing equal to the kept one: nothing read or written
    int64_t messagesRead = 0;     // messages read and parsed
    int64_t messagesWritten = 0;
    int64_t messagesMoved = 0;    // mailbox updated without reading
    int64_t messagesRemoved = 0;
    int64_t messagesFailed = 0;   // could not be read; tried again next run
    int64_t writesFailed = 0;     // store writes that failed; the store's listing was not kept
    int64_t attachmentsRead = 0;
    int64_t attachmentsFailed = 0;  // attachments that added only their name (logged); not retried
    int64_t officeAttachmentsQueued = 0;
    std::vector<std::string> errors;

    bool ok() const { return writesFailed == 0 && errors.empty(); }
};

// Called after each message read: the store's root, messages done and messages to read in that store.
using MailIndexProgress = std::function<void(const std::filesystem::path& store, size_t done, size_t total)>;

class LocalMailIndexer {
public:
    // `fts` must outlive the indexer. Listings are kept in fts.databasePath()'s folder / "listings".
    explicit LocalMailIndexer(MailFtsSqlite& fts);

    MailIndexReport run(const LocalMailSource& source, const MailIndexProgress& progress = {});
    MailIndexReport runStore(const LocalStore& store, const MailIndexProgress& progress = {});

    // Forgets a store: deletes its messages from the full-text store and its kept listing. False when a
    // write failed (what was deleted stays deleted; another call finishes it).
    bool forgetStore(const LocalStore& store);

    // Forgets every kept listing, so the next run of each store lists it from scratch (after the index
    // was cleared, an unchanged store would otherwise never be read again). False when one stays.
    bool forgetAllListings();

    std::filesystem::path listingPath(const LocalStore& store) const;
    size_t batchSize = 200;  // messages per write transaction
    // Borrowed; when set and true, a run ends between batches with the error "cancelled" and keeps the
    // store's listing as it was, so the next run reads what this one did not reach.
    const std::atomic<bool>* cancelled = nullptr;
    // How messages are read: PDF and image attachments go to extraction.decoder (borrowed; null: names
    // only), office attachments to extraction.officeAttachment (empty: names only), within its limits.
    MessageExtraction extraction;

private:
    MailFtsSqlite& fts_;
};

// A message's searchable parts: plainText is its body text (the encrypted marker for encrypted mail),
// attachmentTexts each attachment's name followed by its text (attached messages, text-like
// attachments, and PDF and image attachments through extraction.decoder), headers "subject",
// "from-name" and "to"; createdAt the Date field, modifiedAt the first Received field's date. The
// limits of mail_attachment_text.h apply; an attachment beyond them is named in attachmentFailures.
ExtractedContent extractMessage(std::string_view messageBytes, const MessageExtraction& extraction = {});

// The row written for a message: subject, sender and recipients, then body and attachment texts.
MailUpsertItem upsertItemFor(std::string externalId, std::string mailboxUrl, const ExtractedContent& content);

// An RFC 5322 date ("Tue, 5 Mar 2024 08:15:00 +0100", obsolete zone names and two-digit years
// included); nullopt for anything else.
std::optional<Date> parseMailDate(std::string_view text);

}  // namespace lumidex::mail

// The mail client's store as a content source: pages through its Envelope Index, finds each message's
// .emlx (or .partial.emlx) file below the mail folder, and offers every message as an IndexableItem whose
// extractor reads and parses that file.
//
// External id of a message: its document id when the index has one, else "lumidex-internal:rowid=<n>".
// Rowids are the mail client's own and positive (local Maildir and mbox copies use negative ones).
//
// Ownership and threads: a source is a value-like object used by one run at a time; the items it yields
// borrow nothing from it except the attachment callback, so the source must outlive them. Failure
// behaviour: nothing throws from the enumerations (except std::bad_alloc); an item's extractor throws
// std::runtime_error when its message file cannot be read, was cut short or exceeds the message limit.
// Waits between retries go through `sleep`, so tests do not wait; without it they end on cancellation.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "mail/mail_envelope.h"
#include "mail/mail_indexer.h"

namespace lumidex::mail {

// Text of a PDF or image attachment (name, bytes, whether text recognition may run); nullopt when it
// has none. The shared attachment extraction plugs in here.
using BinaryAttachmentText =
    std::function<std::optional<std::string>(std::string_view name, std::string_view bytes, bool recognitionAllowed)>;

struct AppleMailSourceOptions {
    std::filesystem::path mailRoot;  // holds V10/MailData/Envelope Index and the mailbox folders
    int64_t ocrSizeLimitBytes = int64_t{20} << 20;
    bool ocrFallbackEnabled = true;
    bool plainAttachmentsEnabled = true;
    // Mailbox rowids (decimal text) of the accounts to index; empty: all. Entries that are not integers
    // are ignored.
    std::vector<std::string> indexedAccountMailboxes;
    BinaryAttachmentText binaryAttachmentText;
    std::chrono::milliseconds busyTimeout = EnvelopeIndexReader::kBusyTimeout;
    std::function<void(std::chrono::milliseconds)> sleep;  // default: sleeps the thread until cancelled
    std::function<void(std::string_view)> log;             // default: the application log
    std::function<void(std::string_view reason)> streamEndReporter;
    std::function<void(int64_t batch, size_t size, int64_t lastRowid)> batchReporter;
    std::function<void(bool scanning)> scanReporter;
};

// How an enumeration ended and what it met on the way.
struct AppleMailStreamResult {
    std::string endReason;   // "ended-empty-batches rowid>12", "ended-error-cap rowid>0", ...
    int64_t cursor = 0;      // the last rowid yielded pages reached
    int64_t retries = 0;     // failed reads of the index that were tried again
    int64_t failedReads = 0; // reads given up after every retry (a page or a catch-up chunk)
    int64_t filtered = 0;    // messages of accounts not indexed
};

class AppleMailSource : public IndexableSource {
public:
    // Returns false to stop the enumeration ("yield dropped").
    using Sink = std::function<bool(IndexableItem item, const MailRecord& record)>;

    explicit AppleMailSource(AppleMailSourceOptions options);

    SourceID id() const override { return {SourceKind::appleMail, "apple-mail-local"}; }
    std::string displayName() const override { return "Apple Mail"; }
    bool isEnabled() const override { return true; }
    std::filesystem::path envelopeIndexPath() const { return EnvelopeIndexReader::pathBelow(options_.mailRoot); }
    const AppleMailSourceOptions& options() const { return options_; }

    // Messages after `cursor` in rowid order, 500 per page; `cursor` is advanced past each page handed
    // over (the caller persists it). Ends with a reason, also given to streamEndReporter.
    AppleMailStreamResult enumerate(int64_t& cursor, const Sink& sink, const std::atomic<bool>& cancelled);
    // Exactly these messages (those still in the index), read 200 per query.
    AppleMailStreamResult enumerateRowids(const std::vector<int64_t>& rowids, const Sink& sink,
                                          const std::atomic<bool>& cancelled);

    // The item for one record; needs the file index (built by the enumerations, or buildFileIndex()).
    IndexableItem item(const MailRecord& record);
    void buildFileIndex();
    static std::string externalIdOf(const MailRecord& record);

private:
    void log(const std::string& line) const;
    void sleepFor(std::chrono::milliseconds delay, const std::atomic<bool>& cancelled) const;
    bool accepted(const MailRecord& record) const;
    EnvelopeResult<std::unique_ptr<EnvelopeIndexReader>> openReader() const;

    AppleMailSourceOptions options_;
    std::set<int64_t> accountMailboxes_;
    bool fileIndexBuilt_ = false;
    std::map<int64_t, std::filesystem::path> files_;  // rowid -> message file
};

// The text and headers of one message file's bytes (.emlx or .partial.emlx); throws std::runtime_error
// when the file is no message file or shorter than its byte count says.
ExtractedContent extractEmlx(std::string_view fileBytes, const std::filesystem::path& file,
                             const AppleMailSourceOptions& options);

}  // namespace lumidex::mail

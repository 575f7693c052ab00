// Attachments as searchable text: which kind an attachment is, the limits on what one message may cost,
// and the decoder seam through which PDF and image attachments are read.
//
// Limits (MailAttachmentLimits, per message): at most maxMessageBytes of a message file are read (the
// rest is cut, and the attachment the cut runs through fails as "cut"); an attachment whose encoded
// size is above maxAttachmentBytes × 4/3 or whose decoded size is above maxAttachmentBytes is not
// decoded further and fails as "too large"; at most maxDecodedBytes are decoded for all attachments of a
// message together and at most maxAttachments are read; PDF and image decoding of one message shares
// a time budget of timeBudget. An attachment that fails adds its name only: the message's other text is
// still indexed. Text-like attachments (text/*, calendars, HTML) are converted here with the message
// text converters; archives are never unpacked (a zip bomb stays a name).
//
// Decoders: MailAttachmentDecoder::decode is called on the indexing thread, one attachment at a time.
// InProcessAttachmentDecoder decodes in this process (tests, tools); the indexer's decoder runs in an
// extraction worker process (processing/mail_attachment_jobs.h).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "mail/mail_attachment_ocr.h"

namespace lumidex::mail {

enum class AttachmentKind { pdf, image, text, office, other };

// By content type, then file extension, then the first bytes ("%PDF-").
AttachmentKind attachmentKind(std::string_view contentType, std::optional<std::string_view> filename,
                              std::string_view firstBytes);

struct MailAttachmentLimits {
    std::size_t maxMessageBytes = std::size_t{64} << 20;
    std::size_t maxAttachmentBytes = std::size_t{25} << 20;
    std::size_t maxDecodedBytes = std::size_t{100} << 20;
    std::size_t maxAttachments = 64;
    std::size_t maxTextBytes = std::size_t{512} << 10;  // text kept of one attachment
    std::chrono::milliseconds timeBudget{std::chrono::seconds(60)};
};

struct AttachmentDecodeRequest {
    std::string name;
    AttachmentKind kind = AttachmentKind::other;  // pdf or image
    std::string_view bytes;
    bool ocrFallback = true;
};

struct AttachmentDecodeOutcome {
    std::string text;                  // what was read (also a timed-out PDF's first pages)
    std::optional<std::string> error;  // why the attachment failed
};

class MailAttachmentDecoder {
public:
    using Clock = std::chrono::steady_clock;
    virtual ~MailAttachmentDecoder() = default;
    virtual AttachmentDecodeOutcome decode(const AttachmentDecodeRequest& request, Clock::time_point deadline) = 0;
};

// Decodes in this process through a temporary file; a decoder crash ends the process. Defined with
// MailAttachmentOcr, so that programs that only queue attachments do not link the decoders.
class InProcessAttachmentDecoder : public MailAttachmentDecoder {
public:
    explicit InProcessAttachmentDecoder(PageRecognizer recognizer) : recognizer_(std::move(recognizer)) {}
    AttachmentDecodeOutcome decode(const AttachmentDecodeRequest& request, Clock::time_point deadline) override;

private:
    PageRecognizer recognizer_;
};

// The text an attachment adds to its message (MailAttachmentOcr's result) as the decoders return it.
AttachmentDecodeOutcome decodeOutcomeOf(const MailAttachmentOcrOutcome& outcome);

// How a message is read: the decoder for PDF and image attachments (null: they add their names only)
// and the limits.
struct MessageExtraction {
    MailAttachmentDecoder* decoder = nullptr;
    MailAttachmentLimits limits;
    bool cut = false;  // the message bytes end before the message did (maxMessageBytes)
    bool ocrFallback = true;  // recognition for PDF pages without text and for images
    // Office attachments go here when set (queued for conversion; true when a job was queued); the
    // message's external id is externalId.
    std::function<bool(std::string_view externalId, const std::optional<std::string>& name, std::string_view bytes)>
        officeAttachment;
    std::string externalId;
};

// A private file holding `bytes`, removed by the destructor; empty path() when it could not be written.
class TemporaryAttachmentFile {
public:
    TemporaryAttachmentFile(std::string_view bytes, std::string_view suffix);
    ~TemporaryAttachmentFile();
    TemporaryAttachmentFile(const TemporaryAttachmentFile&) = delete;
    TemporaryAttachmentFile& operator=(const TemporaryAttachmentFile&) = delete;
    const std::filesystem::path& path() const { return path_; }
    const std::string& error() const { return error_; }

private:
    std::filesystem::path path_;
    std::string error_;
};

}  // namespace lumidex::mail

// PDF and image attachments of mail decoded in an extraction worker process, so that a decoder that
// crashes, hangs or runs out of memory on a hostile attachment fails that attachment, not the indexer.
//
// Job kind "mail.attachment" (registered with the extractor kinds): options {"kind": "pdf"|"image",
// "ocr": bool, "time_ms": n}; result: MailAttachmentOcrResult as JSON; a PDF that cannot be opened
// fails the job with "Konnte PDF nicht oeffnen". Recognition uses one engine per worker.
//
// WorkerAttachmentDecoder: writes the attachment to a private temporary file (removed afterwards), runs
// the job and waits for it; the job's time limit is what is left of the message's budget (the worker
// stops at the budget and returns the pages read so far; a worker still busy a few seconds later is
// killed). Called from one thread at a time; the pool must outlive the decoder.
#pragma once

#include <memory>

#include "mail/mail_attachment_text.h"

namespace lumidex {
class ExtractionWorkerPool;
class JobRegistry;
}  // namespace lumidex

namespace lumidex::processing {

inline constexpr std::string_view mailAttachmentJob = "mail.attachment";

void registerMailAttachmentJobs(JobRegistry& jobs);

class WorkerAttachmentDecoder : public mail::MailAttachmentDecoder {
public:
    explicit WorkerAttachmentDecoder(ExtractionWorkerPool& pool) : pool_(pool) {}
    mail::AttachmentDecodeOutcome decode(const mail::AttachmentDecodeRequest& request, Clock::time_point deadline) override;

private:
    ExtractionWorkerPool& pool_;
};

// A decoder with a pool of its own: one worker, the worker executable beside this program (this
// program itself when there is none).
std::unique_ptr<mail::MailAttachmentDecoder> makeWorkerAttachmentDecoder();

}  // namespace lumidex::processing

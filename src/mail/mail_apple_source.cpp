#include "mail/mail_apple_source.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <system_error>
#include <thread>

#include "core/app_log.h"
#include "mail/mail_attachment_text.h"
#include "mail/mail_message.h"
#include "platform/charset.h"

namespace lumidex::mail {

namespace {

using namespace std::chrono_literals;

constexpr int64_t kPageSize = 500;
constexpr size_t kCatchupChunk = 200;
constexpr int kReaderOpenAttempts = 30;
constexpr int kEmptyPagesToEnd = 5;
constexpr std::array<std::chrono::milliseconds, 7> kRetryDelays = {200ms, 500ms, 1500ms, 3000ms,
                                                                   6000ms, 12000ms, 30000ms};
constexpr std::chrono::milliseconds kReaderOpenDelay = 1000ms;
// A text attachment larger than this adds only its name.
constexpr uintmax_t kTextAttachmentLimit = uintmax_t{1} << 20;

std::string lowerExtension(const std::filesystem::path& file) {
    std::string ext = file.extension().string();
    if (!ext.empty()) ext.erase(0, 1);
    for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return ext;
}

bool isTextLike(std::string_view ext) {
    static constexpr std::array<std::string_view, 9> kText = {"txt", "csv",  "md",  "rtf", "html",
                                                              "htm", "json", "yaml", "yml"};
    return std::find(kText.begin(), kText.end(), ext) != kText.end();
}

bool isPdfOrImage(std::string_view ext) {
    static constexpr std::array<std::string_view, 8> kBinary = {"pdf", "png", "jpg", "jpeg", "heic", "heif", "tiff", "bmp"};
    return std::find(kBinary.begin(), kBinary.end(), ext) != kBinary.end();
}

std::optional<std::string> readFile(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) return std::nullopt;
    std::ostringstream bytes;
    bytes << in.rdbuf();
    if (in.bad()) return std::nullopt;
    return std::move(bytes).str();
}

// A message file larger than the message limit is not read whole: it fails like an unreadable one.
std::string readMessageFile(const std::filesystem::path& file) {
    const std::size_t limit = MailAttachmentLimits{}.maxMessageBytes;
    const auto tooLarge = [&] {
        return std::runtime_error("message file larger than " + std::to_string(limit >> 20) + " MiB: " + file.string());
    };
    std::error_code ec;
    if (const uintmax_t size = std::filesystem::file_size(file, ec); !ec && size > limit) throw tooLarge();
    std::ifstream in(file, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + file.string());
    std::string bytes;
    std::array<char, 1 << 16> chunk{};
    while (in.read(chunk.data(), chunk.size()) || in.gcount() > 0) {
        bytes.append(chunk.data(), static_cast<std::size_t>(in.gcount()));
        if (bytes.size() > limit) throw tooLarge();  // grown since it was measured
    }
    if (in.bad()) throw std::runtime_error("cannot read " + file.string());
    return bytes;
}

std::string errorText(const EnvelopeIndexError& error) { return error.message(); }

}  // namespace

AppleMailSource::AppleMailSource(AppleMailSourceOptions options) : options_(std::move(options)) {
    for (const std::string& text : options_.indexedAccountMailboxes) {
        int64_t rowid = 0;
        const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), rowid);
        if (ec == std::errc() && end == text.data() + text.size()) accountMailboxes_.insert(rowid);
    }
}

void AppleMailSource::log(const std::string& line) const {
    if (options_.log) {
        options_.log(line);
    } else {
        appLog(line);
    }
}

void AppleMailSource::sleepFor(std::chrono::milliseconds delay, const std::atomic<bool>& cancelled) const {
    if (options_.sleep) {
        options_.sleep(delay);
        return;
    }
    // In short steps, so that a cancelled run does not sit out a 30-second retry delay.
    constexpr std::chrono::milliseconds kStep(50);
    const auto until = std::chrono::steady_clock::now() + delay;
    while (!cancelled) {
        const auto now = std::chrono::steady_clock::now();
        if (now >= until) return;
        std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(kStep, until - now));
    }
}

bool AppleMailSource::accepted(const MailRecord& record) const {
    return accountMailboxes_.empty() || (record.mailboxRowid && accountMailboxes_.contains(*record.mailboxRowid));
}

EnvelopeResult<std::unique_ptr<EnvelopeIndexReader>> AppleMailSource::openReader() const {
    return EnvelopeIndexReader::open(envelopeIndexPath(), options_.busyTimeout);
}

std::string AppleMailSource::externalIdOf(const MailRecord& record) {
    if (record.messageId && !record.messageId->empty()) return *record.messageId;
    return std::string(kPlaceholderExternalIdPrefix) + std::to_string(record.rowid);
}

void AppleMailSource::buildFileIndex() {
    if (options_.scanReporter) options_.scanReporter(true);
    files_.clear();
    size_t partial = 0;
    std::error_code ec;
    auto it = std::filesystem::recursive_directory_iterator(
        options_.mailRoot, std::filesystem::directory_options::skip_permission_denied, ec);
    for (; !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
        const std::filesystem::path& file = it->path();
        if (!file.filename().string().ends_with(".emlx")) continue;
        const auto rowid = emlxRowid(file);
        if (!rowid || !it->is_regular_file(ec)) continue;
        const bool isPartial = isPartialEmlx(file);
        partial += isPartial ? 1 : 0;
        const auto known = files_.find(*rowid);
        // The whole message wins over the one whose attachments were kept apart.
        if (known == files_.end() || (isPartialEmlx(known->second) && !isPartial)) files_[*rowid] = file;
    }
    fileIndexBuilt_ = true;
    log("AppleMailSource: built emlx index with " + std::to_string(files_.size()) + " files (" +
        std::to_string(partial) + " partial)");
    if (options_.scanReporter) options_.scanReporter(false);
}

AppleMailStreamResult AppleMailSource::enumerate(int64_t& cursor, const Sink& sink, const std::atomic<bool>& cancelled) {
    AppleMailStreamResult result;
    const auto finish = [&](std::string reason) {
        result.endReason = std::move(reason);
        result.cursor = cursor;
        if (options_.streamEndReporter) options_.streamEndReporter(result.endReason);
        return result;
    };
    log("AppleMailSource: stream start cursor=" + std::to_string(cursor));
    std::unique_ptr<EnvelopeIndexReader> reader;
    for (int attempt = 1; !reader; ++attempt) {
        auto opened = openReader();
        if (auto* ok = std::get_if<std::unique_ptr<EnvelopeIndexReader>>(&opened)) {
            reader = std::move(*ok);
            break;
        }
        const std::string error = errorText(std::get<EnvelopeIndexError>(opened));
        log("AppleMailSource enumerate: reader-open failed " + std::to_string(attempt) + "/" +
            std::to_string(kReaderOpenAttempts) + ": " + error);
        if (attempt == kReaderOpenAttempts) return finish("ended-reader-open-failed: " + error);
        if (cancelled) return finish("ended-cancelled rowid>" + std::to_string(cursor));
        sleepFor(kReaderOpenDelay, cancelled);
    }
    if (!fileIndexBuilt_) buildFileIndex();

    int64_t batch = 0;
    int emptyPages = 0;
    for (;;) {
        if (cancelled) return finish("ended-cancelled rowid>" + std::to_string(cursor));
        std::optional<std::vector<MailRecord>> page;
        for (size_t retry = 0; !page; ++retry) {
            auto read = reader->enumerate(cursor, kPageSize);
            if (auto* records = std::get_if<std::vector<MailRecord>>(&read)) {
                page = std::move(*records);
                break;
            }
            if (retry == kRetryDelays.size()) {
                ++result.failedReads;
                return finish("ended-error-cap rowid>" + std::to_string(cursor));
            }
            const auto delay = kRetryDelays[retry];
            log("AppleMailSource: enumerate failed at rowid > " + std::to_string(cursor) + ", retry " +
                std::to_string(retry + 1) + "/" + std::to_string(kRetryDelays.size()) + " in " +
                std::to_string(delay.count()) + "ms: " + errorText(std::get<EnvelopeIndexError>(read)));
            ++result.retries;
            sleepFor(delay, cancelled);
            if (cancelled) return finish("ended-cancelled rowid>" + std::to_string(cursor));
        }
        if (page->empty()) {
            if (++emptyPages >= kEmptyPagesToEnd) return finish("ended-empty-batches rowid>" + std::to_string(cursor));
            log("AppleMailSource enumerate: empty batch " + std::to_string(emptyPages) + "/" +
                std::to_string(kEmptyPagesToEnd) + " at rowid > " + std::to_string(cursor) + ", retry");
            continue;
        }
        emptyPages = 0;
        ++batch;
        log("AppleMailSource: batch #" + std::to_string(batch) + " size=" + std::to_string(page->size()) +
            " first=" + std::to_string(page->front().rowid) + " last=" + std::to_string(page->back().rowid));
        if (options_.batchReporter) options_.batchReporter(batch, page->size(), page->back().rowid);
        for (const MailRecord& record : *page) {
            if (cancelled) return finish("ended-cancelled rowid>" + std::to_string(cursor));
            if (!accepted(record)) {
                ++result.filtered;
            } else if (!sink(item(record), record)) {
                if (cancelled) return finish("ended-cancelled rowid>" + std::to_string(cursor));
                log("AppleMailSource: yield DROPPED at rowid=" + std::to_string(record.rowid));
                return finish("ended-yield-dropped rowid>" + std::to_string(cursor));
            }
            cursor = record.rowid;
        }
    }
}

AppleMailStreamResult AppleMailSource::enumerateRowids(const std::vector<int64_t>& rowids, const Sink& sink,
                                                       const std::atomic<bool>& cancelled) {
    AppleMailStreamResult result;
    auto opened = openReader();
    if (const auto* error = std::get_if<EnvelopeIndexError>(&opened)) {
        result.endReason = "ended-reader-open-failed: " + errorText(*error);
        ++result.failedReads;
        return result;
    }
    auto reader = std::move(std::get<std::unique_ptr<EnvelopeIndexReader>>(opened));
    if (!fileIndexBuilt_) buildFileIndex();
    for (size_t start = 0; start < rowids.size(); start += kCatchupChunk) {
        if (cancelled) {
            result.endReason = "ended-cancelled";
            return result;
        }
        const std::vector<int64_t> chunk(rowids.begin() + static_cast<std::ptrdiff_t>(start),
                                         rowids.begin() + static_cast<std::ptrdiff_t>(std::min(rowids.size(), start + kCatchupChunk)));
        std::optional<std::vector<MailRecord>> records;
        for (size_t retry = 0; !records; ++retry) {
            auto read = reader->enumerate(chunk);
            if (auto* ok = std::get_if<std::vector<MailRecord>>(&read)) {
                records = std::move(*ok);
                break;
            }
            const std::string error = errorText(std::get<EnvelopeIndexError>(read));
            if (retry == kRetryDelays.size()) {
                log("AppleMailSource enumerateRowids: chunk failed after retries: " + error);
                ++result.failedReads;
                break;
            }
            log("AppleMailSource: catchup enumerate failed, retry " + std::to_string(retry + 1) + "/" +
                std::to_string(kRetryDelays.size()) + " in " + std::to_string(kRetryDelays[retry].count()) + "ms: " + error);
            ++result.retries;
            sleepFor(kRetryDelays[retry], cancelled);
            if (cancelled) {
                result.endReason = "ended-cancelled";
                return result;
            }
        }
        if (!records) continue;
        for (const MailRecord& record : *records) {
            if (cancelled) {
                result.endReason = "ended-cancelled";
                return result;
            }
            if (!accepted(record)) {
                ++result.filtered;
            } else if (!sink(item(record), record)) {
                if (cancelled) {
                    result.endReason = "ended-cancelled";
                    return result;
                }
                log("AppleMailSource: yield DROPPED at rowid=" + std::to_string(record.rowid));
                result.endReason = "ended-yield-dropped";
                return result;
            }
        }
    }
    result.endReason = "ended-complete";
    return result;
}

IndexableItem AppleMailSource::item(const MailRecord& record) {
    IndexableItem out;
    out.externalId = externalIdOf(record);
    out.displayName = record.subject.value_or("");
    out.mimeType = "message/rfc822";
    std::optional<std::filesystem::path> file;
    if (const auto found = files_.find(record.rowid); found != files_.end()) file = found->second;
    out.extractor = [this, record, file] {
        ExtractedContent content;
        if (file) {
            content = extractEmlx(readMessageFile(*file), *file, options_);
            std::error_code ec;
            const auto mtime = std::filesystem::last_write_time(*file, ec);
            if (!ec) {
                const auto seconds = std::chrono::duration<double>(
                    std::chrono::file_clock::to_sys(mtime).time_since_epoch());
                content.headers["emlx-mtime"] = std::to_string(seconds.count());
            }
            if (isPartialEmlx(*file)) {
                log("AppleMailSource: external attachments yielded " + std::to_string(content.attachmentTexts.size()) +
                    " text blocks for rowid " + std::to_string(record.rowid));
            }
        }
        // What the index says wins over the file's own fields; the file fills the gaps.
        const auto put = [&](const char* key, const std::optional<std::string>& value) {
            if (value && !value->empty()) content.headers[key] = *value;
        };
        content.headers["rowid"] = std::to_string(record.rowid);
        put("subject", record.subject);
        put("from-name", record.senderName ? record.senderName : record.senderAddress);
        put("mailbox", record.mailboxUrl);
        if (record.mailboxRowid) content.headers["mailbox-rowid"] = std::to_string(*record.mailboxRowid);
        put("resolved-message-id", record.messageId);
        if (record.dateSent) {
            if (const auto d = parseIso8601(*record.dateSent)) content.createdAt = d;
        }
        if (record.dateReceived) {
            if (const auto d = parseIso8601(*record.dateReceived)) content.modifiedAt = d;
        }
        return content;
    };
    return out;
}

ExtractedContent extractEmlx(std::string_view fileBytes, const std::filesystem::path& file,
                             const AppleMailSourceOptions& options) {
    const EmlxParseResult parsed = parseEmlx(fileBytes);
    if (const auto* error = std::get_if<EmlxParserError>(&parsed)) throw std::runtime_error(error->message());
    const ParsedEmlx& emlx = std::get<ParsedEmlx>(parsed);
    const size_t lineEnd = fileBytes.find('\n');
    const size_t available = lineEnd == std::string_view::npos ? 0 : fileBytes.size() - lineEnd - 1;
    // The mail client writes the byte count first: fewer bytes mean the file was cut short (or is being
    // written right now), and a part of a message is not indexed as the message.
    if (emlx.bytecountPrefix < 0 || static_cast<uint64_t>(emlx.bytecountPrefix) > available) {
        throw std::runtime_error("message file truncated: " + std::to_string(available) + " of " +
                                 std::to_string(emlx.bytecountPrefix) + " bytes");
    }
    const std::string_view message = fileBytes.substr(lineEnd + 1, static_cast<size_t>(emlx.bytecountPrefix));
    ExtractedContent content = extractMessage(message);
    if (options.binaryAttachmentText) {
        for (const ExtractedPartWithBytes& part : extractParts(parseMessage(message))) {
            if (!part.info.filename || !isPdfOrImage(lowerExtension(*part.info.filename))) continue;
            if (static_cast<int64_t>(part.decoded.size()) > options.ocrSizeLimitBytes) continue;
            if (auto text = options.binaryAttachmentText(*part.info.filename, part.decoded, options.ocrFallbackEnabled)) {
                content.attachmentTexts.push_back(std::move(*text));
            }
        }
    }
    if (!isPartialEmlx(file)) return content;
    for (const std::filesystem::path& attachment : externalAttachmentFiles(file)) {
        const std::string ext = lowerExtension(attachment);
        std::string text = attachment.filename().string();
        std::error_code ec;
        const uintmax_t size = std::filesystem::file_size(attachment, ec);
        if (ec) continue;
        if (isTextLike(ext) && options.plainAttachmentsEnabled && size <= kTextAttachmentLimit) {
            if (const auto bytes = readFile(attachment); bytes && platform::isValidUtf8(*bytes)) text += "\n" + *bytes;
        } else if (isPdfOrImage(ext) && options.binaryAttachmentText &&
                   static_cast<int64_t>(size) <= options.ocrSizeLimitBytes) {
            if (const auto bytes = readFile(attachment)) {
                if (auto extracted = options.binaryAttachmentText(text, *bytes, options.ocrFallbackEnabled)) {
                    text += "\n" + *extracted;
                }
            }
        }
        content.attachmentTexts.push_back(std::move(text));
    }
    return content;
}

}  // namespace lumidex::mail

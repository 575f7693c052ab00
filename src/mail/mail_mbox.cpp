#include "mail/mail_mbox.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <optional>
#include <system_error>

#include "core/ascii_text.h"
#include "mail/mail_source_listing_internal.h"

namespace lumidex::mail {
namespace {

namespace fs = std::filesystem;

constexpr uint64_t kFnvBasis = 14695981039346656037ULL;
// A line longer than this is handled in pieces; separators and header names are all far shorter.
constexpr size_t kMaxLine = size_t{1} << 20;
constexpr size_t kReadBlock = size_t{1} << 20;
constexpr uint64_t kTailBytes = 4096;
constexpr int kMaxFolderDepth = 64;
constexpr int64_t kRacyNs = 2'000'000'000;
constexpr int64_t kUntrustedTime = -1;

bool isEmptyLine(std::string_view text) { return text == "\n" || text == "\r\n" || text == "\r"; }

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// "From " followed by something that carries a time of day: the envelope date every writer adds.
bool isSeparatorLine(std::string_view text) {
    if (!text.starts_with("From ")) return false;
    const auto head = text.substr(5, 200);
    for (size_t i = 0; i + 5 <= head.size(); ++i) {
        if (isDigit(head[i]) && isDigit(head[i + 1]) && head[i + 2] == ':' && isDigit(head[i + 3]) && isDigit(head[i + 4])) {
            return true;
        }
    }
    return false;
}

bool isHeaderField(std::string_view text) {
    const auto head = text.substr(0, 200);
    size_t i = 0;
    while (i < head.size() && head[i] > ' ' && head[i] < 127 && head[i] != ':') ++i;
    return i > 0 && i < head.size() && head[i] == ':';
}

bool startsWithNoCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && asciiLowered(text.substr(0, prefix.size())) == prefix;
}

// The mail program rewrites these in place when flags change; they are not part of the message.
bool isStatusLine(std::string_view text) {
    return startsWithNoCase(text, "x-mozilla-status:") || startsWithNoCase(text, "x-mozilla-status2:") ||
           startsWithNoCase(text, "x-mozilla-keys:");
}

bool expungedFlag(std::string_view line) {
    const auto value = trimmedAscii(line.substr(line.find(':') + 1), " \t\r\n");
    uint32_t flags = 0;
    for (const char c : value.substr(0, 8)) {
        const int digit = isDigit(c) ? c - '0' : (c >= 'a' && c <= 'f') ? c - 'a' + 10 : (c >= 'A' && c <= 'F') ? c - 'A' + 10 : -1;
        if (digit < 0) return false;
        flags = flags * 16 + static_cast<uint32_t>(digit);
    }
    return (flags & 0x0008U) != 0;
}

class ReadOnlyFile {
public:
    explicit ReadOnlyFile(const fs::path& path) : fd_(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK)) {}
    ~ReadOnlyFile() {
        if (fd_ >= 0) ::close(fd_);
    }
    ReadOnlyFile(const ReadOnlyFile&) = delete;
    ReadOnlyFile& operator=(const ReadOnlyFile&) = delete;

    bool ok() const { return fd_ >= 0; }
    int fd() const { return fd_; }

    // Reads up to `size` bytes at `offset`; fewer only at the end of the file. False on a read error.
    bool readAt(int64_t offset, size_t size, std::string& out) const {
        out.resize(size);
        size_t done = 0;
        while (done < size) {
            const ssize_t n = ::pread(fd_, out.data() + done, size - done, static_cast<off_t>(offset) + static_cast<off_t>(done));
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) return false;
            if (n == 0) break;
            done += static_cast<size_t>(n);
        }
        out.resize(done);
        return true;
    }

private:
    int fd_;
};

std::string errnoText(int error) { return std::generic_category().message(error); }

struct ScanOutcome {
    std::vector<MboxSpan> spans;
    uint64_t end = 0;       // the offset after the last byte read
    uint64_t tailHash = 0;
    bool stray = false;
};

// Scans from `start` to the end of the file as it is now.
bool scanFile(const ReadOnlyFile& file, uint64_t start, bool afterEmptyLine, ScanOutcome& outcome, std::string& error) {
    MboxScanner scanner(static_cast<int64_t>(start), afterEmptyLine);
    std::string block;
    std::string tail;
    uint64_t offset = start;
    if (start > 0) {
        const uint64_t from = start - std::min(start, kTailBytes);
        if (!file.readAt(static_cast<int64_t>(from), static_cast<size_t>(start - from), tail)) {
            error = errnoText(errno);
            return false;
        }
    }
    for (;;) {
        if (!file.readAt(static_cast<int64_t>(offset), kReadBlock, block)) {
            error = errnoText(errno);
            return false;
        }
        if (block.empty()) break;
        scanner.feed(block);
        offset += block.size();
        if (block.size() >= kTailBytes) {
            tail.assign(block, block.size() - kTailBytes, kTailBytes);
        } else {
            tail += block;
            if (tail.size() > kTailBytes) tail.erase(0, tail.size() - kTailBytes);
        }
    }
    outcome.spans = scanner.finish();
    outcome.stray = scanner.strayBytes();
    outcome.end = offset;
    outcome.tailHash = fnv1a64(tail);
    return true;
}

// Whether the bytes before `end` leave the next byte at the start of a line after an empty line.
bool tailEndsWithEmptyLine(std::string_view tail) {
    return tail.ends_with("\n\n") || tail.ends_with("\n\r\n") || tail.ends_with("\r\r\n");
}

std::string mailboxOfMboxFile(const fs::path& relative, const fs::path& root) {
    if (relative.empty()) return root.filename().string();
    std::string mailbox;
    for (const auto& component : relative) {
        std::string name = component.string();
        if (name.ends_with(".sbd")) name.resize(name.size() - 4);
        if (!mailbox.empty()) mailbox += '/';
        mailbox += name;
    }
    return mailbox;
}

struct Candidate {
    fs::path relative;
    fs::path absolute;
};

void collectMboxFiles(const fs::path& folder, const fs::path& relative, int depth, std::vector<Candidate>& files,
                      std::vector<std::string>& unreadable) {
    std::error_code ec;
    fs::directory_iterator it(folder, fs::directory_options::skip_permission_denied, ec);
    if (ec) {
        unreadable.push_back(folder.string() + ": " + ec.message());
        return;
    }
    for (const fs::directory_iterator end; it != end; it.increment(ec)) {
        if (ec) {
            unreadable.push_back(folder.string() + ": " + ec.message());
            return;
        }
        const auto& entry = *it;
        const std::string name = entry.path().filename().string();
        if (name.starts_with('.')) continue;
        std::error_code typeError;
        if (entry.is_symlink(typeError)) continue;  // a link could lead out of the store or round in a loop
        if (entry.is_directory(typeError)) {
            if (depth < kMaxFolderDepth) collectMboxFiles(entry.path(), relative / name, depth + 1, files, unreadable);
        } else if (entry.is_regular_file(typeError) && !name.ends_with(".msf")) {
            files.push_back({relative / name, entry.path()});
        }
    }
}

std::string hex16(uint64_t value) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text(16, '0');
    for (int i = 15; i >= 0; --i, value >>= 4) text[static_cast<size_t>(i)] = kDigits[value & 0xF];
    return text;
}

void appendSpans(const fs::path& relative, const std::string& mailbox, const std::vector<MboxSpan>& spans,
                 std::map<uint64_t, int>& seen, std::vector<MessageLocation>& out) {
    const std::string prefix = relative.generic_string() + "#";
    for (const auto& span : spans) {
        if (span.expunged) continue;
        const int copy = ++seen[span.hash];
        MessageLocation location;
        location.id = prefix + hex16(span.hash) + (copy > 1 ? "~" + std::to_string(copy) : std::string());
        location.file = relative;
        location.offset = span.offset;
        location.length = span.length;
        location.mailbox = mailbox;
        out.push_back(std::move(location));
    }
}

// Whether the client has since marked the listed message deleted; nullopt when its bytes are no longer
// a message there (the file was rewritten).
std::optional<bool> expungedSinceListing(const ReadOnlyFile& file, const MessageLocation& location) {
    std::string head;
    if (!file.readAt(location.offset, static_cast<size_t>(std::min<int64_t>(location.length, 8192)), head) || !head.starts_with("From ")) {
        return std::nullopt;
    }
    size_t start = head.find('\n');
    while (start != std::string::npos && start + 1 < head.size()) {
        const size_t end = head.find('\n', start + 1);
        const auto text = std::string_view(head).substr(start + 1, end == std::string::npos ? std::string::npos : end - start - 1);
        if (text.empty() || text == "\r") break;
        if (startsWithNoCase(text, "x-mozilla-status:")) return expungedFlag(text);
        start = end;
    }
    return false;
}

// Lists one file, reusing what `previous` knew of it where the file allows.
bool listMboxFile(const Candidate& candidate, const std::string& mailbox, const MboxFileState* previousState,
                  const std::vector<const MessageLocation*>& previousMessages, MailListing& out, std::string& error) {
    const ReadOnlyFile file(candidate.absolute);
    struct stat info {};
    if (!file.ok() || ::fstat(file.fd(), &info) != 0) {
        error = errnoText(errno);
        return false;
    }
    MboxFileState state;
    state.file = candidate.relative;
    state.size = static_cast<uint64_t>(info.st_size);
    state.mtimeNs = static_cast<int64_t>(info.st_mtim.tv_sec) * 1'000'000'000 + info.st_mtim.tv_nsec;
    state.inode = static_cast<uint64_t>(info.st_ino);
    state.mailbox = mailbox;

    if (previousState != nullptr && previousState->inode == state.inode && previousState->size == state.size &&
        previousState->mtimeNs == state.mtimeNs && previousState->mailbox == mailbox) {
        for (const auto* message : previousMessages) out.messages.push_back(*message);
        out.mboxFiles.push_back(*previousState);
        return true;
    }

    ScanOutcome outcome;
    std::map<uint64_t, int> seen;
    bool grown = false;
    if (previousState != nullptr && previousState->inode == state.inode && previousState->size > 0 &&
        state.size > previousState->size && previousState->mailbox == mailbox) {
        std::string tail;
        const uint64_t from = previousState->size - std::min(previousState->size, kTailBytes);
        if (file.readAt(static_cast<int64_t>(from), static_cast<size_t>(previousState->size - from), tail) &&
            fnv1a64(tail) == previousState->tailHash && tail.ends_with('\n') &&
            scanFile(file, previousState->size, tailEndsWithEmptyLine(tail), outcome, error) && !outcome.stray) {
            grown = true;
            std::vector<MessageLocation> kept;
            for (const auto* message : previousMessages) {
                // The client marks deletions in place; the old bytes are otherwise taken as they were.
                const auto expunged = expungedSinceListing(file, *message);
                if (!expunged) {
                    grown = false;
                    break;
                }
                if (!*expunged) kept.push_back(*message);
                if (const auto hash = mboxMessageHash(message->id)) ++seen[*hash];
            }
            if (grown) out.messages.insert(out.messages.end(), kept.begin(), kept.end());
        }
    }
    if (!grown) {
        outcome = {};
        seen.clear();
        if (!scanFile(file, 0, true, outcome, error)) return false;
    }
    appendSpans(candidate.relative, mailbox, outcome.spans, seen, out.messages);
    state.size = outcome.end;
    state.tailHash = outcome.tailHash;
    // File times are coarse: a write in the same tick as this listing would leave size and time as they
    // are now, so a time this fresh is not trusted to mean "unchanged" next time.
    timespec now {};
    ::clock_gettime(CLOCK_REALTIME, &now);
    if (static_cast<int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec - state.mtimeNs < kRacyNs) state.mtimeNs = kUntrustedTime;
    out.mboxFiles.push_back(std::move(state));
    return true;
}

}  // namespace

MboxScanner::MboxScanner(int64_t startOffset, bool afterEmptyLine) : pos_(startOffset), afterEmpty_(afterEmptyLine) {}

void MboxScanner::feed(std::string_view block) {
    size_t start = 0;
    if (!carry_.empty() || carryIsContinuation_) {
        const size_t newline = block.find('\n');
        if (newline == std::string_view::npos) {
            carry_.append(block);
            flushLongCarry();
            return;
        }
        carry_.append(block.substr(0, newline + 1));
        line(carry_, !carryIsContinuation_, true);
        carry_.clear();
        carryIsContinuation_ = false;
        start = newline + 1;
    }
    while (start < block.size()) {
        const size_t newline = block.find('\n', start);
        if (newline == std::string_view::npos) {
            carry_.assign(block.substr(start));
            flushLongCarry();
            return;
        }
        line(block.substr(start, newline + 1 - start), true, true);
        start = newline + 1;
    }
}

// A line without end in sight is passed on in pieces, so memory stays bounded whatever the file holds.
void MboxScanner::flushLongCarry() {
    if (carry_.size() <= kMaxLine) return;
    line(carry_, !carryIsContinuation_, false);
    carry_.clear();
    carryIsContinuation_ = true;
}

std::vector<MboxSpan> MboxScanner::finish() {
    if (!carry_.empty()) {
        line(carry_, !carryIsContinuation_, true);
        carry_.clear();
    }
    if (haveCandidate_) {
        haveCandidate_ = false;
        content(candidateLine_, true, true);
    }
    close(pos_);
    return std::move(spans_);
}

void MboxScanner::line(std::string_view text, bool lineStart, bool complete) {
    const int64_t offset = pos_;
    pos_ += static_cast<int64_t>(text.size());
    if (haveCandidate_) {
        haveCandidate_ = false;
        if (lineStart && isHeaderField(text)) {
            close(candidateOffset_);
            open_ = Open{};
            open_.offset = candidateOffset_;
            open_.hash = kFnvBasis;
            haveOpen_ = true;
        } else {
            content(candidateLine_, true, true);
        }
    }
    if (lineStart && complete && afterEmpty_ && isSeparatorLine(text)) {
        haveCandidate_ = true;
        candidateOffset_ = offset;
        candidateLine_.assign(text);
        afterEmpty_ = false;
        return;
    }
    content(text, lineStart, complete);
    afterEmpty_ = lineStart && complete && isEmptyLine(text);
}

void MboxScanner::content(std::string_view text, bool lineStart, bool complete) {
    if (!haveOpen_) {
        if (!(lineStart && isEmptyLine(text))) stray_ = true;
        return;
    }
    if (open_.inHeader) {
        if (!lineStart) {
            if (skippingStatus_) return;
        } else if (isEmptyLine(text)) {
            open_.inHeader = false;
        } else if (isStatusLine(text)) {
            if (startsWithNoCase(text, "x-mozilla-status:")) open_.expunged = expungedFlag(text);
            skippingStatus_ = !complete;
            return;
        }
        skippingStatus_ = false;
    }
    if (lineStart && complete && isEmptyLine(text)) {
        open_.pendingEmpty.append(text);
        return;
    }
    if (!open_.pendingEmpty.empty()) {
        open_.hash = fnv1a64(open_.pendingEmpty, open_.hash);
        open_.pendingEmpty.clear();
    }
    open_.hash = fnv1a64(text, open_.hash);
}

void MboxScanner::close(int64_t end) {
    if (!haveOpen_) return;
    spans_.push_back({open_.offset, end - open_.offset, open_.hash, open_.expunged});
    haveOpen_ = false;
}

std::string unquoteMboxMessage(std::string_view bytes) {
    if (bytes.starts_with("From ")) {
        const size_t lineEnd = bytes.find('\n');
        bytes.remove_prefix(lineEnd == std::string_view::npos ? bytes.size() : lineEnd + 1);
    }
    std::string out;
    out.reserve(bytes.size());
    size_t start = 0;
    while (start < bytes.size()) {
        size_t end = bytes.find('\n', start);
        end = end == std::string_view::npos ? bytes.size() : end + 1;
        const auto text = bytes.substr(start, end - start);
        const size_t quotes = text.find_first_not_of('>');
        if (quotes != 0 && quotes != std::string_view::npos && text.substr(quotes).starts_with("From ")) {
            out.append(text.substr(1));
        } else {
            out.append(text);
        }
        start = end;
    }
    return out;
}

bool looksLikeMbox(const fs::path& file) {
    const ReadOnlyFile handle(file);
    std::string head;
    return handle.ok() && handle.readAt(0, 5, head) && head == "From ";
}

bool listMboxStore(const fs::path& root, bool folder, const MailListing* previous, MailListing& out, std::string& error) {
    std::map<fs::path, const MboxFileState*> previousStates;
    std::map<fs::path, std::vector<const MessageLocation*>> previousMessages;
    if (previous != nullptr) {
        for (const auto& state : previous->mboxFiles) previousStates[state.file] = &state;
        for (const auto& message : previous->messages) previousMessages[message.file].push_back(&message);
    }
    std::vector<Candidate> files;
    if (folder) {
        std::error_code ec;
        if (!fs::is_directory(root, ec)) {
            error = ec ? ec.message() : "not a folder";
            return false;
        }
        collectMboxFiles(root, {}, 0, files, out.unreadable);
    } else {
        files.push_back({{}, root});
    }
    for (const auto& candidate : files) {
        const auto state = previousStates.find(candidate.relative);
        const MboxFileState* previousState = state == previousStates.end() ? nullptr : state->second;
        // A file the last run knew as mbox stays one (it may be empty now); others must show a separator.
        if (folder && previousState == nullptr && !looksLikeMbox(candidate.absolute)) continue;
        std::string fileError;
        const auto messages = previousMessages.find(candidate.relative);
        static const std::vector<const MessageLocation*> kNone;
        if (!listMboxFile(candidate, mailboxOfMboxFile(candidate.relative, root), previousState,
                          messages == previousMessages.end() ? kNone : messages->second, out, fileError)) {
            if (!folder) {
                error = fileError;
                return false;
            }
            out.unreadable.push_back(candidate.absolute.string() + ": " + fileError);
        }
    }
    return true;
}

std::variant<std::string, MessageReadError> readMboxMessage(const fs::path& file, const MessageLocation& location,
                                                            size_t maxBytes, bool* cut) {
    const auto fail = [&](const std::string& reason) { return MessageReadError{"Mail message not readable: " + file.string() + ": " + reason}; };
    if (cut != nullptr) *cut = false;
    const auto expected = mboxMessageHash(location.id);
    if (!expected || location.offset < 0 || location.length <= 0) return fail("not an mbox message");
    const uint64_t length = static_cast<uint64_t>(location.length);
    if (cut == nullptr && length > kMaxMessageBytes) return fail("message too large");
    const ReadOnlyFile handle(file);
    if (!handle.ok()) return fail(errnoText(errno));
    // The whole message passes the scanner (its hash says the file is unchanged), block by block; only
    // the first maxBytes are kept.
    constexpr size_t kBlock = size_t{4} << 20;
    const uint64_t keep = cut != nullptr ? std::min<uint64_t>(length, maxBytes) : length;
    MboxScanner scanner(location.offset, true);
    std::string bytes;
    std::string block;
    bytes.reserve(static_cast<size_t>(keep));
    for (uint64_t done = 0; done < length;) {
        const size_t want = static_cast<size_t>(std::min<uint64_t>(kBlock, length - done));
        if (!handle.readAt(location.offset + static_cast<int64_t>(done), want, block)) return fail(errnoText(errno));
        if (block.size() != want) return fail("the file was truncated");
        scanner.feed(block);
        if (bytes.size() < keep) bytes.append(block, 0, static_cast<size_t>(std::min<uint64_t>(block.size(), keep - bytes.size())));
        done += want;
    }
    const auto spans = scanner.finish();
    if (spans.size() != 1 || spans.front().offset != location.offset || spans.front().hash != *expected) {
        return fail("the file changed since it was listed");
    }
    if (cut != nullptr) *cut = keep < length;
    return unquoteMboxMessage(bytes);
}

}  // namespace lumidex::mail

// mbox files as mail programs keep them (a folder of a desktop mail client, local or an IMAP cache): the
// messages one after the other, each introduced by a "From " line after an empty line, with body lines
// that would look like one quoted as ">From ". Used by the listing (mail_source_listing.h); pure
// functions and a scanner object that one thread feeds; nothing throws except std::bad_alloc.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "mail/mail_source_listing.h"

namespace lumidex::mail {

struct MboxSpan {
    int64_t offset = 0;  // of the "From " line
    int64_t length = 0;  // up to the next separator or the end
    uint64_t hash = 0;   // of the message without its "From " line, status lines and trailing empty lines
    bool expunged = false;  // deleted by the mail program, still waiting for compaction
};

// Finds the messages in consecutive blocks of an mbox file. A "From " line separates only when it
// follows an empty line (or the start), carries a time ("12:34") and is followed by a header field, so a
// stray "From the desk of" in a body does not split a message. Lines of any length are handled.
class MboxScanner {
public:
    // `startOffset`: the file offset of the first byte fed; `afterEmptyLine`: whether the bytes before
    // it end with an empty line (true at the start of a file).
    explicit MboxScanner(int64_t startOffset = 0, bool afterEmptyLine = true);

    void feed(std::string_view block);
    // The messages found, in file order. strayBytes(): non-empty content came before the first separator.
    std::vector<MboxSpan> finish();
    bool strayBytes() const { return stray_; }

private:
    struct Open {
        int64_t offset = 0;
        uint64_t hash = 0;
        bool inHeader = true;
        bool expunged = false;
        std::string pendingEmpty;  // empty lines not hashed yet: trailing ones do not count
    };

    void line(std::string_view text, bool lineStart, bool complete);
    void content(std::string_view text, bool lineStart, bool complete);
    void close(int64_t end);
    void flushLongCarry();

    int64_t pos_;
    bool afterEmpty_;
    bool stray_ = false;
    bool haveOpen_ = false;
    Open open_;
    bool haveCandidate_ = false;
    int64_t candidateOffset_ = 0;
    std::string candidateLine_;
    std::string carry_;
    bool carryIsContinuation_ = false;
    bool skippingStatus_ = false;  // inside a status line longer than one piece
    std::vector<MboxSpan> spans_;
};

// The bytes parseMessage() takes: the "From " line dropped, one ">" removed from every ">From " line
// (also ">>From ", as mboxrd writes it).
std::string unquoteMboxMessage(std::string_view bytes);

// True for a file that starts with a "From " line; empty files and everything else are not mbox files.
bool looksLikeMbox(const std::filesystem::path& file);

// Lists the mbox file `root` (single) or every mbox file below the folder `root`, ".sbd" subfolders
// included and ".msf" summaries skipped; `previous` may be null. Appends to `out`.
bool listMboxStore(const std::filesystem::path& root, bool folder, const MailListing* previous, MailListing& out,
                   std::string& error);

// Reads the listed message: the bytes at its offset must still be the message it was.
// With `cut` set, at most maxBytes of the message are kept and *cut says whether it went on.
std::variant<std::string, MessageReadError> readMboxMessage(const std::filesystem::path& file, const MessageLocation& location,
                                                            size_t maxBytes = SIZE_MAX, bool* cut = nullptr);

}  // namespace lumidex::mail

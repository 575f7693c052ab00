// Plain text out of RTF documents (as written by word processors and the macOS text editor).
//
// The reader keeps the visible body text: paragraphs and line breaks become "\n", tabs and table
// cells "\t", table rows "\n". It drops formatting, font/colour/style tables, document info,
// pictures, embedded objects, headers and footers, hidden text, field instructions (keeping the
// field result, e.g. a link's visible text) and every "\*" destination. 8-bit characters are decoded
// in the code page in force: the document's (\ansicpg, else \ansi/\mac/\pc/\pca, else windows-1252),
// or the one the current font's \fcharset or \cpg selects; \uN characters (with \ucN fallback skipping
// and surrogate pairs) are taken as Unicode.
//
// Malformed input never crashes and never recurses: groups are tracked on an explicit stack capped at
// maxGroupDepth, runs are linear in the input size, and a truncated file or unbalanced braces yield
// the text read so far (reported in `unbalancedBraces`). Pure function, thread-safe.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace lumidex::processing {

struct RtfReadOptions {
    std::size_t maxGroupDepth = 512;
};

struct RtfText {
    enum class Status {
        ok,
        notRtf,        // does not start with "{\rtf"
        nestedTooDeep  // more than maxGroupDepth open groups; `text` holds what came before
    };

    Status status = Status::ok;
    std::string text;               // UTF-8
    bool unbalancedBraces = false;  // the file ended inside a group (truncated) or closed too many
    std::string documentCharset;    // converter name of the document code page, e.g. "windows-1252"
    std::vector<std::string> warnings;  // e.g. an unknown code page that was read as windows-1252

    bool ok() const { return status == Status::ok; }
    // A readable reason for a failed status; empty when ok.
    std::string errorMessage() const;
};

RtfText readRtf(std::string_view rtf, const RtfReadOptions& options = {});

// True when the bytes start (after optional white space or a UTF-8 byte order mark) with "{\rtf".
bool looksLikeRtf(std::string_view bytes);

}  // namespace lumidex::processing

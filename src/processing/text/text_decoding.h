// Decoding the bytes of a plain text file whose encoding is not labelled.
//
// Order of evidence: a byte order mark (UTF-8, UTF-16 LE/BE, UTF-32 LE/BE), then well-formed UTF-8,
// then the charset detector's best guess that a converter exists for (ISO-8859-1, or a near tie with
// it, is read as its superset windows-1252), then windows-1252. Bytes invalid in the chosen encoding
// become U+FFFD.
// Content that decodes to NUL characters is binary, not text: that is reported as an error.
// Pure function, thread-safe, never throws (except std::bad_alloc).
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace lumidex::processing {

struct DecodedText {
    std::string text;                  // UTF-8 without byte order mark; empty on error
    std::string encoding;              // the encoding used, e.g. "UTF-8", "UTF-16LE", "windows-1252"
    std::optional<std::string> error;  // why the bytes could not be read as text
};

DecodedText decodePlainText(std::string_view bytes);

}  // namespace lumidex::processing

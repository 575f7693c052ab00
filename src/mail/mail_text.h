// The text converters of mail: transfer decodings, body character sets, header encoded words, and the
// HTML, calendar and white-space rules that turn a body into searchable text. Message bodies and
// attachments share them.
//
// Bytes travel in std::string. Every function is pure, thread-safe and linear in its input (no
// backtracking regular expressions: a 50 MB body costs a few passes), and nothing throws except
// std::bad_alloc. Bad Base64, quoted-printable or charset data never fails: the decoders skip what they
// cannot read, and every function that returns text returns well-formed UTF-8 whatever the bytes were,
// except htmlToText/normalizeText/calendarToText, which keep ill-formed input as ill-formed as it came.
#pragma once

#include <string>
#include <string_view>

namespace lumidex::mail {

// Base64 as mail writes it: white space, line breaks and any other character outside the alphabet are
// skipped, padding may be missing or misplaced; a trailing group too short for a byte is dropped.
std::string decodeBase64(std::string_view text);

// Quoted-printable: "=" before LF or CR LF is a soft line break and vanishes, "=HH" is that byte, and
// every other byte (a lone "=" included) is kept as it is.
std::string decodeQuotedPrintable(std::string_view text);

// By a Content-Transfer-Encoding value, case-insensitively: one containing "base64" or
// "quoted-printable" is decoded, anything else (7bit, 8bit, binary, empty) is the bytes unchanged.
std::string decodeTransferEncoding(std::string_view bytes, std::string_view transferEncoding);

// The body character sets mail declares. Unknown or absent names read as UTF-8.
enum class MailTextEncoding {
    utf8,
    utf16,
    isoLatin9,
    isoLatin2,
    isoLatin1,
    windows1252,
    windows1250,
    windows1251,
    koi8r,
    shiftJis,
    eucJp,
    gb2312,
    gb18030,
    big5,
    eucKr,
    ascii,
};

// The encoding for a charset parameter, matched as a lower-cased substring ("x-iso-8859-1" is Latin-1;
// "iso-8859-15" is checked before "iso-8859-1").
MailTextEncoding textEncoding(std::string_view charsetName);

// The converter name the charset seam knows the encoding by ("ISO-8859-15", "Shift_JIS", ...).
std::string_view converterName(MailTextEncoding encoding);

// The text of a body in its declared charset. Bytes that are well-formed UTF-8 are read as UTF-8 when the
// charset says so, and also when the declared reading looks like double-encoded UTF-8 ("Ã¼", "â€", ...)
// or loses characters the UTF-8 reading keeps (UTF-8 labelled "us-ascii"). Other bytes are read in the
// declared charset, failing that as ISO-8859-1.
std::string decodeBody(std::string_view bytes, std::string_view charsetName);

// Each byte as the code point of the same value.
std::string latin1ToUtf8(std::string_view bytes);

// UTF-8 bytes as they are; anything else read as ISO-8859-1 (raw 8-bit header fields and bodies).
std::string utf8OrLatin1(std::string_view bytes);

// RFC 2047 encoded words ("=?charset?B|Q?text?=") replaced by their text; white space between two
// adjacent encoded words is dropped. Charsets: UTF-8, ISO-8859-1 and windows-1252 by name; any other
// reads as UTF-8, and as its own charset (then Latin-1) when that is not well-formed.
std::string decodeEncodedWords(std::string_view text);

// Tags out, scripts, styles and comments out, line breaks for <br> and closing block tags, the common
// named entities and numeric character references decoded. Tag names match in lower case only.
std::string htmlToText(std::string_view html);

// Line ends made LF, runs of spaces and tabs one space, none at line ends, at most one empty line in a
// row, and no white space at either end.
std::string normalizeText(std::string_view text);

// An iCalendar object as "NAME: value" lines of its SUMMARY, DESCRIPTION, LOCATION, DTSTART, DTEND,
// ORGANIZER, ATTENDEE and URL properties, folded lines joined and escapes resolved. Time-zone
// definitions are left out: their DTSTART lines are rule dates, not the event's.
std::string calendarToText(std::string_view calendar);

}  // namespace lumidex::mail

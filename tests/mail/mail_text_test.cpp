#include "mail/mail_text.h"

#include <gtest/gtest.h>

#include <string>

namespace lumidex::mail {
namespace {

TEST(MailTransferDecoding, QuotedPrintableSoftBreaksEscapesAndStrayEquals) {
    EXPECT_EQ(decodeQuotedPrintable("a=\r\nb=3Dc"), "ab=c");
    EXPECT_EQ(decodeQuotedPrintable("Gr=FC=DFe=\nn"), "Gr\xFC\xDF" "en");
    // Not an escape: kept as written rather than dropped or misread.
    EXPECT_EQ(decodeQuotedPrintable("50=% =G1 end="), "50=% =G1 end=");
    EXPECT_EQ(decodeTransferEncoding("x=3D1", "Quoted-Printable"), "x=1");
    EXPECT_EQ(decodeTransferEncoding("x=3D1", "8bit"), "x=3D1");
}

TEST(MailTransferDecoding, Base64ToleratesLineBreaksJunkAndMissingPadding) {
    EXPECT_EQ(decodeBase64("SGVs\r\nbG8g\tV29y bGQ="), "Hello World");
    EXPECT_EQ(decodeBase64("SGVsbG8"), "Hello");            // padding missing
    EXPECT_EQ(decodeBase64("SG*V$sb!G8=\n"), "Hello");      // junk between the letters
    EXPECT_EQ(decodeTransferEncoding("SGk=", " BASE64 "), "Hi");
    EXPECT_EQ(decodeBase64("=="), "");
}

TEST(MailBodyDecoding, DeclaredCharsetUnlessTheBytesAreReallyUtf8) {
    // Latin-1 bytes in a Latin-1 body.
    EXPECT_EQ(decodeBody("Gr\xFC\xDF" "e", "ISO-8859-1"), "Gr\u00FC\u00DFe");
    // UTF-8 umlauts declared as Latin-1: the double-encoding check keeps them intact.
    EXPECT_EQ(decodeBody("Gr\u00FC\u00DFe aus K\u00F6ln", "iso-8859-1"), "Gr\u00FC\u00DFe aus K\u00F6ln");
    EXPECT_EQ(decodeBody("caf\u00E9 \u2013 ok", "windows-1252"), "caf\u00E9 \u2013 ok");
    // UTF-8 declared as US-ASCII would otherwise lose every non-ASCII letter.
    EXPECT_EQ(decodeBody("M\u00E4rz", "us-ascii"), "M\u00E4rz");
    // Latin-9 is not Latin-1: 0xA4 is the euro sign there.
    EXPECT_EQ(decodeBody("5 \xA4", "ISO-8859-15"), "5 \u20AC");
    EXPECT_EQ(decodeBody("\xCB\xC9\xD2", "koi8-r"), "\u043A\u0438\u0440");
    EXPECT_EQ(decodeBody("\x93\xFA\x96\x7B", "Shift_JIS"), "\u65E5\u672C");
    // Broken UTF-8 declared as UTF-8, and an unknown charset: read as Latin-1, never dropped.
    EXPECT_EQ(decodeBody("K\xF6ln", "utf-8"), "K\u00F6ln");
    EXPECT_EQ(decodeBody("K\xF6ln", "x-unknown"), "K\u00F6ln");
}

TEST(MailEncodedWords, BAndQWordsInTheirCharsets) {
    EXPECT_EQ(decodeEncodedWords("=?UTF-8?B?w6TDtsO8?="), "\u00E4\u00F6\u00FC");
    EXPECT_EQ(decodeEncodedWords("=?iso-8859-1?Q?Gr=FC=DFe_aus?= Bonn"), "Gr\u00FC\u00DFe aus Bonn");
    EXPECT_EQ(decodeEncodedWords("=?windows-1252?q?=80_10?="), "\u20AC 10");
    EXPECT_EQ(decodeEncodedWords("=?utf-8*de?Q?Hallo?="), "Hallo");
    // Unknown charset: UTF-8 when the bytes are, else the charset by its own name.
    EXPECT_EQ(decodeEncodedWords("=?x-made-up?B?w6Q=?="), "\u00E4");
    EXPECT_EQ(decodeEncodedWords("=?iso-8859-15?Q?=A4?="), "\u20AC");
}

TEST(MailEncodedWords, AdjacentWordsJoinButOtherSpacingStays) {
    // One word split in two (a folded subject) joins without the space between the words.
    EXPECT_EQ(decodeEncodedWords("=?UTF-8?B?UmVjaG51bmcgZsO8?= =?UTF-8?B?ciBNw6Ryeg==?="), "Rechnung f\u00FCr M\u00E4rz");
    EXPECT_EQ(decodeEncodedWords("Re: =?utf-8?Q?Gr=C3=BC=C3=9Fe?= und =?utf-8?Q?K=C3=BCsse?="), "Re: Gr\u00FC\u00DFe und K\u00FCsse");
    // Malformed words are text; raw 8-bit header bytes read as Latin-1.
    EXPECT_EQ(decodeEncodedWords("=?utf-8?X?abc?= =??Q?a?="), "=?utf-8?X?abc?= =??Q?a?=");
    EXPECT_EQ(decodeEncodedWords("M\xE4rz =?utf-8?Q?x?="), "M\u00E4rz x");
}

TEST(MailHtmlToText, DropsMarkupAndDecodesEntities) {
    EXPECT_EQ(htmlToText("<p>Hello</p><script>x</script>World&amp;&#228;"), " Hello\n World&\u00E4");
    const std::string html =
        "<html><head><style type=\"text/css\">p {color: red}</style></head><body>"
        "<!-- tracking --><h2>Angebot</h2>Preis:&nbsp;12&euro;<br/>Zeile&#x32;<br >"
        "&laquo;Zitat&raquo; &amp;lt;kein Tag&amp;gt; <SCRIPT>bleibt</SCRIPT></body></html>";
    EXPECT_EQ(normalizeText(htmlToText(html)),
              "Angebot\nPreis: 12\u20AC\nZeile2\n\u00ABZitat\u00BB <kein Tag> bleibt");
    // References to no character stay as written.
    EXPECT_EQ(htmlToText("&#0; &#xD800; &#99999999999;"), "&#0; &#xD800; &#99999999999;");
    // Unclosed constructs stay text.
    EXPECT_EQ(htmlToText("a < b"), "a < b");
    EXPECT_EQ(htmlToText("<!-- open <b>x"), " x");
    // Megabytes of '<' without a '>' after them: linear, not a search to the end for each one.
    const std::string opens(2u << 20, '<');
    EXPECT_EQ(htmlToText("<b>a</b>" + opens), " a " + opens);
}

TEST(MailNormalizeText, CollapsesBlanksAndEmptyLines) {
    EXPECT_EQ(normalizeText("a\n\n\n\n\nb"), "a\n\nb");
    EXPECT_EQ(normalizeText("  Hallo \t Welt  \r\n \t \r\n\r\n\r\nTsch\u00FCss\t\n"), "Hallo Welt\n\nTsch\u00FCss");
    EXPECT_EQ(normalizeText("\u00A0 x \u3000"), "x");
}

TEST(MailCalendarToText, KeepsEventPropertiesOnly) {
    const std::string invitation =
        "BEGIN:VCALENDAR\r\nMETHOD:REQUEST\r\nBEGIN:VTIMEZONE\r\nTZID:Europe/Berlin\r\nBEGIN:STANDARD\r\n"
        "DTSTART:19701025T030000\r\nEND:STANDARD\r\nEND:VTIMEZONE\r\nBEGIN:VEVENT\r\n"
        "ORGANIZER;CN=\"M\u00FCller: Team\":mailto:anna@example.org\r\n"
        "ATTENDEE;ROLE=REQ-PARTICIPANT;CN=Ben:mailto:ben@example.org\r\n"
        "DTSTART;TZID=Europe/Berlin:20240305T100000\r\nDTEND;TZID=Europe/Berlin:20240305T110000\r\n"
        "summary:Team meeting\r\nDESCRIPTION:Agenda:\\n1. Budget\\, Q2\\;\r\n  Raum \\\\ 3\r\n"
        "LOCATION:\r\nUID:123@example.org\r\nEND:VEVENT\r\nEND:VCALENDAR\r\n";
    EXPECT_EQ(calendarToText(invitation),
              "ORGANIZER: mailto:anna@example.org\n"
              "ATTENDEE: mailto:ben@example.org\n"
              "DTSTART: 20240305T100000\n"
              "DTEND: 20240305T110000\n"
              "SUMMARY: Team meeting\n"
              "DESCRIPTION: Agenda:\n1. Budget, Q2; Raum \\ 3");
}

}  // namespace
}  // namespace lumidex::mail

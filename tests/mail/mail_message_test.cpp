#include "mail/mail_message.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <filesystem>
#include <string>
#include <variant>

#include "support/temp_home.h"

namespace lumidex::mail {
namespace {

ParsedEmlx parsedOrFail(std::string_view bytes) {
    auto result = parseEmlx(bytes);
    if (auto* error = std::get_if<EmlxParserError>(&result)) ADD_FAILURE() << error->message();
    return std::holds_alternative<ParsedEmlx>(result) ? std::get<ParsedEmlx>(std::move(result)) : ParsedEmlx{};
}

std::string withCrLf(std::string_view text) {
    std::string out;
    for (const char c : text) {
        if (c == '\n') out += '\r';
        out += c;
    }
    return out;
}

std::string emlx(std::string_view message, std::string_view plist) {
    return std::to_string(message.size()) + "\n" + std::string(message) + std::string(plist);
}

const std::string kPlist =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n"
    "\t<key>date-received</key>\n\t<integer>1709630100</integer>\n"
    "\t<key>flags</key>\n\t<integer>8590195713</integer>\n</dict>\n</plist>\n";

// A German letter as a common mail program sends it: Latin-1 quoted-printable text with an HTML twin,
// sender and a subject split over two encoded words.
const std::string kGermanAlternative =
    "From: =?iso-8859-1?Q?J=FCrgen_M=FCller?= <juergen@example.de>\n"
    "To: anna@example.org\n"
    "Subject: =?UTF-8?B?UmVjaG51bmcgZsO8?=\n"
    " =?UTF-8?B?ciBNw6Ryeg==?=\n"
    "Date: Tue, 5 Mar 2024 10:15:00 +0100\n"
    "MIME-Version: 1.0\n"
    "Content-Type: multipart/alternative;\n"
    "\tboundary=\"----=_Part_1_2\"\n"
    "\n"
    "This is a multi-part message in MIME format.\n"
    "\n"
    "------=_Part_1_2\n"
    "Content-Type: text/plain; charset=ISO-8859-1\n"
    "Content-Transfer-Encoding: quoted-printable\n"
    "\n"
    "Sehr geehrte Frau Schr=F6der,\n"
    "\n"
    "anbei die Rechnung f=FCr M=E4rz. Die Zahlung ist bis zum 31.=\n"
    " M=E4rz f=E4llig.\n"
    "\n"
    "\n"
    "\n"
    "Mit freundlichen Gr=FC=DFen\n"
    "J=FCrgen M=FCller\n"
    "------=_Part_1_2\n"
    "Content-Type: text/html; charset=ISO-8859-1\n"
    "Content-Transfer-Encoding: quoted-printable\n"
    "\n"
    "<html><body><p>HTML-Fassung f=FCr Frau Schr=F6der</p></body></html>\n"
    "------=_Part_1_2--\n"
    "Epilog, kein Teil.\n";

const std::string kGermanText =
    "Sehr geehrte Frau Schr\u00F6der,\n\nanbei die Rechnung f\u00FCr M\u00E4rz. Die Zahlung ist bis zum 31. M\u00E4rz "
    "f\u00E4llig.\n\nMit freundlichen Gr\u00FC\u00DFen\nJ\u00FCrgen M\u00FCller";

// A forward as an attached message whose own part carries a PDF with an RFC 2231 file name.
const std::string kForward =
    "From: Anna <anna@example.org>\n"
    "Subject: Fwd: Vertrag\n"
    "Content-Type: multipart/mixed; boundary=\"outer\"\n"
    "\n"
    "--outer\n"
    "Content-Type: text/plain; charset=utf-8\n"
    "\n"
    "Siehe unten.\n"
    "--outer\n"
    "Content-Type: message/rfc822\n"
    "Content-Disposition: inline\n"
    "\n"
    "From: Ben <ben@example.org>\n"
    "Subject: =?utf-8?Q?Vertragsentwurf_f=C3=BCr_Q2?=\n"
    "Content-Type: multipart/mixed; boundary=\"inner\"\n"
    "\n"
    "--inner\n"
    "Content-Type: text/plain; charset=utf-8\n"
    "Content-Transfer-Encoding: 8bit\n"
    "\n"
    "Hallo Anna, der Entwurf h\u00E4ngt an.\n"
    "--inner\n"
    "Content-Type: application/pdf; name=\"Vertrag.pdf\"\n"
    "Content-Disposition: attachment;\n"
    " filename*0*=utf-8''Vertragsentwurf%20f%C3%BCr%20;\n"
    " filename*1=\"Q2 (final).pdf\"\n"
    "Content-Transfer-Encoding: base64\n"
    "\n"
    "JVBERi0x\n"
    "LjQKJcfs\n"
    "--inner--\n"
    "\n"
    "--outer--\n";

TEST(EmlxLayout, ByteCountLineMessageAndPropertyList) {
    const std::string file = "12\nSubject:a\n\nb";
    auto parsed = parsedOrFail(file);
    EXPECT_EQ(parsed.bytecountPrefix, 12);
    EXPECT_EQ(parsed.headers, (std::map<std::string, std::string>{{"subject", "a"}}));
    EXPECT_EQ(parsed.rawBody, "b");
    EXPECT_EQ(parsed.bodyPreview, "b");
    EXPECT_FALSE(parsed.hasTrailingPlist);
    EXPECT_EQ(parsed.plistFlags, std::nullopt);

    parsed = parsedOrFail(file + kPlist);
    EXPECT_EQ(parsed.rawBody, "b");
    EXPECT_TRUE(parsed.hasTrailingPlist);
    EXPECT_EQ(parsed.plistFlags, 8590195713);

    // A count beyond the file takes what is there; signs and blanks around the count are accepted.
    parsed = parsedOrFail(" +4000 \r\nSubject: cut\n\nshort");
    EXPECT_EQ(parsed.bytecountPrefix, 4000);
    EXPECT_EQ(parsed.rawBody, "short");
    EXPECT_FALSE(parsed.hasTrailingPlist);
}

TEST(EmlxLayout, FilesThatAreNotEmlx) {
    const auto errorOf = [](std::string_view bytes) {
        auto result = parseEmlx(bytes);
        EXPECT_TRUE(std::holds_alternative<EmlxParserError>(result));
        return std::holds_alternative<EmlxParserError>(result) ? std::get<EmlxParserError>(result) : EmlxParserError{};
    };
    EXPECT_EQ(errorOf("abc\nSubject: x\n\n").message(), "Ungueltiger Bytecount-Prefix: 'abc'");
    EXPECT_EQ(errorOf("12abc\n").kind, EmlxParserError::Kind::invalidPrefix);
    EXPECT_EQ(errorOf("\nSubject: x").kind, EmlxParserError::Kind::invalidPrefix);
    EXPECT_EQ(errorOf("").message(), "Kein Bytecount-Prefix gefunden \u2014 keine .emlx-Datei?");
    EXPECT_EQ(errorOf("Subject: no line end").kind, EmlxParserError::Kind::missingPrefix);
    // Raw 8-bit junk on the first line still gives a message that is UTF-8.
    EXPECT_EQ(errorOf("M\xE4rz\n").text, "M\u00E4rz");
}

TEST(MessageParsing, GermanAlternativeInEmlxAndAsBareMessage) {
    for (const auto& message : {kGermanAlternative, withCrLf(kGermanAlternative)}) {
        SCOPED_TRACE(message.find('\r') == std::string::npos ? "LF" : "CR LF");
        const ParsedEmlx parsed = parsedOrFail(emlx(message, kPlist));
        EXPECT_EQ(parsed.bytecountPrefix, static_cast<int64_t>(message.size()));
        EXPECT_TRUE(parsed.hasTrailingPlist);
        EXPECT_EQ(parsed.headers.at("from"), "J\u00FCrgen M\u00FCller <juergen@example.de>");
        EXPECT_EQ(parsed.headers.at("subject"), "Rechnung f\u00FCr M\u00E4rz");
        EXPECT_EQ(parsed.headers.at("content-type"), "multipart/alternative; boundary=\"----=_Part_1_2\"");
        EXPECT_EQ(parsed.bodyByteCount, static_cast<int64_t>(parsed.rawBody->size()));
        EXPECT_TRUE(parsed.rawBody->starts_with("This is a multi-part"));
        EXPECT_EQ(messageBodyText(parsed), kGermanText);

        const auto parts = extractParts(parsed);
        ASSERT_EQ(parts.size(), 2u);
        EXPECT_EQ(parts[0].info.contentType, "text/plain");
        EXPECT_EQ(parts[0].info.transferEncoding, "quoted-printable");
        EXPECT_EQ(parts[0].info.filename, std::nullopt);
        EXPECT_TRUE(parts[0].decoded.starts_with("Sehr geehrte Frau Schr\xF6" "der,"));
        EXPECT_TRUE(parts[0].decoded.ends_with("J\xFCrgen M\xFCller"));  // the delimiter's line break is not content
        EXPECT_EQ(parts[0].info.decodedByteCount, static_cast<int64_t>(parts[0].decoded.size()));
        EXPECT_GT(parts[0].info.bodyByteCount, parts[0].info.decodedByteCount);
        EXPECT_EQ(parts[1].info.contentType, "text/html");

        // Maildir and mbox hold the same message without the count line and property list.
        const ParsedEmlx bare = parseMessage("From juergen@example.de Tue Mar  5 10:15:00 2024\n" + message);
        EXPECT_EQ(bare.headers, parsed.headers);
        EXPECT_EQ(bare.rawBody, parsed.rawBody);
        EXPECT_FALSE(bare.hasTrailingPlist);
    }
}

TEST(MessageParsing, HeaderFieldsUnfoldAndTheFirstOfANameWins) {
    const ParsedEmlx parsed = parseMessage(
        "Received: from a\n\tby b\nReceived: from c\nSubject: first\nX-Note:\n  long\n   value\n"
        "no colon here\n continued orphan\nSubject: second\n\nbody");
    EXPECT_EQ(parsed.headers, (std::map<std::string, std::string>{
                                  {"received", "from a by b"}, {"subject", "first"}, {"x-note", "long value"}}));
    // Without an empty line everything is header.
    const ParsedEmlx headerOnly = parseMessage("Subject: only\n");
    EXPECT_EQ(headerOnly.headers.at("subject"), "only");
    EXPECT_EQ(headerOnly.bodyByteCount, 0);
}

TEST(MessageParsing, JsonCarriesTheFiveFields) {
    const nlohmann::json json = parsedOrFail("12\nSubject:a\n\nb<plist/>");
    EXPECT_EQ(json, nlohmann::json::parse(R"({"bytecountPrefix":12,"headers":{"subject":"a"},"bodyPreview":"b",
                                              "bodyByteCount":1,"hasTrailingPlist":true})"));
    const nlohmann::json part = ExtractedPart{"application/pdf", "a.pdf", std::nullopt, 8, 6};
    EXPECT_EQ(part, nlohmann::json::parse(R"({"contentType":"application/pdf","filename":"a.pdf",
                                              "bodyByteCount":8,"decodedByteCount":6})"));
}

TEST(MimeParts, ForwardedMessageWithAttachment) {
    const ParsedEmlx outer = parseMessage(kForward);
    EXPECT_EQ(messageBodyText(outer), "Siehe unten.");
    const auto parts = extractParts(outer);
    ASSERT_EQ(parts.size(), 2u);
    EXPECT_EQ(parts[1].info.contentType, "message/rfc822");  // a leaf, not walked into
    EXPECT_EQ(parts[1].info.filename, std::nullopt);
    EXPECT_EQ(forwardedMessageText(parts[1].decoded),
              "[Forwarded] Vertragsentwurf f\u00FCr Q2\nFrom: Ben <ben@example.org>\n\nHallo Anna, der Entwurf h\u00E4ngt an.");

    const auto inner = extractParts(parseMessage(parts[1].decoded));
    ASSERT_EQ(inner.size(), 2u);
    EXPECT_EQ(inner[1].info.contentType, "application/pdf");
    // The disposition's file name wins over the type's name; its two sections join and decode.
    EXPECT_EQ(inner[1].info.filename, "Vertragsentwurf f\u00FCr Q2 (final).pdf");
    EXPECT_EQ(inner[1].info.transferEncoding, "base64");
    EXPECT_EQ(inner[1].decoded, "%PDF-1.4\n%\xC7\xEC");
    EXPECT_EQ(inner[1].info.bodyByteCount, 17);
    EXPECT_EQ(inner[1].info.decodedByteCount, 12);
}

TEST(MimeParts, FileNameParameters) {
    const auto name = [](std::string_view value, std::string_view parameter) {
        return headerParameter(value, parameter).value_or("<none>");
    };
    EXPECT_EQ(name("attachment; filename*=iso-8859-1'de'Gr%FC%DFe.txt", "filename"), "Gr\u00FC\u00DFe.txt");
    EXPECT_EQ(name("attachment; filename=\"a.txt\"; filename*=utf-8''%E2%82%AC.txt", "filename"), "\u20AC.txt");
    EXPECT_EQ(name("image/png; NAME=\"=?utf-8?B?w5xiZXJzaWNodC5wbmc=?=\"", "name"), "\u00DCbersicht.png");
    EXPECT_EQ(name("attachment; filename=\"say \\\"hi\\\"; now.txt\"; size=3", "filename"), "say \"hi\"; now.txt");
    EXPECT_EQ(name("attachment; filename=  plain.txt  ", "filename"), "plain.txt");
    // A section missing from the middle ends the value; without section 0 the plain form is used.
    EXPECT_EQ(name("attachment; filename*0=a; filename*2=c", "filename"), "a");
    EXPECT_EQ(name("attachment; filename=p.txt; filename*1=b", "filename"), "p.txt");
    EXPECT_EQ(name("attachment; filenames=x", "filename"), "<none>");
    EXPECT_EQ(name("multipart/mixed; boundary=\"=_b;1\"", "boundary"), "=_b;1");
}

TEST(MimeParts, MalformedMultipartBodies) {
    // Preamble and epilogue are not parts; a missing closing delimiter ends the last part at the end;
    // a longer boundary that starts with this one is not a delimiter.
    EXPECT_EQ(splitMultipart("pre\n--b\r\nA\r\n--bb\r\nstill A\r\n--b  \r\nB", "b"),
              (std::vector<std::string_view>{"A\r\n--bb\r\nstill A", "B"}));
    EXPECT_EQ(splitMultipart("--b\n\n--b--\nepilogue\n--b\nC", "b"), (std::vector<std::string_view>{""}));
    EXPECT_TRUE(splitMultipart("no delimiter at all", "b").empty());
    EXPECT_TRUE(splitMultipart("--\n", "").empty());
    // A multipart without a boundary parameter has no parts and no text.
    const ParsedEmlx parsed = parseMessage("Content-Type: multipart/mixed\n\n--x\n\ntext\n--x--\n");
    EXPECT_TRUE(extractParts(parsed).empty());
    EXPECT_EQ(messageBodyText(parsed), std::nullopt);
}

TEST(MimeParts, NestingAndPartCountsAreBounded) {
    // A multipart nested 100,000 deep (a MIME bomb) and one with 20,000 empty parts.
    std::string nested;
    for (int i = 0; i < 100000; ++i) nested += "Content-Type: multipart/mixed; boundary=b" + std::to_string(i) + "\n\n--b" + std::to_string(i) + "\n";
    nested += "\nhidden text\n";
    const ParsedEmlx deep = parseMessage(nested);
    EXPECT_TRUE(extractParts(deep).empty());
    EXPECT_EQ(messageBodyText(deep), std::nullopt);

    std::string wide = "Content-Type: multipart/mixed; boundary=w\n\n";
    for (int i = 0; i < 20000; ++i) wide += "--w\n\n";
    wide += "--w\nContent-Type: text/plain\n\nlate text\n--w--\n";
    const ParsedEmlx flat = parseMessage(wide);
    EXPECT_EQ(extractParts(flat).size(), MimeLimits{}.maxLeaves);
    EXPECT_EQ(extractParts(flat, MimeLimits{16, 1000000}).back().decoded, "late text");
}

TEST(BodyText, PicksTheRightPartAndConvertsIt) {
    // HTML only.
    EXPECT_EQ(bodyText("text/html; charset=utf-8", "",
                       "<html><head><style>p{}</style></head><body><p>Hallo&nbsp;Welt</p><p>Zweite&#8239;Zeile</p></body></html>"),
              "Hallo Welt\nZweite\u202FZeile");
    // An invitation: the calendar sits inside a nested alternative; the .ics attachment is not the body.
    const std::string invitation =
        "--m\nContent-Type: multipart/alternative; boundary=\"a\"\n\n"
        "--a\nContent-Type: text/calendar; method=REQUEST; charset=UTF-8\nContent-Transfer-Encoding: base64\n\n"
        "QkVHSU46VkNBTEVOREFSDQpCRUdJTjpWRVZFTlQNClNVTU1BUlk6VGVhbSBt\n"
        "ZWV0aW5nDQpMT0NBVElPTjpSYXVtIDQNCkRUU1RBUlQ6MjAyNDAzMDVUMTAw\n"
        "MDAwWg0KVUlEOjFAZXhhbXBsZS5vcmcNCkVORDpWRVZFTlQNCkVORDpWQ0FM\n"
        "RU5EQVINCg==\n--a--\n"
        "--m\nContent-Type: text/plain\nContent-Disposition: attachment; filename=notes.txt\n\nnot the body\n--m--\n";
    EXPECT_EQ(bodyText("multipart/mixed; boundary=m", "7bit", invitation),
              "SUMMARY: Team meeting\nLOCATION: Raum 4\nDTSTART: 20240305T100000Z");
    // text/plain wins over HTML whatever the order; an empty plain part gives way to the HTML.
    const std::string alternative = "--a\nContent-Type: text/html\n\n<b>html</b>\n--a\nContent-Type: text/plain\n\nplain\n--a--";
    EXPECT_EQ(bodyText("multipart/alternative; boundary=a", "", alternative), "plain");
    EXPECT_EQ(bodyText("multipart/alternative; boundary=a", "", "--a\n\n \n--a\nContent-Type: text/html\n\n<b>html</b>\n--a--"),
              "html");
    // UTF-8 sent as Latin-1 (double encoding) keeps its umlauts.
    EXPECT_EQ(bodyText("text/plain; charset=\"iso-8859-1\"", "8bit", "Gr\u00FC\u00DFe aus K\u00F6ln"), "Gr\u00FC\u00DFe aus K\u00F6ln");
    // Binary content and encrypted mail give no text.
    EXPECT_EQ(bodyText("image/png", "base64", "iVBORw0KGgoAAAANSUhEUgAAAAEAAAAB"), std::nullopt);
    EXPECT_EQ(bodyText("text/plain", "", " \n\t\n"), std::nullopt);
    const ParsedEmlx encrypted = parseMessage(
        "Content-Type: multipart/encrypted; protocol=\"application/pgp-encrypted\"; boundary=e\n\n"
        "--e\nContent-Type: application/pgp-encrypted\n\nVersion: 1\n"
        "--e\nContent-Type: text/plain\n\n-----BEGIN PGP MESSAGE-----\nhQEMA\n-----END PGP MESSAGE-----\n--e--\n");
    EXPECT_TRUE(isEncrypted(encrypted));
    EXPECT_EQ(messageBodyText(encrypted), std::nullopt);
    EXPECT_FALSE(isEncrypted(parseMessage(kForward)));
}

}  // namespace
}  // namespace lumidex::mail

namespace lumidex::mail {
namespace {

TEST(PartialEmlx, AttachmentsLieBesideTheMessagesFolder) {
    testing::TempDir dir;
    const auto mailbox = dir.path() / "Posteingang.mbox" / "Data";
    const auto messageFile = mailbox / "Messages" / "4711.partial.emlx";
    // The file keeps the text and the attachment's headers; the attachment's bytes are elsewhere.
    const std::string message =
        "From: Carla <carla@example.org>\nSubject: Scan\nContent-Type: multipart/mixed; boundary=p\n\n"
        "--p\nContent-Type: text/plain; charset=utf-8\n\nDer Scan im Anhang.\n"
        "--p\nContent-Type: application/pdf; name=\"Rechnung M\u00E4rz.pdf\"\n"
        "Content-Disposition: attachment; filename=\"Rechnung M\u00E4rz.pdf\"\nContent-Transfer-Encoding: base64\n\n\n--p--\n";
    testing::writeFile(messageFile, emlx(message, kPlist));
    testing::writeFile(mailbox / "Attachments" / "4711" / "2" / "Rechnung M\u00E4rz.pdf", "%PDF-1.7");
    testing::writeFile(mailbox / "Attachments" / "4711" / "3" / "scan.png", "\x89PNG");
    testing::writeFile(mailbox / "Attachments" / "47110" / "2" / "other.pdf", "%PDF");
    testing::writeFile(dir.path() / "outside.txt", "not the message's");
    std::filesystem::create_directory_symlink(dir.path(), mailbox / "Attachments" / "4711" / "loop");
    std::filesystem::create_symlink(dir.path() / "outside.txt", mailbox / "Attachments" / "4711" / "3" / "link.txt");

    EXPECT_TRUE(isPartialEmlx(messageFile));
    EXPECT_FALSE(isPartialEmlx(mailbox / "Messages" / "4711.emlx"));
    EXPECT_EQ(emlxRowid(messageFile), 4711);
    EXPECT_EQ(emlxRowid(mailbox / "Messages" / "4711.emlx"), 4711);
    EXPECT_EQ(emlxRowid(mailbox / "Messages" / "x1.emlx"), std::nullopt);
    EXPECT_EQ(externalAttachmentFiles(messageFile),
              (std::vector<std::filesystem::path>{mailbox / "Attachments" / "4711" / "2" / "Rechnung M\u00E4rz.pdf",
                                                  mailbox / "Attachments" / "4711" / "3" / "scan.png"}));
    EXPECT_TRUE(externalAttachmentFiles(mailbox / "Messages" / "99.partial.emlx").empty());

    const ParsedEmlx parsed = parsedOrFail(testing::readFile(messageFile));
    EXPECT_EQ(messageBodyText(parsed), "Der Scan im Anhang.");
    const auto parts = extractParts(parsed);
    ASSERT_EQ(parts.size(), 2u);
    EXPECT_EQ(parts[1].info.filename, "Rechnung M\u00E4rz.pdf");
    EXPECT_EQ(parts[1].info.decodedByteCount, 0);
}

}  // namespace
}  // namespace lumidex::mail

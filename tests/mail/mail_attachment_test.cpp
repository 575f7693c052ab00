#include "mail/mail_attachment_ocr.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <string>
#include <vector>

#include "mail/mail_attachment_text.h"
#include "mail/mail_indexer.h"
#include "mail/mail_text.h"
#include "platform/bitmap.h"
#include "platform/media_fixtures.h"
#include "platform/pdf_document.h"
#include "support/temp_home.h"

namespace lumidex::mail {
namespace {

namespace fs = std::filesystem;

// Pages with given embedded text; rendering gives a blank page of the requested size.
class FakePdf : public platform::PdfDocument {
public:
    explicit FakePdf(std::vector<std::string> pages, bool locked = false) : pages_(std::move(pages)), locked_(locked) {}
    bool isLocked() const override { return locked_; }
    bool isEncrypted() const override { return locked_; }
    bool unlock(const std::string&) override { return !locked_; }
    int pageCount() const override { return locked_ ? 0 : static_cast<int>(pages_.size()); }
    std::optional<platform::PdfPageSize> mediaBox(int) const override { return platform::PdfPageSize{612, 792}; }
    std::string pageText(int page) const override { return pages_.at(static_cast<size_t>(page)); }
    std::size_t pageGlyphCount(int page) const override { return pages_.at(static_cast<size_t>(page)).size(); }
    platform::PdfPageDrawing pageDrawing(int) const override { return {}; }
    std::optional<platform::Bitmap> renderRegion(int, platform::PdfRegion, double, platform::PdfRenderColor) const override {
        return std::nullopt;
    }
    std::optional<platform::Bitmap> renderPage(int, int width, int height, platform::PdfRenderColor) const override {
        return platform::Bitmap::gray(width, height);
    }

private:
    std::vector<std::string> pages_;
    bool locked_;
};

PageRecognizer answering(std::string text, std::atomic<int>* calls = nullptr) {
    return [text = std::move(text), calls](const platform::Bitmap& bitmap) -> std::optional<std::string> {
        if (calls != nullptr) ++*calls;
        if (!bitmap.isValid()) return std::nullopt;
        return text;
    };
}

std::string base64(const std::string& bytes) {
    static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    size_t i = 0;
    for (; i + 2 < bytes.size(); i += 3) {
        const unsigned n = (static_cast<unsigned char>(bytes[i]) << 16) | (static_cast<unsigned char>(bytes[i + 1]) << 8) |
                           static_cast<unsigned char>(bytes[i + 2]);
        for (int s = 18; s >= 0; s -= 6) out += kAlphabet[(n >> s) & 63];
        if ((i / 3 + 1) % 19 == 0) out += '\n';
    }
    if (i < bytes.size()) {
        unsigned n = static_cast<unsigned char>(bytes[i]) << 16;
        if (i + 1 < bytes.size()) n |= static_cast<unsigned char>(bytes[i + 1]) << 8;
        out += kAlphabet[(n >> 18) & 63];
        out += kAlphabet[(n >> 12) & 63];
        out += i + 1 < bytes.size() ? kAlphabet[(n >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

struct Attachment {
    std::string contentType;
    std::string name;
    std::string bytes;
};

std::string messageWith(const std::string& body, const std::vector<Attachment>& attachments) {
    std::string out = "From: a@example.org\nSubject: parts\nMIME-Version: 1.0\n"
                      "Content-Type: multipart/mixed; boundary=\"b\"\n\n--b\nContent-Type: text/plain; charset=utf-8\n\n" +
                      body + "\n";
    for (const Attachment& a : attachments) {
        out += "--b\nContent-Type: " + a.contentType + "\nContent-Disposition: attachment; filename=\"" + a.name +
               "\"\nContent-Transfer-Encoding: base64\n\n" + base64(a.bytes) + "\n";
    }
    return out + "--b--\n";
}

std::string joined(const ExtractedContent& content) {
    std::string out = content.plainText;
    for (const std::string& text : content.attachmentTexts) out += "\n" + text;
    return out;
}

TEST(MailAttachmentOcr, PagesBelowFortyCharactersAreRecognisedWhenTheFallbackIsOn) {
    const std::string thirtyNine(39, 'x');
    const std::string forty = std::string(38, 'y') + "\xC3\xA4\xC3\xB6";  // 40 characters, 42 bytes
    const FakePdf pdf({thirtyNine, "  " + forty + "\n", ""});
    std::atomic<int> calls = 0;

    const auto on = MailAttachmentOcr(answering("scanned words", &calls)).extract(pdf, true);
    const auto& result = std::get<MailAttachmentOcrResult>(on);
    EXPECT_EQ(result.pageCount, 3);
    EXPECT_EQ(result.ocrFallbackPages, 2);  // the 39-character page and the empty one
    EXPECT_EQ(calls.load(), 2);
    EXPECT_EQ(result.nativeTextLength, 40);
    EXPECT_EQ(result.combinedText, "[page 1 ocr]\nscanned words\n\n[page 2 native]\n" + forty + "\n\n[page 3 ocr]\nscanned words");

    // Without the fallback a short page keeps what it has; an empty page adds nothing.
    const auto off = std::get<MailAttachmentOcrResult>(MailAttachmentOcr(answering("never")).extract(pdf, false));
    EXPECT_EQ(off.ocrFallbackPages, 0);
    EXPECT_EQ(off.combinedText, "[page 1 native]\n" + thirtyNine + "\n\n[page 2 native]\n" + forty);
    EXPECT_EQ(off.nativeTextLength, 79);

    // Recognition that finds nothing leaves the page's own short text.
    const auto blank = std::get<MailAttachmentOcrResult>(MailAttachmentOcr(answering(" \n")).extract(FakePdf({thirtyNine}), true));
    EXPECT_EQ(blank.combinedText, "[page 1 native]\n" + thirtyNine);

    EXPECT_EQ(std::get<MailAttachmentOcrError>(MailAttachmentOcr(answering("x")).extract(FakePdf({forty}, true), true)),
              MailAttachmentOcrError::invalidPdf);
    // A deadline already passed reads no page and says so.
    const auto late = std::get<MailAttachmentOcrResult>(
        MailAttachmentOcr(answering("x"), MailAttachmentOcr::Clock::now()).extract(FakePdf({forty}), true));
    EXPECT_TRUE(late.timedOut);
    EXPECT_EQ(late.combinedText, "");
}

TEST(MailAttachmentText, PdfImageAndTextAttachmentsBecomeMessageText) {
    using lumidex::testing::PdfPageFixture;
    using lumidex::testing::PdfTextLine;
    PdfPageFixture text;
    text.lines.push_back(PdfTextLine{72, 700, 12, "Quarterly invoice zebracrossing for the northern region office"});
    const PdfPageFixture scanned;  // no text: recognised
    const std::string pdf = lumidex::testing::makePdf({text, scanned});
    const auto png = platform::encodePng(platform::Bitmap::gray(300, 200, 0));
    ASSERT_TRUE(png);

    std::atomic<int> calls = 0;
    InProcessAttachmentDecoder decoder(answering("recognised kangaroo", &calls));
    MessageExtraction extraction;
    extraction.decoder = &decoder;
    const std::string latin1Csv = "name;city\nM\xFCller;K\xF6ln\n";
    const ExtractedContent content =
        extractMessage(messageWith("the body", {{"application/pdf", "invoice.pdf", pdf},
                                                {"image/png", "photo.png", *png},
                                                {"text/csv; charset=iso-8859-1", "list.csv", latin1Csv},
                                                {"text/html", "page.html", "<p>Hello</p><script>x()</script>&amp; bye"},
                                                {"application/zip", "archive.zip", std::string(4096, '\0')},
                                                {"application/pdf", "broken.pdf", "%PDF-1.4 not really"}}),
                       extraction);
    const std::string all = joined(content);
    EXPECT_NE(all.find("invoice.pdf\n[page 1 native]\nQuarterly invoice zebracrossing"), std::string::npos) << all;
    EXPECT_NE(all.find("[page 2 ocr]\nrecognised kangaroo"), std::string::npos) << all;
    EXPECT_NE(all.find("photo.png\nrecognised kangaroo"), std::string::npos) << all;
    EXPECT_EQ(calls.load(), 2);
    EXPECT_NE(all.find("M\xC3\xBCller;K\xC3\xB6ln"), std::string::npos) << all;
    EXPECT_NE(all.find("Hello\n& bye"), std::string::npos) << all;
    EXPECT_EQ(all.find("x()"), std::string::npos);
    EXPECT_NE(all.find("archive.zip"), std::string::npos);  // never unpacked, found by its name
    EXPECT_EQ(content.attachmentsRead, 5);
    ASSERT_EQ(content.attachmentFailures.size(), 1u);
    EXPECT_EQ(content.attachmentFailures[0], "broken.pdf: Konnte PDF nicht oeffnen");
    EXPECT_NE(all.find("broken.pdf"), std::string::npos);

    // Without a decoder PDFs and images are found by their names only.
    const ExtractedContent names = extractMessage(messageWith("b", {{"application/pdf", "invoice.pdf", pdf}}));
    EXPECT_EQ(names.attachmentTexts, std::vector<std::string>{"invoice.pdf"});
    EXPECT_TRUE(names.attachmentFailures.empty());
}

TEST(MailAttachmentText, AttachmentsBeyondTheLimitsFailAloneAndTheRestIsIndexed) {
    InProcessAttachmentDecoder decoder(answering("never"));
    MessageExtraction extraction;
    extraction.decoder = &decoder;
    extraction.limits.maxAttachmentBytes = 64 << 10;
    extraction.limits.maxAttachments = 3;
    const std::string big(100 << 10, 'a');
    const std::string bytes = messageWith("body marker", {{"text/plain", "huge.log", big},
                                                           {"text/plain", "one.txt", "first small"},
                                                           {"text/plain", "two.txt", "second small"},
                                                           {"text/plain", "three.txt", "third small"}});
    const ExtractedContent content = extractMessage(bytes, extraction);
    const std::string all = joined(content);
    EXPECT_NE(all.find("body marker"), std::string::npos);
    EXPECT_NE(all.find("one.txt\nfirst small"), std::string::npos) << all;
    EXPECT_NE(all.find("two.txt\nsecond small"), std::string::npos) << all;
    EXPECT_EQ(all.find("third small"), std::string::npos);  // the fourth attachment is one too many
    EXPECT_EQ(all.find("aaaa"), std::string::npos);
    ASSERT_EQ(content.attachmentFailures.size(), 2u);
    EXPECT_TRUE(content.attachmentFailures[0].starts_with("huge.log: too large")) << content.attachmentFailures[0];
    EXPECT_TRUE(content.attachmentFailures[1].starts_with("three.txt: more than 3")) << content.attachmentFailures[1];

    // A message cut while read: the attachment the cut runs through fails, what came before is kept.
    MessageExtraction cut;
    cut.cut = true;
    const std::string whole = messageWith("body before", {{"text/plain", "early.txt", "early words"},
                                                          {"text/plain", "late.txt", std::string(5000, 'z')}});
    const ExtractedContent partial = extractMessage(whole.substr(0, whole.size() - 2000), cut);
    const std::string kept = joined(partial);
    EXPECT_NE(kept.find("early.txt\nearly words"), std::string::npos);
    EXPECT_EQ(kept.find("zzz"), std::string::npos);
    ASSERT_EQ(partial.attachmentFailures.size(), 1u);
    EXPECT_TRUE(partial.attachmentFailures[0].starts_with("late.txt: cut")) << partial.attachmentFailures[0];
}

TEST(MailAttachmentText, AMessageLargerThanTheReadLimitIsIndexedUpToTheCut) {
    lumidex::testing::TempDir dir;
    MailFtsSqlite fts{dir.path() / "MailIndex/mail_fts_v9.sqlite", [](std::string_view) {}};
    LocalMailIndexer indexer(fts);
    indexer.extraction.limits.maxMessageBytes = 8192;
    // The first message runs far past the limit in its last attachment; the next one is whole.
    const std::string big = messageWith("alphaword body", {{"text/plain", "notes.txt", "betaword notes"},
                                                           {"text/plain", "dump.txt", std::string(40000, 'q')}});
    const std::string small = messageWith("gammaword body", {});
    const fs::path mbox = dir.path() / "Inbox";
    lumidex::testing::writeFile(mbox, "From a@example.org Mon Jan  1 10:00:00 2024\n" + big +
                                          "\nFrom b@example.org Mon Jan  1 10:00:00 2024\n" + small + "\n");
    const MailIndexReport report = indexer.runStore({MailStoreKind::mbox, mbox});
    EXPECT_TRUE(report.ok());
    EXPECT_EQ(report.messagesWritten, 2);
    EXPECT_EQ(report.attachmentsFailed, 1);
    for (const char* word : {"alphaword", "betaword", "gammaword", "dump"}) EXPECT_EQ(fts.search(word, 5, false).size(), 1u) << word;
    EXPECT_TRUE(fts.search("qqqqqqqq", 5, false).empty());
}

}  // namespace
}  // namespace lumidex::mail

// Reading the text of office documents from their XML, and the look taken before conversion.
#include <gtest/gtest.h>

#include "cloud/office_text.h"
#include "support/office_fixtures.h"
#include "support/temp_home.h"

namespace lumidex::cloud {
namespace {

using namespace lumidex::testing;

class OfficeTextTest : public ::testing::Test {
protected:
    std::filesystem::path write(const std::string& name, const std::string& bytes) {
        writeFile(dir / name, bytes);
        return dir / name;
    }
    TempDir dir;
};

TEST(XmlTextTest, JoinsRunsSeparatesBlocksDecodesEntitiesAndLeavesOutInstructions) {
    // A word split over two runs stays one word; paragraphs, cells and tabs separate words.
    EXPECT_EQ(xmlText("<w:p><w:r><w:t>Kalen</w:t></w:r><w:r><w:t>der</w:t></w:r></w:p><w:p><w:r><w:t>zwei</w:t>"
                      "<w:tab/><w:t>drei</w:t></w:r></w:p>"),
              "Kalender\nzwei drei\n");
    EXPECT_EQ(xmlText("<text:p>M&#228;rz &amp; April &#x20AC;<text:s/>5 &lt;ok&gt;</text:p>"), "März & April € 5 <ok>\n");
    // Field instructions and formulas are not text; shared-string numbers are not the cell's text.
    EXPECT_EQ(xmlText("<w:p><w:r><w:instrText>HYPERLINK \"x\"</w:instrText></w:r><w:r><w:t>Link</w:t></w:r></w:p>"), "Link\n");
    EXPECT_EQ(xmlText("<row><c r=\"A1\" t=\"s\"><v>7</v></c><c r=\"B1\"><f>1+1</f><v>2</v></c></row>"), "2\n");
    EXPECT_EQ(xmlText("<a:p attr='x>y'><!-- note --><![CDATA[raw <b>]]></a:p>"), "raw <b>\n");
}

TEST_F(OfficeTextTest, ReadsWhatThePdfLeavesOut) {
    const auto word = write("brief.docx", docx("<w:p><w:r><w:t>Sicht</w:t></w:r><w:r><w:t>bar</w:t></w:r></w:p>",
                                                "Randbemerkung"));
    const OfficeText wordText = readOfficeText(word);
    ASSERT_TRUE(wordText.ok()) << wordText.error;
    EXPECT_EQ(wordText.text, "Sichtbar\nRandbemerkung");

    const OfficeText sheet = readOfficeText(write("tabelle.xlsx", xlsx("Vorderseite", "Geheimzahl")));
    ASSERT_TRUE(sheet.ok()) << sheet.error;
    EXPECT_NE(sheet.text.find("Geheimzahl"), std::string::npos);  // the hidden sheet's shared string
    EXPECT_NE(sheet.text.find("Vorderseite 42"), std::string::npos);  // formula result, not formula

    const OfficeText slides = readOfficeText(write("vortrag.odp", odp("Folientitel", "Sprechernotiz")));
    ASSERT_TRUE(slides.ok()) << slides.error;
    EXPECT_EQ(slides.text, "Folientitel\nSprechernotiz");

    // PowerPoint: slides in their order (2 before 10), then the notes.
    const std::string a = "xmlns:a=\"" + ooxml + "/drawingml/2006/main\"";
    const auto slide = [&](const std::string& text) { return "<p:sld " + a + "><a:p><a:r><a:t>" + text + "</a:t></a:r></a:p></p:sld>"; };
    const OfficeText deck = readOfficeText(write("deck.pptx", zipArchive({{"ppt/presentation.xml", "<p:presentation/>"},
                                                                          {"ppt/slides/slide10.xml", slide("zehn")},
                                                                          {"ppt/slides/slide2.xml", slide("zwei")},
                                                                          {"ppt/notesSlides/notesSlide1.xml", slide("Notiz")}})));
    EXPECT_EQ(deck.text, "zwei\nzehn\nNotiz");
}

TEST_F(OfficeTextTest, DamagedHostileAndLockedFilesAreReportedNotRead) {
    const std::string whole = xlsx("Kopf", "Fuss");
    const auto truncated = write("kaputt.xlsx", whole.substr(0, whole.size() / 2));
    EXPECT_FALSE(readOfficeText(truncated).ok());
    EXPECT_EQ(checkBeforeConversion(truncated).admission, Admission::refused);

    // 64 MiB of one letter deflate to about 64 KiB: a small bomb against a small limit.
    const auto bomb = write("bombe.odt", zipArchive({{"content.xml", "<text:p>" + std::string(64u << 20, 'a'), true}}));
    OfficeTextLimits limits;
    limits.maxPartBytes = 1u << 20;
    const OfficeText exploded = readOfficeText(bomb, limits);
    EXPECT_NE(exploded.error.find("inflates to more than"), std::string::npos) << exploded.error;
    // Sizes declared beyond any real document are refused before the converter sees them.
    const auto declared = write("gross.odt", zipArchive({{"content.xml", "<text:p/>", false, 0xF0000000u},
                                                          {"styles.xml", "<x/>", false, 0xF0000000u}}));
    EXPECT_EQ(checkBeforeConversion(declared).admission, Admission::refused);
    EXPECT_FALSE(readOfficeText(declared).ok());  // the real size does not match the declared one
    const auto packed = write("dicht.odt", zipArchive({{"content.xml", "<text:p/>", false, 300u << 20}}));
    EXPECT_EQ(checkBeforeConversion(packed).admission, Admission::refused);

    EXPECT_EQ(checkBeforeConversion(write("geheim.docx", encryptedOoxml())).admission, Admission::locked);
    const auto lockedOdf = write("geheim.odt", zipArchive({{"META-INF/manifest.xml",
                                                            "<manifest:file-entry><manifest:encryption-data/></manifest:file-entry>"},
                                                           {"content.xml", "binary"}}));
    EXPECT_EQ(checkBeforeConversion(lockedOdf).admission, Admission::locked);
    EXPECT_EQ(checkBeforeConversion(dir / "gone.docx").admission, Admission::refused);
    EXPECT_EQ(checkBeforeConversion(write("ok.xlsx", whole)).admission, Admission::convert);
}

}  // namespace
}  // namespace lumidex::cloud

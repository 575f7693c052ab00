#include "processing/text/rtf_reader.h"

#include <gtest/gtest.h>

#include <string>

namespace lumidex::processing {
namespace {

// As the macOS text editor saves a short letter: Helvetica, \'hh umlauts in cp1252, \uc0\u for the
// rest, backslash-newline paragraphs, an expanded colour table and a hyperlink field.
const std::string kTextEditLetter = R"({\rtf1\ansi\ansicpg1252\cocoartf2761
\cocoatextscaling0\cocoaplatform0{\fonttbl\f0\fswiss\fcharset0 Helvetica;\f1\fnil\fcharset0 HelveticaNeue-Bold;}
{\colortbl;\red255\green255\blue255;\red0\green0\blue233;}
{\*\expandedcolortbl;;\cssrgb\c0\c0\c93333;}
\paperw11900\paperh16840\margl1440\margr1440\vieww11520\viewh8400\viewkind0
\pard\tx566\tx1133\tx1700\tx2267\tx2834\tx3401\tx3968\tx4535\tx5102\tx5669\tx6236\tx6803\pardirnatural\partightenfactor0

\f0\fs24 \cf0 Sehr geehrte Damen und Herren,\
\
anbei die Rechnung f\'fcr M\'e4rz. Gr\'fc\'dfe aus K\'f6ln \'96 bis bald.\
Preis: 12 \uc0\u8364  netto\
{\field{\*\fldinst{HYPERLINK "https://example.org/rechnung"}}{\fldrslt \cf2 \ul \ulc2 Rechnung online}}\
\

\f1\b \cf0 Emoji \uc0\u55357 \u56832  Ende}
)";

// As a word processor exports a page with a header, a two-column table, a link, a footnote and an
// embedded picture: \u with one \'hh fallback each, fonts in their own groups, a page style table.
const std::string kWriterExport = R"({\rtf1\ansi\deff4\adeflang1025
{\fonttbl{\f0\froman\fprq2\fcharset0 Times New Roman;}{\f1\froman\fprq2\fcharset2 Symbol;}{\f2\fswiss\fprq2\fcharset0 Arial;}{\f3\froman\fprq2\fcharset0 Liberation Serif{\*\falt Times New Roman};}{\f4\fswiss\fprq2\fcharset0 Liberation Sans{\*\falt Arial};}}
{\colortbl;\red0\green0\blue0;\red0\green0\blue128;}
{\stylesheet{\s0\snext0\dbch\af5\langfe2052\dbch\af6\afs24\alang1081\loch\f3\hich\af3\fs24\lang1031 Normal;}
{\*\cs15\snext15\cf2\ul\ulc0\langfe255\alang255\lang255 Internet Link;}
}{\*\generator LibreOffice/7.4.7.2$Linux_X86_64 LibreOffice_project/40$Build-2}{\info{\author Erika Mustermann}{\creatim\yr2024\mo3\dy5\hr10\min2}{\revtim\yr2024\mo3\dy5\hr10\min4}}{\*\userprops}\deftab709
\hyphauto1\viewscale100
{\*\pgdsctbl
{\pgdsc0\pgdscuse451\pgwsxn11906\pghsxn16838\marglsxn1134\margrsxn1134\margtsxn1134\margbsxn1134\pgdscnxt0 Default Page Style;}}
\formshade{\*\pgdscno0}\paperh16838\paperw11906\margl1134\margr1134\margt1134\margb1134\sectd\sbknone\sectunlocked1\pgwsxn11906\pghsxn16838
{\*\ftnsep\chftnsep}\pgndec{\header\pard\plain \s19\loch\f3\fs24{\rtlch \ltrch\loch Kopfzeile Firma}\par}
\pard\plain \s0\dbch\af5\langfe2052\dbch\af6\afs24\alang1081\loch\f3\hich\af3\fs24\lang1031{\rtlch \ltrch\loch Stra\u223\'df\u101\'65 und \u246\'f6l f\u252\'fcr den Stand}
\par \pard\plain \s0\loch\f3\fs24{\rtlch \ltrch\loch Siehe }{\field{\*\fldinst HYPERLINK "https://www.example.com/" }{\fldrslt {\cf2\ul\ulc0\langfe255\alang255\lang255{\rtlch \ltrch\loch Beispielseite}}}}{\rtlch \ltrch\loch .}{\super\chftn}{\*\footnote\chftn\pard\plain \s24\loch\f3\fs20{\rtlch \ltrch\loch Fu\u223\'dfnote}}
\par \trowd\trql\trleft0\ltrrow\trpaddft3\trpaddt55\trpaddfl3\trpaddl55\clbrdrl\brdrs\brdrw10\brdrcf1\cellx4819\clbrdrl\brdrs\brdrw10\brdrcf1\cellx9638
\pard\plain \s20\intbl\loch\f3\fs24{\rtlch \ltrch\loch Artikel}\cell\pard\plain \s20\intbl\loch\f3\fs24{\rtlch \ltrch\loch Preis}\cell\row\pard
\trowd\trql\trleft0\ltrrow\cellx4819\cellx9638
\pard\plain \s20\intbl\loch\f3\fs24{\rtlch \ltrch\loch Kaffee}\cell\pard\plain \s20\intbl\loch\f3\fs24{\rtlch \ltrch\loch 4,50 \u8364\'80}\cell\row\pard
\pard\plain \s0\loch\f3\fs24{\*\shppict{\pict\picscalex100\picscaley100\piccropl0\picw100\pich100\pngblip
89504e470d0a1a0a0000000d4948445200000001000000010802000000907753de}}{\rtlch \ltrch\loch Ende}
\par })";

TEST(RtfReader, ReadsTextEditDocument) {
    const RtfText result = readRtf(kTextEditLetter);
    ASSERT_TRUE(result.ok()) << result.errorMessage();
    EXPECT_EQ(result.text,
              "Sehr geehrte Damen und Herren,\n\n"
              "anbei die Rechnung f\u00fcr M\u00e4rz. Gr\u00fc\u00dfe aus K\u00f6ln \u2013 bis bald.\n"
              "Preis: 12 \u20ac netto\n"
              "Rechnung online\n\n"
              "Emoji \U0001F600 Ende");
    EXPECT_FALSE(result.unbalancedBraces);
    EXPECT_EQ(result.documentCharset, "windows-1252");
    EXPECT_TRUE(result.warnings.empty());
}

TEST(RtfReader, ReadsWordProcessorExport) {
    const RtfText result = readRtf(kWriterExport);
    ASSERT_TRUE(result.ok()) << result.errorMessage();
    // Header, info, styles, footnote and picture data stay out; fallback bytes after \u are skipped.
    EXPECT_EQ(result.text,
              "Stra\u00dfe und \u00f6l f\u00fcr den Stand\n"
              "Siehe Beispielseite.\n"
              "Artikel\tPreis\n"
              "Kaffee\t4,50 \u20ac\n"
              "Ende\n");
    EXPECT_FALSE(result.unbalancedBraces);
}

TEST(RtfReader, UnicodeFallbackCountsAreScopedToGroups) {
    // \uc2 skips two fallback characters (a \'hh counts as one); the count reverts when the group ends.
    EXPECT_EQ(readRtf(R"({\rtf1{\uc2\u8364\'80\'80X}\u228 a\u246\'f6})").text, "\u20acX\u00e4\u00f6");
    // \uc0: nothing to skip.
    EXPECT_EQ(readRtf(R"({\rtf1\uc0\u8364 EUR})").text, "\u20ac" "EUR");
    // A group end stops the skipping early.
    EXPECT_EQ(readRtf(R"({\rtf1\uc3{\u8364 a}bc})").text, "\u20ac" "bc");
    // Negative values are code units above 32767 (here U+FB01, a ligature).
    EXPECT_EQ(readRtf(R"({\rtf1\u-1279?})").text, "\uFB01");
}

TEST(RtfReader, PairsSurrogatesAndReplacesLoneOnes) {
    EXPECT_EQ(readRtf(R"({\rtf1\u-10179?\u-8704?!})").text, "\U0001F600!");
    EXPECT_EQ(readRtf(R"({\rtf1\u-10179?x})").text, "\uFFFDx");
    EXPECT_EQ(readRtf(R"({\rtf1 a\u-8704?b})").text, "a\uFFFDb");
    EXPECT_EQ(readRtf(R"({\rtf1\u-10179?})").text, "\uFFFD");
}

TEST(RtfReader, DecodesBytesInTheCodePageInForce) {
    EXPECT_EQ(readRtf(R"({\rtf1\ansi\ansicpg1251 \'cf\'f0\'e8\'e2\'e5\'f2})").text,
              "\u041f\u0440\u0438\u0432\u0435\u0442");
    EXPECT_EQ(readRtf(R"({\rtf1\mac \'8aquivalent})").text, "\u00e4quivalent");
    // A font's \fcharset 128 selects Shift-JIS, double-byte characters included (a trail byte may be
    // a plain ASCII letter); the default font keeps the document code page.
    const std::string japanese =
        R"({\rtf1\ansi\ansicpg1252\deff0{\fonttbl{\f0\fswiss\fcharset0 Arial;}{\f1\fnil\fcharset128 MS Mincho;}})"
        R"(\f0 M\'e4rz {\f1 \'93\'fa\'96\'7b\'83A} \'e4})";
    EXPECT_EQ(readRtf(japanese).text, "M\u00e4rz \u65e5\u672c\u30a2 \u00e4");
    // \cpg wins over \fcharset.
    EXPECT_EQ(readRtf(R"({\rtf1{\fonttbl\f2\fcharset0\cpg1253 Greek;}\f2 \'e1})").text, "\u03b1");
}

TEST(RtfReader, UnknownCodePageFallsBackToWindows1252WithWarning) {
    const RtfText result = readRtf(R"({\rtf1\ansi\ansicpg99999 Gr\'fc\'dfe})");
    ASSERT_TRUE(result.ok());
    EXPECT_EQ(result.text, "Gr\u00fc\u00dfe");
    ASSERT_EQ(result.warnings.size(), 1u);
    EXPECT_NE(result.warnings[0].find("99999"), std::string::npos);
}

TEST(RtfReader, SkipsDestinationsHiddenTextAndBinaryData) {
    EXPECT_EQ(readRtf(R"({\rtf1 a{\*\unknowndest {nested} text}b{\pict\wmetafile8 0102{\*\blipuid 00}}c})").text, "abc");
    // \bin data may contain braces and backslashes: it must be skipped by length.
    const std::string binary = "{\\rtf1 x{\\pict\\bin6 }{\\\\}{}y}";
    EXPECT_EQ(readRtf(binary).text, "xy");
    EXPECT_EQ(readRtf(R"({\rtf1 sichtbar {\v versteckt}\v auch\v0  wieder})").text, "sichtbar  wieder");
    EXPECT_EQ(readRtf(R"({\rtf1 a\plain\v b\plain c})").text, "ac");
    EXPECT_EQ(readRtf(R"({\rtf1{\info{\title Titel}{\author Autor}}{\colortbl;\red1;}Text})").text, "Text");
}

TEST(RtfReader, ControlSymbolsAndSpecialCharacters) {
    EXPECT_EQ(readRtf(R"({\rtf1 a\~b\_c\-d\\e\{f\}g\tab h\line i\emdash\endash\bullet\lquote\rquote\ldblquote\rdblquote})").text,
              "a\u00a0b\u2011cd\\e{f}g\th\ni\u2014\u2013\u2022\u2018\u2019\u201c\u201d");
    // Literal line breaks are formatting, not text; control words end at a space that is swallowed.
    EXPECT_EQ(readRtf("{\\rtf1 one\r\ntwo\\par  three}").text, "onetwo\n three");
}

TEST(RtfReader, RejectsWhatIsNotRtf) {
    EXPECT_EQ(readRtf("Hello, plain text").status, RtfText::Status::notRtf);
    EXPECT_EQ(readRtf("").status, RtfText::Status::notRtf);
    EXPECT_EQ(readRtf("{\\rtx1 x}").status, RtfText::Status::notRtf);
    EXPECT_FALSE(readRtf("x").errorMessage().empty());
    EXPECT_TRUE(readRtf("\xEF\xBB\xBF  \n{\\rtf1 ok}").ok());
    EXPECT_TRUE(looksLikeRtf("\n{\\rtf1"));
    EXPECT_FALSE(looksLikeRtf("{\\rt"));
}

TEST(RtfReader, TruncatedAndUnbalancedInputKeepsTextReadSoFar) {
    const std::string truncated = kTextEditLetter.substr(0, kTextEditLetter.find("Preis"));
    RtfText result = readRtf(truncated);
    EXPECT_TRUE(result.ok());
    EXPECT_TRUE(result.unbalancedBraces);
    EXPECT_EQ(result.text.rfind("Sehr geehrte", 0), 0u);
    EXPECT_NE(result.text.find("K\u00f6ln"), std::string::npos);

    result = readRtf(R"({\rtf1 a}} trailing})");
    EXPECT_EQ(result.text, "a");
    EXPECT_TRUE(result.unbalancedBraces);

    // Cut inside escapes and control words.
    for (const char* cut : {"{\\rtf1 x\\", "{\\rtf1 x\\'", "{\\rtf1 x\\'e", "{\\rtf1 x\\u-", "{\\rtf1 x\\bin99999999",
                            "{\\rtf1 x\\par12345678901234567890", "{\\rtf1 x{\\*"}) {
        result = readRtf(cut);
        EXPECT_TRUE(result.ok()) << cut;
        EXPECT_EQ(result.text.substr(0, 1), "x") << cut;
    }
}

TEST(RtfReader, DeepNestingIsBoundedNotRecursive) {
    std::string deep = "{\\rtf1 start";
    deep.append(200000, '{');
    deep += "inner";
    deep.append(200000, '}');
    deep += "}";
    const RtfText result = readRtf(deep);
    EXPECT_EQ(result.status, RtfText::Status::nestedTooDeep);
    EXPECT_EQ(result.text, "start");
    EXPECT_FALSE(result.errorMessage().empty());

    std::string fine = "{\\rtf1 ";
    fine.append(100, '{');
    fine += "tief";
    fine.append(100, '}');
    fine += "}";
    EXPECT_EQ(readRtf(fine).text, "tief");
    EXPECT_EQ(readRtf(fine, RtfReadOptions{50}).status, RtfText::Status::nestedTooDeep);
}

TEST(RtfReader, OutputIsValidUtf8ForArbitraryBytes) {
    std::string noise = "{\\rtf1\\ansi\\ansicpg932 ";
    for (int i = 0; i < 4096; ++i) noise += static_cast<char>((i * 131 + 7) % 256);
    const RtfText result = readRtf(noise);
    const std::string& t = result.text;
    // Every byte sequence must be well-formed: re-encoding the decoded scalars gives the same bytes.
    std::size_t i = 0;
    while (i < t.size()) {
        const auto b = static_cast<unsigned char>(t[i]);
        const std::size_t len = b < 0x80 ? 1 : b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : b >= 0xC2 ? 2 : 0;
        ASSERT_NE(len, 0u) << "at " << i;
        ASSERT_LE(i + len, t.size());
        for (std::size_t k = 1; k < len; ++k) ASSERT_EQ(static_cast<unsigned char>(t[i + k]) & 0xC0, 0x80);
        i += len;
    }
}

}  // namespace
}  // namespace lumidex::processing

// Office documents made at test time: zip archives written here (stored or deflated members, sizes that
// may lie), and the smallest OOXML and OpenDocument files the converter opens, with the parts that a PDF
// leaves out (hidden sheets, comments, speaker notes).
#pragma once

#include <zlib.h>

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace lumidex::testing {

struct ZipMember {
    ZipMember(std::string name_, std::string data_, bool deflate_ = false, std::optional<std::uint32_t> declaredSize_ = {})
        : name(std::move(name_)), data(std::move(data_)), deflate(deflate_), declaredSize(declaredSize_) {}
    std::string name;
    std::string data;
    bool deflate = false;
    std::optional<std::uint32_t> declaredSize;  // written instead of the real size
};

// Little-endian, `bytes` long; bytes past the eighth are zero (a run of zero fields in one call).
inline void putLe(std::string& out, std::uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out += static_cast<char>(i < 8 ? (value >> (8 * i)) & 0xff : 0);
}

inline std::string rawDeflate(const std::string& data) {
    z_stream z{};
    deflateInit2(&z, Z_BEST_COMPRESSION, Z_DEFLATED, -MAX_WBITS, 9, Z_DEFAULT_STRATEGY);
    std::string out(deflateBound(&z, static_cast<uLong>(data.size())), '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    z.avail_in = static_cast<uInt>(data.size());
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

inline std::string zipArchive(const std::vector<ZipMember>& members) {
    std::string out;
    std::string directory;
    for (const ZipMember& m : members) {
        const std::string packed = m.deflate ? rawDeflate(m.data) : m.data;
        const auto crc = crc32(0L, reinterpret_cast<const Bytef*>(m.data.data()), static_cast<uInt>(m.data.size()));
        const std::uint32_t size = m.declaredSize.value_or(static_cast<std::uint32_t>(m.data.size()));
        const std::uint64_t offset = out.size();
        const auto common = [&](std::string& header) {
            putLe(header, 20, 2);                  // version needed
            putLe(header, 0, 2);                   // flags
            putLe(header, m.deflate ? 8 : 0, 2);   // method
            putLe(header, 0, 4);                   // time and date
            putLe(header, crc, 4);
            putLe(header, packed.size(), 4);
            putLe(header, size, 4);
            putLe(header, m.name.size(), 2);
            putLe(header, 0, 2);                   // extra
        };
        putLe(out, 0x04034b50, 4);
        common(out);
        out += m.name;
        out += packed;
        putLe(directory, 0x02014b50, 4);
        putLe(directory, 20, 2);                   // version made by
        common(directory);
        putLe(directory, 0, 2 + 2 + 2 + 4);        // comment, disk, internal and external attributes
        putLe(directory, offset, 4);
        directory += m.name;
    }
    const std::uint64_t directoryOffset = out.size();
    out += directory;
    putLe(out, 0x06054b50, 4);
    putLe(out, 0, 4);                              // disk numbers
    putLe(out, members.size(), 2);
    putLe(out, members.size(), 2);
    putLe(out, directory.size(), 4);
    putLe(out, directoryOffset, 4);
    putLe(out, 0, 2);
    return out;
}

inline const std::string xmlDeclaration = "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>";
inline const std::string ooxml = "http://schemas.openxmlformats.org";
inline const std::string relationshipType = ooxml + "/officeDocument/2006/relationships";

inline std::string contentTypes(const std::vector<std::pair<std::string, std::string>>& overrides) {
    std::string xml = xmlDeclaration + "<Types xmlns=\"" + ooxml + "/package/2006/content-types\">"
                      "<Default Extension=\"rels\" ContentType=\"application/vnd.openxmlformats-package.relationships+xml\"/>"
                      "<Default Extension=\"xml\" ContentType=\"application/xml\"/>";
    for (const auto& [part, kind] : overrides) {
        xml += "<Override PartName=\"/" + part + "\" ContentType=\"application/vnd.openxmlformats-officedocument." + kind + "+xml\"/>";
    }
    return xml + "</Types>";
}

inline std::string relationships(const std::vector<std::pair<std::string, std::string>>& targets) {
    std::string xml = xmlDeclaration + "<Relationships xmlns=\"" + ooxml + "/package/2006/relationships\">";
    int id = 1;
    for (const auto& [target, kind] : targets) {
        xml += "<Relationship Id=\"rId" + std::to_string(id++) + "\" Type=\"" + relationshipType + "/" + kind +
               "\" Target=\"" + target + "\"/>";
    }
    return xml + "</Relationships>";
}

// A Word document: `bodyXml` inside <w:body>, and a comments part holding `comment` when not empty.
inline std::string docx(const std::string& bodyXml, const std::string& comment = {}) {
    const std::string w = "xmlns:w=\"" + ooxml + "/wordprocessingml/2006/main\"";
    std::vector<ZipMember> members = {
        {"[Content_Types].xml", contentTypes({{"word/document.xml", "wordprocessingml.document.main"},
                                              {"word/comments.xml", "wordprocessingml.comments"}})},
        {"_rels/.rels", relationships({{"word/document.xml", "officeDocument"}})},
        {"word/_rels/document.xml.rels", relationships({{"comments.xml", "comments"}})},
        {"word/document.xml", xmlDeclaration + "<w:document " + w + "><w:body>" + bodyXml + "</w:body></w:document>", true},
    };
    if (!comment.empty()) {
        members.push_back({"word/comments.xml", xmlDeclaration + "<w:comments " + w + "><w:comment w:id=\"0\" w:author=\"A\">"
                                                "<w:p><w:r><w:t>" + comment + "</w:t></w:r></w:p></w:comment></w:comments>", true});
    }
    return zipArchive(members);
}

// A workbook of two sheets: `visibleCell` (an inline string) on the first, `hiddenCell` (a shared
// string) on the second, hidden one.
inline std::string xlsx(const std::string& visibleCell, const std::string& hiddenCell) {
    const std::string main = ooxml + "/spreadsheetml/2006/main";
    const auto sheet = [&](const std::string& cell) {
        return xmlDeclaration + "<worksheet xmlns=\"" + main + "\"><sheetData><row r=\"1\">" + cell + "</row></sheetData></worksheet>";
    };
    return zipArchive({
        {"[Content_Types].xml", contentTypes({{"xl/workbook.xml", "spreadsheetml.sheet.main"},
                                              {"xl/worksheets/sheet1.xml", "spreadsheetml.worksheet"},
                                              {"xl/worksheets/sheet2.xml", "spreadsheetml.worksheet"},
                                              {"xl/sharedStrings.xml", "spreadsheetml.sharedStrings"}})},
        {"_rels/.rels", relationships({{"xl/workbook.xml", "officeDocument"}})},
        {"xl/_rels/workbook.xml.rels", relationships({{"worksheets/sheet1.xml", "worksheet"},
                                                      {"worksheets/sheet2.xml", "worksheet"},
                                                      {"sharedStrings.xml", "sharedStrings"}})},
        {"xl/workbook.xml", xmlDeclaration + "<workbook xmlns=\"" + main + "\" xmlns:r=\"" + relationshipType +
                                "\"><sheets><sheet name=\"Sichtbar\" sheetId=\"1\" r:id=\"rId1\"/>"
                                "<sheet name=\"Versteckt\" sheetId=\"2\" state=\"hidden\" r:id=\"rId2\"/></sheets></workbook>"},
        {"xl/sharedStrings.xml", xmlDeclaration + "<sst xmlns=\"" + main + "\" count=\"1\" uniqueCount=\"1\"><si><t>" +
                                     hiddenCell + "</t></si></sst>"},
        {"xl/worksheets/sheet1.xml", sheet("<c r=\"A1\" t=\"inlineStr\"><is><t>" + visibleCell + "</t></is></c>"
                                           "<c r=\"B1\"><f>6*7</f><v>42</v></c>"), true},
        {"xl/worksheets/sheet2.xml", sheet("<c r=\"A1\" t=\"s\"><v>0</v></c>"), true},
    });
}

// An OpenDocument presentation of one slide saying `slideText` whose speaker notes say `notesText`.
inline std::string odp(const std::string& slideText, const std::string& notesText) {
    const std::string ns = "urn:oasis:names:tc:opendocument:xmlns";
    return zipArchive({
        {"mimetype", "application/vnd.oasis.opendocument.presentation"},
        {"META-INF/manifest.xml", xmlDeclaration + "<manifest:manifest xmlns:manifest=\"" + ns + ":manifest:1.0\" "
                                  "manifest:version=\"1.2\"><manifest:file-entry manifest:full-path=\"/\" manifest:media-type="
                                  "\"application/vnd.oasis.opendocument.presentation\"/><manifest:file-entry "
                                  "manifest:full-path=\"content.xml\" manifest:media-type=\"text/xml\"/></manifest:manifest>"},
        {"content.xml", xmlDeclaration + "<office:document-content xmlns:office=\"" + ns + ":office:1.0\" xmlns:text=\"" + ns +
                            ":text:1.0\" xmlns:draw=\"" + ns + ":drawing:1.0\" xmlns:presentation=\"" + ns +
                            ":presentation:1.0\" xmlns:svg=\"urn:oasis:names:tc:opendocument:xmlns:svg-compatible:1.0\" "
                            "office:version=\"1.2\"><office:body><office:presentation><draw:page draw:name=\"p1\">"
                            "<draw:frame svg:x=\"2cm\" svg:y=\"2cm\" svg:width=\"20cm\" svg:height=\"3cm\"><draw:text-box>"
                            "<text:p>" + slideText + "</text:p></draw:text-box></draw:frame><presentation:notes><draw:frame "
                            "svg:x=\"2cm\" svg:y=\"14cm\" svg:width=\"17cm\" svg:height=\"10cm\"><draw:text-box><text:p>" +
                            notesText + "</text:p></draw:text-box></draw:frame></presentation:notes></draw:page>"
                            "</office:presentation></office:body></office:document-content>", true},
    });
}

// What a password-protected Word file looks like from outside: a compound file whose streams hold the
// encrypted package.
inline std::string encryptedOoxml() {
    std::string file("\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1", 8);
    file.resize(1024, '\0');
    for (const char c : std::string("EncryptedPackage")) {
        file += c;
        file += '\0';
    }
    file.resize(4096, '\0');
    return file;
}

}  // namespace lumidex::testing

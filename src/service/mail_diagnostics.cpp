// The mail service's read-only look into the mail client's store below the mail folder: its Envelope
// Index (mailboxes, schema, single rows, subject lookups, enumeration) and its message files.
#include <algorithm>
#include <fstream>
#include <iterator>
#include <map>
#include <system_error>

#include "mail/mail_envelope.h"
#include "mail/mail_message.h"
#include "mail/mail_text.h"
#include "service/mail_service.h"

namespace lumidex::service {
namespace {

constexpr size_t kTreeEntryLimit = 200;
constexpr size_t kRawPreviewBytes = 2000;
constexpr int64_t kFindRowidLimit = 50;
constexpr int64_t kDefaultEnumerateLimit = 10;
constexpr int64_t kMaxEnumerateLimit = 500;
constexpr uintmax_t kDebugExtractMaxBytes = uintmax_t{64} << 20;

std::unique_ptr<mail::EnvelopeIndexReader> openEnvelope(const std::filesystem::path& mailRoot, Refusal& refusal) {
    auto opened = mail::EnvelopeIndexReader::open(mail::EnvelopeIndexReader::pathBelow(mailRoot));
    if (auto* error = std::get_if<mail::EnvelopeIndexError>(&opened)) {
        refusal = {RefusalKind::internal, "Envelope index error: " + error->message()};
        return nullptr;
    }
    return std::move(std::get<std::unique_ptr<mail::EnvelopeIndexReader>>(opened));
}

// The value of a reader call, or the refusal of its error.
template <typename T>
std::optional<T> valueOf(mail::EnvelopeResult<T> result, Refusal& refusal) {
    if (auto* error = std::get_if<mail::EnvelopeIndexError>(&result)) {
        refusal = {RefusalKind::internal, "Envelope index error: " + error->message()};
        return std::nullopt;
    }
    return std::move(std::get<T>(result));
}

MailJson textOrNull(const std::optional<std::string>& text) { return text ? MailJson(*text) : MailJson(nullptr); }

// rowid -> message file below the mail folder; a full file wins over a ".partial.emlx" one. `total`
// counts every message file found.
struct EmlxFiles {
    std::map<int64_t, std::filesystem::path> byRowid;
    int64_t total = 0;
};

EmlxFiles findEmlxFiles(const std::filesystem::path& root) {
    EmlxFiles files;
    std::error_code ec;
    auto it = std::filesystem::recursive_directory_iterator(
        root, std::filesystem::directory_options::skip_permission_denied, ec);
    for (; !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
        if (!it->is_regular_file(ec)) continue;
        const auto rowid = mail::emlxRowid(it->path());
        if (!rowid) continue;
        ++files.total;
        auto [slot, inserted] = files.byRowid.emplace(*rowid, it->path());
        if (!inserted && mail::isPartialEmlx(slot->second) && !mail::isPartialEmlx(it->path())) slot->second = it->path();
    }
    return files;
}

}  // namespace

std::optional<MailJson> MailService::mailboxes(Refusal& refusal) {
    auto reader = openEnvelope(mailRoot(), refusal);
    if (!reader) return std::nullopt;
    auto boxes = valueOf(reader->mailboxes(), refusal);
    if (!boxes) return std::nullopt;
    MailJson items = MailJson::array();
    for (const auto& box : *boxes) {
        MailJson item;
        item["rowid"] = box.rowid;
        item["url"] = textOrNull(box.url);
        item["total_count"] = box.totalCount ? MailJson(*box.totalCount) : MailJson(nullptr);
        items.push_back(std::move(item));
    }
    MailJson r;
    r["count"] = items.size();
    r["items"] = std::move(items);
    return r;
}

std::optional<MailJson> MailService::schema(Refusal& refusal) {
    auto reader = openEnvelope(mailRoot(), refusal);
    if (!reader) return std::nullopt;
    auto tables = valueOf(reader->schema(), refusal);
    if (!tables) return std::nullopt;
    auto first = valueOf(reader->enumerate(0, 1), refusal);
    if (!first) return std::nullopt;
    MailJson tableColumns = MailJson::object();
    for (const auto& table : *tables) tableColumns[table.name] = table.columns;
    MailJson sample = MailJson::object();
    if (!first->empty()) {
        // The first message as the reader sees it, each value as text.
        const nlohmann::json record = first->front();
        for (const auto& [key, value] : record.items()) sample[key] = value.is_string() ? value.get<std::string>() : value.dump();
    }
    MailJson r;
    r["tables"] = std::move(tableColumns);
    r["sample_row"] = std::move(sample);
    return r;
}

std::optional<MailJson> MailService::peek(int64_t rowid, Refusal& refusal) {
    auto reader = openEnvelope(mailRoot(), refusal);
    if (!reader) return std::nullopt;
    auto row = valueOf(reader->peek(rowid), refusal);
    if (!row) return std::nullopt;
    if (!*row) {
        refusal = {RefusalKind::notFound, "No message with rowid " + std::to_string(rowid)};
        return std::nullopt;
    }
    const mail::EnvelopePeekRow& found = **row;
    MailJson columns;
    columns["document_id"] = textOrNull(found.documentId);
    columns["message_id"] = textOrNull(found.messageIdHeader);
    columns["summary"] = found.summaryRowid ? MailJson(*found.summaryRowid) : MailJson(nullptr);
    columns["summary_text"] = textOrNull(found.summaryText);
    columns["subject"] = textOrNull(found.subject);
    columns["sender"] = textOrNull(found.senderAddress);
    MailJson r;
    r["rowid"] = found.rowid;
    r["columns"] = std::move(columns);
    return r;
}

std::optional<MailJson> MailService::tree(const std::string& subpath, Refusal& refusal) {
    const std::filesystem::path root = mailRoot().lexically_normal();
    const std::filesystem::path relative = std::filesystem::path(subpath).relative_path().lexically_normal();
    if (std::filesystem::path(subpath).is_absolute() || (!relative.empty() && *relative.begin() == "..")) {
        refusal = {RefusalKind::badRequest, "subpath must stay inside the mail folder"};
        return std::nullopt;
    }
    const std::filesystem::path folder = relative.empty() || relative == "." ? root : root / relative;
    std::error_code ec;
    // A link inside the mail folder must not lead the listing out of it.
    const auto realRoot = std::filesystem::weakly_canonical(root, ec);
    const auto realFolder = std::filesystem::weakly_canonical(folder, ec);
    const auto inside = realFolder.lexically_relative(realRoot);
    if (!ec && (inside.empty() || *inside.begin() == "..")) {
        refusal = {RefusalKind::badRequest, "subpath must stay inside the mail folder"};
        return std::nullopt;
    }
    if (!std::filesystem::is_directory(folder, ec)) {
        refusal = {RefusalKind::notFound, "No folder at " + folder.string()};
        return std::nullopt;
    }
    std::vector<std::pair<std::string, MailJson>> entries;
    auto it = std::filesystem::directory_iterator(folder, ec);
    for (; !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
        std::error_code entryError;
        const bool isDir = it->is_directory(entryError);
        MailJson entry;
        entry["name"] = it->path().filename().string();
        entry["is_dir"] = isDir;
        const uintmax_t size = isDir ? 0 : it->file_size(entryError);
        entry["size"] = entryError ? 0 : size;
        entries.emplace_back(it->path().filename().string(), std::move(entry));
    }
    if (ec) {
        refusal = {RefusalKind::internal, "The folder " + folder.string() + " could not be read: " + ec.message()};
        return std::nullopt;
    }
    std::sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    MailJson list = MailJson::array();
    for (size_t i = 0; i < entries.size() && i < kTreeEntryLimit; ++i) list.push_back(std::move(entries[i].second));
    MailJson r;
    r["path"] = folder.string();
    r["count"] = entries.size();
    r["truncated"] = entries.size() > kTreeEntryLimit;
    r["entries"] = std::move(list);
    return r;
}

std::optional<MailJson> MailService::findEmlx(int64_t rowid, Refusal&) {
    const EmlxFiles files = findEmlxFiles(mailRoot());
    const auto found = files.byRowid.find(rowid);
    std::error_code ec;
    MailJson r;
    r["rowid"] = rowid;
    r["found"] = found != files.byRowid.end();
    r["path"] = found == files.byRowid.end() ? MailJson(nullptr) : MailJson(found->second.string());
    const uintmax_t size = found == files.byRowid.end() ? 0 : std::filesystem::file_size(found->second, ec);
    r["size"] = found == files.byRowid.end() || ec ? MailJson(nullptr) : MailJson(size);
    r["indexed_total"] = files.total;
    return r;
}

std::optional<MailJson> MailService::debugExtract(int64_t rowid, Refusal& refusal) {
    const EmlxFiles files = findEmlxFiles(mailRoot());
    const auto found = files.byRowid.find(rowid);
    if (found == files.byRowid.end()) {
        refusal = {RefusalKind::notFound, "No message file for rowid " + std::to_string(rowid)};
        return std::nullopt;
    }
    std::error_code ec;
    const uintmax_t size = std::filesystem::file_size(found->second, ec);
    if (ec || size > kDebugExtractMaxBytes) {
        refusal = {RefusalKind::internal, "The message file " + found->second.string() + " could not be read" +
                                              (ec ? ": " + ec.message() : std::string(": it is too large"))};
        return std::nullopt;
    }
    std::ifstream in(found->second, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (!in && !in.eof()) {
        refusal = {RefusalKind::internal, "The message file " + found->second.string() + " could not be read"};
        return std::nullopt;
    }
    auto parsed = mail::parseEmlx(bytes);
    if (auto* error = std::get_if<mail::EmlxParserError>(&parsed)) {
        refusal = {RefusalKind::internal, error->message()};
        return std::nullopt;
    }
    const mail::ParsedEmlx& message = std::get<mail::ParsedEmlx>(parsed);
    MailJson headers = MailJson::object();
    for (const char* name : {"subject", "from", "to", "date", "message-id", "content-type"}) {
        const auto header = message.headers.find(name);
        if (header != message.headers.end()) headers[name] = header->second;
    }
    const std::string raw = message.rawBody.value_or("");
    MailJson r;
    r["rowid"] = rowid;
    r["emlx_path"] = found->second.string();
    r["file_size"] = size;
    r["headers_summary"] = std::move(headers);
    r["raw_body_size"] = message.bodyByteCount;
    r["extracted_body"] = mail::isEncrypted(message) ? std::string(mail::kEncryptedContentMarker)
                                                     : mail::messageBodyText(message).value_or("");
    // Cut where a character starts, so that a UTF-8 body stays UTF-8.
    size_t cut = std::min(raw.size(), kRawPreviewBytes);
    while (cut > 0 && cut < raw.size() && (static_cast<unsigned char>(raw[cut]) & 0xC0) == 0x80) --cut;
    r["raw_body_preview"] = mail::utf8OrLatin1(std::string_view(raw).substr(0, cut));
    return r;
}

std::optional<MailJson> MailService::debugEnumerate(int64_t since, std::optional<int64_t> limit, Refusal& refusal) {
    auto reader = openEnvelope(mailRoot(), refusal);
    if (!reader) return std::nullopt;
    const int64_t wanted = std::clamp<int64_t>(limit.value_or(kDefaultEnumerateLimit), 1, kMaxEnumerateLimit);
    auto records = valueOf(reader->enumerate(since, wanted), refusal);
    if (!records) return std::nullopt;
    MailJson r;
    r["first_rowid"] = records->empty() ? MailJson(nullptr) : MailJson(records->front().rowid);
    r["last_rowid"] = records->empty() ? MailJson(nullptr) : MailJson(records->back().rowid);
    r["first_subject"] = records->empty() ? MailJson(nullptr) : textOrNull(records->front().subject);
    r["last_subject"] = records->empty() ? MailJson(nullptr) : textOrNull(records->back().subject);
    r["requested_limit"] = wanted;
    r["since"] = since;
    r["count"] = records->size();
    return r;
}

std::optional<MailJson> MailService::findRowid(const std::string& subjectLike, Refusal& refusal) {
    if (subjectLike.empty()) {
        refusal = {RefusalKind::badRequest, "Missing subject_like"};
        return std::nullopt;
    }
    auto reader = openEnvelope(mailRoot(), refusal);
    if (!reader) return std::nullopt;
    auto rows = valueOf(reader->findRowids("%" + subjectLike + "%", kFindRowidLimit), refusal);
    if (!rows) return std::nullopt;
    MailJson matches = MailJson::array();
    for (const auto& [rowid, subject] : *rows) {
        MailJson match;
        match["rowid"] = rowid;
        match["subject"] = textOrNull(subject);
        matches.push_back(std::move(match));
    }
    MailJson r;
    r["matches"] = std::move(matches);
    return r;
}

}  // namespace lumidex::service

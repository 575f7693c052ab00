#include "service/mail_draft.h"

#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <system_error>

#include "core/app_log.h"
#include "core/atomic_file.h"
#include "core/data_directory.h"
#include "core/model/json_coding.h"
#include "core/uuid.h"
#include "platform/subprocess.h"

extern char** environ;

namespace lumidex::service {
namespace {

// Files one draft may take from disk, one or all together; beyond that a draft is no way to send it.
constexpr uintmax_t kPathAttachmentLimit = uintmax_t{100} << 20;
// A temporary file younger than this may belong to a draft being written right now.
constexpr auto kLeftoverAge = std::chrono::minutes(10);

std::string_view trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    return text;
}

bool isBlank(const std::optional<std::string>& text) {
    if (!text) return true;
    for (char c : *text) {
        if (c != ' ' && c != '\t' && c != '\r' && c != '\n') return false;
    }
    return true;
}

bool hasLineBreak(std::string_view text) { return text.find_first_of("\r\n") != std::string_view::npos; }

bool isPlainAscii(std::string_view text) {
    for (char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u >= 0x7f) return false;
    }
    return true;
}

// The bare address of "local@domain" or "Name <local@domain>", or "" when there is none.
std::string_view bareAddressOf(std::string_view address) {
    address = trim(address);
    const size_t open = address.find('<');
    if (open == std::string_view::npos) return address;
    if (!address.ends_with('>') || address.find('<', open + 1) != std::string_view::npos) return {};
    return address.substr(open + 1, address.size() - open - 2);
}

std::string_view displayNameOf(std::string_view address) {
    address = trim(address);
    const size_t open = address.find('<');
    if (open == std::string_view::npos) return {};
    std::string_view name = trim(address.substr(0, open));
    if (name.size() >= 2 && name.front() == '"' && name.back() == '"') name = name.substr(1, name.size() - 2);
    return name;
}

constexpr char kBase64Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string base64(std::string_view bytes) {
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    size_t i = 0;
    for (; i + 2 < bytes.size(); i += 3) {
        const uint32_t n = (static_cast<uint32_t>(static_cast<unsigned char>(bytes[i])) << 16) |
                           (static_cast<uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8) |
                           static_cast<unsigned char>(bytes[i + 2]);
        for (int shift : {18, 12, 6, 0}) out += kBase64Alphabet[(n >> shift) & 63];
    }
    if (i < bytes.size()) {
        uint32_t n = static_cast<uint32_t>(static_cast<unsigned char>(bytes[i])) << 16;
        if (i + 1 < bytes.size()) n |= static_cast<uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8;
        out += kBase64Alphabet[(n >> 18) & 63];
        out += kBase64Alphabet[(n >> 12) & 63];
        out += i + 1 < bytes.size() ? kBase64Alphabet[(n >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

// Base64 in lines of 76 characters, as a MIME body.
std::string base64Lines(std::string_view bytes) {
    const std::string encoded = base64(bytes);
    std::string out;
    out.reserve(encoded.size() + encoded.size() / 76 * 2 + 2);
    for (size_t i = 0; i < encoded.size(); i += 76) {
        out.append(encoded, i, 76);
        out += "\r\n";
    }
    return out;
}

// A header text: as it is when it is plain ASCII, else RFC 2047 encoded words of whole characters,
// folded onto continuation lines.
std::string headerText(std::string_view text) {
    if (isPlainAscii(text)) return std::string(text);
    std::string out;
    size_t i = 0;
    while (i < text.size()) {
        size_t end = std::min(text.size(), i + 45);
        while (end < text.size() && end > i && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
        if (end == i) end = std::min(text.size(), i + 45);
        if (!out.empty()) out += "\r\n ";
        out += "=?UTF-8?B?" + base64(text.substr(i, end - i)) + "?=";
        i = end;
    }
    return out;
}

std::string addressField(std::string_view address) {
    const std::string_view bare = bareAddressOf(address);
    const std::string_view name = displayNameOf(address);
    if (name.empty()) return std::string(bare);
    if (!isPlainAscii(name)) return headerText(name) + " <" + std::string(bare) + ">";
    std::string quoted = "\"";
    for (char c : name) {
        if (c == '"' || c == '\\') quoted += '\\';
        quoted += c;
    }
    return quoted + "\" <" + std::string(bare) + ">";
}

std::string addressList(const std::vector<std::string>& addresses) {
    std::string out;
    for (const std::string& address : addresses) {
        if (!out.empty()) out += ",\r\n ";
        out += addressField(address);
    }
    return out;
}

// RFC 2231 parameter value: UTF-8 with every byte outside the attribute characters percent-encoded.
std::string rfc2231Value(std::string_view text) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out = "UTF-8''";
    for (char c : text) {
        const auto u = static_cast<unsigned char>(c);
        const bool plain = (u >= '0' && u <= '9') || (u >= 'A' && u <= 'Z') || (u >= 'a' && u <= 'z') ||
                           std::strchr("!#$&+-.^_`|~", c) != nullptr;
        if (plain && u != 0) {
            out += c;
        } else {
            out += '%';
            out += kHex[u >> 4];
            out += kHex[u & 15];
        }
    }
    return out;
}

std::string nameParameter(const char* parameter, std::string_view name) {
    if (isPlainAscii(name) && name.find_first_of("\"\\") == std::string_view::npos) {
        return std::string(parameter) + "=\"" + std::string(name) + "\"";
    }
    return std::string(parameter) + "*=" + rfc2231Value(name);
}

std::string contentTypeFor(std::string_view name) {
    const size_t dot = name.rfind('.');
    std::string extension = dot == std::string_view::npos ? std::string() : std::string(name.substr(dot + 1));
    for (char& c : extension) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
    static const std::pair<const char*, const char*> kTypes[] = {
        {"pdf", "application/pdf"}, {"txt", "text/plain"},     {"csv", "text/csv"},       {"html", "text/html"},
        {"htm", "text/html"},       {"png", "image/png"},      {"jpg", "image/jpeg"},     {"jpeg", "image/jpeg"},
        {"gif", "image/gif"},       {"zip", "application/zip"}, {"eml", "message/rfc822"}, {"json", "application/json"},
        {"docx", "application/vnd.openxmlformats-officedocument.wordprocessingml.document"},
        {"xlsx", "application/vnd.openxmlformats-officedocument.spreadsheetml.sheet"},
    };
    for (const auto& [ext, type] : kTypes) {
        if (extension == ext) return type;
    }
    return "application/octet-stream";
}

// Text lines end in CR LF on the wire.
std::string crlfText(std::string_view text) {
    std::string out;
    out.reserve(text.size() + text.size() / 40);
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) out += '\r';
        out += text[i];
    }
    return out;
}

std::string rfc5322Date(std::chrono::system_clock::time_point when) {
    const std::time_t t = std::chrono::system_clock::to_time_t(when);
    std::tm tm{};
    gmtime_r(&t, &tm);
    static constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                              "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%s, %02d %s %04d %02d:%02d:%02d +0000", kDays[tm.tm_wday], tm.tm_mday,
                  kMonths[tm.tm_mon], tm.tm_year + 1900, tm.tm_hour, tm.tm_min, tm.tm_sec);
    return buffer;
}

struct Attachment {
    std::string name;
    std::string bytes;
};

std::optional<std::string> filenameProblem(std::string_view name) {
    if (name.empty()) return "must not be empty";
    if (name.find('/') != std::string_view::npos) return "must not contain '/'";
    if (hasLineBreak(name)) return "must not contain line breaks";
    if (name == "." || name == "..") return "'.' and '..' are not file names";
    return std::nullopt;
}

Refusal badRequest(std::string message) { return {RefusalKind::badRequest, std::move(message)}; }

}  // namespace

bool isUsableMailAddress(std::string_view address) {
    if (address.find_first_of("\r\n\t") != std::string_view::npos || address.find('\0') != std::string_view::npos) {
        return false;
    }
    const std::string_view bare = bareAddressOf(address);
    const size_t at = bare.find('@');
    if (at == std::string_view::npos || at == 0 || at + 1 >= bare.size() ||
        bare.find('@', at + 1) != std::string_view::npos) {
        return false;
    }
    for (char c : bare) {
        const auto u = static_cast<unsigned char>(c);
        if (u <= 0x20 || u == 0x7f || std::strchr("<>()[],;:\"\\", c) != nullptr) return false;
    }
    const std::string_view local = bare.substr(0, at);
    const std::string_view domain = bare.substr(at + 1);
    if (local.front() == '.' || local.back() == '.' || local.find("..") != std::string_view::npos) return false;
    if (domain.front() == '.' || domain.back() == '.' || domain.find("..") != std::string_view::npos ||
        domain.front() == '-') {
        return false;
    }
    const std::string_view name = displayNameOf(address);
    return name.find_first_of("<>") == std::string_view::npos;
}

std::optional<std::string> openWithXdgOpen(const std::filesystem::path& file) {
    const auto program = platform::findExecutable("xdg-open");
    if (!program) return std::string("xdg-open was not found");
    // A shell starts the opener in the background and ends at once, so nothing waits for the mail program
    // and no child is left to reap.
    const std::string script = "\"$0\" \"$1\" </dev/null >/dev/null 2>&1 &";
    std::vector<std::string> args = {"/bin/sh", "-c", script, program->string(), file.string()};
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, "/bin/sh", nullptr, nullptr, argv.data(), environ);
    if (spawned != 0) return std::string("could not start /bin/sh: ") + std::strerror(spawned);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return std::string("xdg-open could not be started");
    return std::nullopt;
}

MailDraftComposer::MailDraftComposer(MailDraftOptions options) : options_(std::move(options)) {
    if (!options_.open) options_.open = openWithXdgOpen;
}

std::filesystem::path MailDraftComposer::draftsFolder() const {
    return options_.draftsFolder.empty() ? dataDirectory() / "Drafts" : options_.draftsFolder;
}

void MailDraftComposer::log(const std::string& line) const {
    if (options_.log) options_.log(line);
    else appLog(line);
}

void MailDraftComposer::removeLeftovers(const std::filesystem::path& folder) const {
    std::error_code ec;
    const auto now = std::filesystem::file_time_type::clock::now();
    auto it = std::filesystem::directory_iterator(folder, ec);
    for (; !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (name.find(".eml.tmp-") == std::string::npos) continue;
        std::error_code entryError;
        const auto written = it->last_write_time(entryError);
        if (entryError || now - written < kLeftoverAge) continue;
        if (std::filesystem::remove_all(it->path(), entryError) > 0 && !entryError) {
            log("Verwaisten Temp-Baum entfernt: " + it->path().string());
        } else {
            log("Verwaister Temp-Baum " + it->path().string() + " nicht loeschbar: " + entryError.message());
        }
    }
}

std::optional<MailJson> MailDraftComposer::compose(const MailDraftRequest& request, Refusal& refusal) {
    // 1. Recipients, subject and body.
    if (request.to.empty()) {
        refusal = badRequest("At least one recipient in 'to' is required.");
        return std::nullopt;
    }
    for (const auto* list : {&request.to, &request.cc, &request.bcc}) {
        for (const std::string& address : *list) {
            if (!isUsableMailAddress(address)) {
                refusal = badRequest("Not a usable email address: '" + address + "'");
                return std::nullopt;
            }
        }
    }
    if (isBlank(request.subject)) {
        refusal = badRequest("'subject' must not be empty.");
        return std::nullopt;
    }
    if (isBlank(request.body)) {
        refusal = badRequest("'body' must not be empty.");
        return std::nullopt;
    }
    if (request.bodyHtml) {
        refusal = badRequest(
            "'body_html' cannot be honoured: Mail's scripting interface declares its 'html content' property as "
            "deprecated and without effect, so HTML would be silently dropped. Pass plain text via 'body' instead.");
        return std::nullopt;
    }

    // 2. Attachments, all read before anything is written.
    std::vector<Attachment> attachments;
    int64_t inlineTotal = 0;
    uintmax_t pathTotal = 0;
    for (const MailDraftAttachment& attachment : request.attachments) {
        if (attachment.inlineFilename || attachment.inlineContent) {
            const std::string name = attachment.inlineFilename.value_or("");
            if (const auto problem = filenameProblem(name)) {
                refusal = badRequest("Unusable attachment filename '" + name + "': " + *problem);
                return std::nullopt;
            }
            std::string content;
            for (char c : attachment.inlineContent.value_or("")) {
                if (c != '\r' && c != '\n' && c != ' ' && c != '\t') content += c;
            }
            const auto contentProblem = [&](const char* reason) {
                refusal = badRequest("Unusable content of the attachment '" + name + "': " + reason);
                return std::nullopt;
            };
            if (content.empty()) return contentProblem("content is empty");
            const auto decoded = base64Decode(content);
            if (!decoded) return contentProblem("content is not valid base64");
            if (decoded->empty()) return contentProblem("content decodes to zero bytes");
            const auto size = static_cast<int64_t>(decoded->size());
            if (size > kMailDraftInlineAttachmentLimit) {
                refusal = badRequest("The attachment '" + name + "' is " + std::to_string(size) +
                                     " bytes, the limit for one is " + std::to_string(kMailDraftInlineAttachmentLimit) +
                                     " bytes. No draft was created.");
                return std::nullopt;
            }
            inlineTotal += size;
            if (inlineTotal > kMailDraftInlineTotalLimit) {
                refusal = badRequest("The inline attachments add up to " + std::to_string(inlineTotal) +
                                     " bytes, the limit for one draft is " + std::to_string(kMailDraftInlineTotalLimit) +
                                     " bytes. No draft was created.");
                return std::nullopt;
            }
            attachments.push_back({name, std::string(decoded->begin(), decoded->end())});
            continue;
        }
        const std::string path = attachment.path.value_or("");
        if (!std::filesystem::path(path).is_absolute()) {
            refusal = badRequest("Attachment path must be absolute: '" + path + "'. No draft was created.");
            return std::nullopt;
        }
        std::error_code ec;
        if (!std::filesystem::exists(path, ec)) {
            refusal = badRequest("Attachment not found: '" + path + "'");
            return std::nullopt;
        }
        const uintmax_t size = std::filesystem::is_regular_file(path, ec) ? std::filesystem::file_size(path, ec) : 0;
        std::ifstream in;
        if (!ec && std::filesystem::is_regular_file(path, ec)) in.open(path, std::ios::binary);
        if (!in.is_open()) {
            refusal = badRequest("Attachment exists but is not readable: '" + path + "'");
            return std::nullopt;
        }
        if (size > kPathAttachmentLimit) {
            refusal = badRequest("Attachment is too large for a draft: '" + path + "' (" + std::to_string(size) +
                                 " bytes, the limit is " + std::to_string(kPathAttachmentLimit) +
                                 " bytes). No draft was created.");
            return std::nullopt;
        }
        // Checked before reading: the same large file named many times must not fill the memory.
        pathTotal += size;
        if (pathTotal > kPathAttachmentLimit) {
            refusal = badRequest("The attached files add up to " + std::to_string(pathTotal) +
                                 " bytes, the limit for one draft is " + std::to_string(kPathAttachmentLimit) +
                                 " bytes. No draft was created.");
            return std::nullopt;
        }
        std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (in.bad()) {
            refusal = badRequest("Attachment exists but is not readable: '" + path + "'");
            return std::nullopt;
        }
        attachments.push_back({std::filesystem::path(path).filename().string(), std::move(bytes)});
    }

    // 3. The message.
    const bool accountMatched = request.account && isUsableMailAddress(*request.account);
    const std::string draftId = Uuid::random().toString();
    const std::string boundary = "=_lumidex_" + Uuid::random().toString();
    std::string message;
    if (accountMatched) message += "From: " + addressField(*request.account) + "\r\n";
    message += "To: " + addressList(request.to) + "\r\n";
    if (!request.cc.empty()) message += "Cc: " + addressList(request.cc) + "\r\n";
    if (!request.bcc.empty()) message += "Bcc: " + addressList(request.bcc) + "\r\n";
    // A line break in the subject would start a header of its own.
    std::string subject = *request.subject;
    for (char& c : subject) {
        if (c == '\r' || c == '\n') c = ' ';
    }
    message += "Subject: " + headerText(subject) + "\r\n";
    message += "Date: " + rfc5322Date(std::chrono::system_clock::now()) + "\r\n";
    message += "Message-ID: <" + draftId + "@lumidex.invalid>\r\n";
    message += "MIME-Version: 1.0\r\n";
    message += "X-Unsent: 1\r\n";
    const std::string textPart = "Content-Type: text/plain; charset=UTF-8\r\nContent-Transfer-Encoding: base64\r\n\r\n" +
                                 base64Lines(crlfText(*request.body));
    if (attachments.empty()) {
        message += textPart;
    } else {
        message += "Content-Type: multipart/mixed; boundary=\"" + boundary + "\"\r\n\r\n";
        message += "--" + boundary + "\r\n" + textPart;
        for (const Attachment& a : attachments) {
            message += "--" + boundary + "\r\n";
            message += "Content-Type: " + contentTypeFor(a.name) + "; " + nameParameter("name", a.name) + "\r\n";
            message += "Content-Disposition: attachment; " + nameParameter("filename", a.name) + "\r\n";
            message += "Content-Transfer-Encoding: base64\r\n\r\n";
            message += base64Lines(a.bytes);
        }
        message += "--" + boundary + "--\r\n";
    }

    // 4. Written whole, then shown.
    const std::filesystem::path folder = draftsFolder();
    removeLeftovers(folder);
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    if (ec) {
        refusal = {RefusalKind::internal, "Could not create the draft: the folder " + folder.string() +
                                              " could not be created: " + ec.message()};
        return std::nullopt;
    }
    const std::filesystem::path file = folder / (draftId + ".eml");
    if (const auto error = writeFileAtomically(file, message, std::filesystem::perms::owner_read |
                                                                   std::filesystem::perms::owner_write)) {
        refusal = {RefusalKind::internal, "Could not create the draft: " + error->message()};
        return std::nullopt;
    }
    bool opened = false;
    if (request.open.value_or(true)) {
        const auto error = options_.open(file);
        opened = !error;
        if (error) log("Mail draft " + file.string() + " written but not opened: " + *error);
    }

    MailJson names = MailJson::array();
    for (const Attachment& a : attachments) names.push_back(a.name);
    MailJson r;
    r["draft_id"] = draftId;
    r["account"] = accountMatched ? MailJson(std::string(bareAddressOf(*request.account))) : MailJson(nullptr);
    r["account_requested"] = request.account ? MailJson(*request.account) : MailJson(nullptr);
    r["account_matched"] = accountMatched;
    r["attachments_attached"] = std::move(names);
    r["opened"] = opened;
    r["sent"] = false;
    return r;
}

}  // namespace lumidex::service

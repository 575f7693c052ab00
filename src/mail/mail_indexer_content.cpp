// What the indexer stores of one message: its fields, body text and attachment texts, and its dates.

#include <array>
#include <cctype>
#include <chrono>
#include <string>
#include <string_view>

#include "mail/mail_indexer.h"
#include "mail/mail_message.h"
#include "mail/mail_mime.h"
#include "mail/mail_text.h"

namespace lumidex::mail {

namespace {

std::string_view trim(std::string_view s) {
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
    return s;
}

// The next run of letters, digits, '+', '-' or ':' after skipping separators.
std::string_view nextToken(std::string_view& s) {
    size_t i = 0;
    while (i < s.size() && (s[i] == ' ' || s[i] == '\t' || s[i] == ',' || s[i] == '\r' || s[i] == '\n')) ++i;
    // A comment such as "(CET)" is not part of the date.
    if (i < s.size() && s[i] == '(') {
        while (i < s.size() && s[i] != ')') ++i;
        if (i < s.size()) ++i;
        s.remove_prefix(i);
        return nextToken(s);
    }
    size_t j = i;
    while (j < s.size() && s[j] != ' ' && s[j] != '\t' && s[j] != ',' && s[j] != '(' && s[j] != '\r' && s[j] != '\n') ++j;
    const std::string_view token = s.substr(i, j - i);
    s.remove_prefix(j);
    return token;
}

bool allDigits(std::string_view s) {
    if (s.empty()) return false;
    for (char c : s) {
        if (c < '0' || c > '9') return false;
    }
    return true;
}

int number(std::string_view s) {
    int n = 0;
    for (char c : s) n = n * 10 + (c - '0');
    return n;
}

std::optional<int> monthIndex(std::string_view token) {
    static constexpr std::array<std::string_view, 12> kMonths = {"jan", "feb", "mar", "apr", "may", "jun",
                                                                 "jul", "aug", "sep", "oct", "nov", "dec"};
    if (token.size() < 3) return std::nullopt;
    for (size_t i = 0; i < kMonths.size(); ++i) {
        bool same = true;
        for (size_t k = 0; k < 3; ++k) same = same && std::tolower(static_cast<unsigned char>(token[k])) == kMonths[i][k];
        if (same) return static_cast<int>(i) + 1;
    }
    return std::nullopt;
}

// Minutes east of UTC; obsolete zone names of RFC 5322 and unknown ones (read as UTC).
int zoneMinutes(std::string_view zone) {
    if (zone.size() == 5 && (zone[0] == '+' || zone[0] == '-') && allDigits(zone.substr(1))) {
        const int m = number(zone.substr(1, 2)) * 60 + number(zone.substr(3, 2));
        return zone[0] == '-' ? -m : m;
    }
    std::string upper;
    for (char c : zone) upper += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (upper == "EDT") return -4 * 60;
    if (upper == "EST" || upper == "CDT") return -5 * 60;
    if (upper == "CST" || upper == "MDT") return -6 * 60;
    if (upper == "MST" || upper == "PDT") return -7 * 60;
    if (upper == "PST") return -8 * 60;
    return 0;
}

void addLine(std::string& out, std::string_view text) {
    text = trim(text);
    if (text.empty()) return;
    if (!out.empty()) out += '\n';
    out += text;
}


// A leaf that runs to the end of the bytes read, when they end early, lost its end to the cut.
bool extractionCutThrough(const MimeLeaf& leaf, std::string_view body) {
    return leaf.body.data() + leaf.body.size() == body.data() + body.size();
}

// The UTF-8 text cut to at most `limit` bytes, at a character boundary.
void cutText(std::string& text, size_t limit) {
    if (text.size() <= limit) return;
    size_t end = limit;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
    text.resize(end);
}

std::string megabytes(size_t bytes) { return std::to_string(bytes >> 20) + " MiB"; }

// Reads a message's attachments one at a time, within the message's limits.
class AttachmentWalk {
public:
    AttachmentWalk(const MessageExtraction& extraction, ExtractedContent& out)
        : extraction_(extraction),
          limits_(extraction.limits),
          out_(out),
          deadline_(MailAttachmentDecoder::Clock::now() + extraction.limits.timeBudget) {}

    void leaf(const MimeLeaf& leaf, bool reachesEnd) {
        const std::string_view contentType = findHeader(leaf.fields, "content-type").value_or("");
        const std::string type = mimeType(contentType);
        const bool forwarded = type == "message/rfc822";
        std::optional<std::string> filename = partFilename(leaf.fields);
        if (!forwarded && !filename) return;
        const std::string name = filename.value_or("attached message");
        const AttachmentKind kind =
            forwarded ? AttachmentKind::text : attachmentKind(type, filename, leaf.body.substr(0, 8));
        const bool readable = forwarded || kind == AttachmentKind::text ||
                              ((kind == AttachmentKind::pdf || kind == AttachmentKind::image) && extraction_.decoder != nullptr) ||
                              (kind == AttachmentKind::office && extraction_.officeAttachment);
        // Whatever happens below, an attachment is found by its name.
        std::string text = filename.value_or(std::string());
        const auto finish = [&](std::string found) {
            cutText(found, limits_.maxTextBytes);
            if (!found.empty()) {
                if (!text.empty()) text += '\n';
                text += found;
            }
            if (!text.empty()) out_.attachmentTexts.push_back(std::move(text));
        };
        const auto fail = [&](const std::string& reason) {
            out_.attachmentFailures.push_back(name + ": " + reason);
            finish({});
        };
        if (!readable) return finish({});
        if (extraction_.cut && reachesEnd) return fail("cut with the message at " + megabytes(limits_.maxMessageBytes));
        if (++count_ > limits_.maxAttachments) return fail("more than " + std::to_string(limits_.maxAttachments) + " attachments");
        // Base64 grows by a third, plus line breaks.
        if (leaf.body.size() / 4 * 3 > limits_.maxAttachmentBytes + limits_.maxAttachmentBytes / 16) {
            return fail("too large (" + std::to_string(leaf.body.size()) + " bytes encoded, limit " + megabytes(limits_.maxAttachmentBytes) + ")");
        }
        const std::string_view encoding = findHeader(leaf.fields, "content-transfer-encoding").value_or("");
        std::string decoded = decodeTransferEncoding(leaf.body, encoding);
        if (decoded.size() > limits_.maxAttachmentBytes) {
            return fail("too large (" + std::to_string(decoded.size()) + " bytes, limit " + megabytes(limits_.maxAttachmentBytes) + ")");
        }
        decodedTotal_ += decoded.size();
        if (decodedTotal_ > limits_.maxDecodedBytes) return fail("the message's attachments exceed " + megabytes(limits_.maxDecodedBytes));
        if (forwarded) {
            ++out_.attachmentsRead;
            text.clear();  // an attached message is introduced by its own subject line
            return finish(forwardedMessageText(decoded));
        }
        if (kind == AttachmentKind::text) {
            ++out_.attachmentsRead;
            const std::string_view declared = contentType.empty() ? std::string_view("text/plain") : contentType;
            // An octet-stream named .csv or .txt is read as plain text in its declared (or no) charset.
            const bool textType = type.starts_with("text/");
            return finish(bodyText(textType ? declared : "text/plain", "", decoded).value_or(std::string()));
        }
        if (kind == AttachmentKind::office) {
            // Its text arrives later, appended to the message's row by the conversion worker.
            if (extraction_.officeAttachment(extraction_.externalId, filename, decoded)) ++out_.pendingOfficeAttachmentCount;
            return finish({});
        }
        if (MailAttachmentDecoder::Clock::now() >= deadline_) return fail("time limit for the message's attachments reached");
        AttachmentDecodeRequest request;
        request.name = name;
        request.kind = kind;
        request.bytes = decoded;
        request.ocrFallback = extraction_.ocrFallback;
        AttachmentDecodeOutcome outcome = extraction_.decoder->decode(request, deadline_);
        ++out_.attachmentsRead;
        if (outcome.error) out_.attachmentFailures.push_back(name + ": " + *outcome.error);
        finish(std::move(outcome.text));
    }

private:
    const MessageExtraction& extraction_;
    const MailAttachmentLimits& limits_;
    ExtractedContent& out_;
    MailAttachmentDecoder::Clock::time_point deadline_;
    size_t count_ = 0;
    size_t decodedTotal_ = 0;
};

}  // namespace

std::optional<Date> parseMailDate(std::string_view text) {
    std::string_view rest = trim(text);
    std::string_view token = nextToken(rest);
    if (!token.empty() && !allDigits(token)) token = nextToken(rest);  // the day name
    if (!allDigits(token) || token.size() > 2) return std::nullopt;
    const int day = number(token);
    const auto month = monthIndex(nextToken(rest));
    token = nextToken(rest);
    if (!month || !allDigits(token) || token.size() > 4) return std::nullopt;
    int year = number(token);
    if (token.size() <= 2) year += year < 50 ? 2000 : 1900;
    else if (token.size() == 3) year += 1900;
    const std::string_view time = nextToken(rest);
    if (time.size() < 5 || time[2] != ':' || !allDigits(time.substr(0, 2)) || !allDigits(time.substr(3, 2))) {
        return std::nullopt;
    }
    const int hour = number(time.substr(0, 2));
    const int minute = number(time.substr(3, 2));
    int second = 0;
    if (time.size() >= 8 && time[5] == ':' && allDigits(time.substr(6, 2))) second = number(time.substr(6, 2));
    if (hour > 23 || minute > 59 || second > 60) return std::nullopt;
    const std::chrono::year_month_day ymd{std::chrono::year(year), std::chrono::month(static_cast<unsigned>(*month)),
                                          std::chrono::day(static_cast<unsigned>(day))};
    if (!ymd.ok()) return std::nullopt;
    const int zone = zoneMinutes(nextToken(rest));
    const auto days = std::chrono::sys_days(ymd).time_since_epoch().count();
    const double seconds = static_cast<double>(days) * 86400.0 + hour * 3600.0 + minute * 60.0 + second - zone * 60.0;
    return dateFromSecondsSince1970(seconds);
}

ExtractedContent extractMessage(std::string_view messageBytes, const MessageExtraction& extraction) {
    ExtractedContent out;
    const ParsedEmlx message = parseMessage(messageBytes);
    for (const char* name : {"subject", "from", "to"}) {
        if (const auto it = message.headers.find(name); it != message.headers.end()) {
            out.headers[name == std::string_view("from") ? "from-name" : name] = std::string(trim(it->second));
        }
    }
    if (const auto it = message.headers.find("date"); it != message.headers.end()) out.createdAt = parseMailDate(it->second);
    // The first Received field is the last hop: when the message reached this mailbox.
    for (const HeaderField& field : message.rawFields) {
        if (field.name != "received") continue;
        if (const size_t semicolon = field.value.rfind(';'); semicolon != std::string::npos) {
            out.modifiedAt = parseMailDate(std::string_view(field.value).substr(semicolon + 1));
        }
        break;
    }
    if (isEncrypted(message)) {
        out.plainText = std::string(kEncryptedContentMarker);
        return out;
    }
    out.plainText = messageBodyText(message).value_or(std::string());
    AttachmentWalk walk(extraction, out);
    const std::string_view body = message.rawBody ? std::string_view(*message.rawBody) : std::string_view{};
    walkMime(message.rawFields, body, [&walk, &body](const MimeLeaf& leaf) {
        walk.leaf(leaf, extractionCutThrough(leaf, body));
        return true;
    });
    return out;
}

MailUpsertItem upsertItemFor(std::string externalId, std::string mailboxUrl, const ExtractedContent& content) {
    MailUpsertItem item;
    item.externalId = std::move(externalId);
    item.mailbox = std::move(mailboxUrl);
    const auto header = [&](const char* name) -> std::optional<std::string> {
        const auto it = content.headers.find(name);
        if (it == content.headers.end() || it->second.empty()) return std::nullopt;
        return it->second;
    };
    item.subject = header("subject");
    item.sender = header("from-name");
    item.dateSent = content.createdAt;
    item.dateReceived = content.modifiedAt ? content.modifiedAt : content.createdAt;
    addLine(item.content, item.subject.value_or(""));
    addLine(item.content, item.sender.value_or(""));
    addLine(item.content, header("to").value_or(""));
    addLine(item.content, content.plainText);
    for (const std::string& text : content.attachmentTexts) addLine(item.content, text);
    return item;
}

}  // namespace lumidex::mail

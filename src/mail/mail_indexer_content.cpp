// What the indexer stores of one message: its fields, body text and attachment texts, and its dates.

#include <array>
#include <cctype>
#include <chrono>
#include <string>
#include <string_view>

#include "mail/mail_indexer.h"
#include "mail/mail_message.h"
#include "platform/charset.h"

namespace lumidex::mail {

namespace {

// Text attachments larger than this add only their name: a log file of 50 MB is not mail text.
constexpr size_t kTextAttachmentLimit = size_t{1} << 20;

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

ExtractedContent extractMessage(std::string_view messageBytes) {
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
    for (const ExtractedPartWithBytes& part : extractParts(message)) {
        if (part.info.contentType == "message/rfc822") {
            out.attachmentTexts.push_back(forwardedMessageText(part.decoded));
            continue;
        }
        if (!part.info.filename) continue;
        std::string text = *part.info.filename;
        const bool textual = part.info.contentType == "text/plain" || part.info.contentType == "text/csv" ||
                             part.info.contentType == "text/markdown";
        if (textual && part.decoded.size() <= kTextAttachmentLimit && platform::isValidUtf8(part.decoded)) {
            text += '\n';
            text += part.decoded;
        }
        out.attachmentTexts.push_back(std::move(text));
    }
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

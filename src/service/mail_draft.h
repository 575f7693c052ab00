// Mail drafts: a validated draft (recipients, subject, plain-text body, attachments by path or inline
// Base64) is written as one RFC 5322 message ("<draft id>.eml", MIME multipart with Base64 attachments
// and RFC 2231 file names, marked "X-Unsent: 1") into the drafts folder, and, when asked, handed to the
// desktop's default mail program. Nothing is ever sent.
//
// The file appears whole or not at all: it is written under a temporary name and renamed. Temporary
// files an interrupted earlier draft left behind are removed first ("Verwaisten Temp-Baum entfernt: ").
//
// Thread-safety: compose() may run on several threads at once (each draft has its own file). The
// opener is called on the calling thread and must not wait for the mail program. Failure behaviour:
// nothing throws except std::bad_alloc; a request that does not validate is refused as a bad request with
// its message and leaves nothing behind; a draft that cannot be written is refused as internal with
// "Could not create the draft: " + the reason. A draft that was written but could not be shown is
// answered with "opened": false.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "service/index_lookup.h"
#include "service/mail_service.h"

namespace lumidex::service {

inline constexpr int64_t kMailDraftInlineAttachmentLimit = 20'971'520;     // bytes of one, decoded
inline constexpr int64_t kMailDraftInlineTotalLimit = int64_t{40} << 20;  // bytes of all inline ones together

struct MailDraftAttachment {
    std::optional<std::string> path;  // an absolute file path ...
    // ... or an inline file: its name and Base64 content (the name's presence marks it inline).
    std::optional<std::string> inlineFilename;
    std::optional<std::string> inlineContent;
};

struct MailDraftRequest {
    std::vector<std::string> to;
    std::vector<std::string> cc;
    std::vector<std::string> bcc;
    std::optional<std::string> subject;
    std::optional<std::string> body;
    std::optional<std::string> bodyHtml;
    std::vector<MailDraftAttachment> attachments;
    std::optional<std::string> account;  // the sender address
    std::optional<bool> open;            // show the draft; true when absent
};

// Opens the draft file with the desktop's default program; the error text, or nullopt when it was
// handed over.
using MailDraftOpener = std::function<std::optional<std::string>(const std::filesystem::path& draft)>;

struct MailDraftOptions {
    std::filesystem::path draftsFolder;  // empty: <data directory>/Drafts
    MailDraftOpener open;                // empty: `xdg-open`, detached
    std::function<void(std::string_view)> log;  // empty: the application log
};

class MailDraftComposer {
public:
    explicit MailDraftComposer(MailDraftOptions options = {});

    // The folder drafts are written to (the data directory is resolved on the first call).
    std::filesystem::path draftsFolder() const;
    // MailDraftResponse: draft_id, account, account_requested, account_matched, attachments_attached,
    // opened, sent (always false).
    std::optional<MailJson> compose(const MailDraftRequest& request, Refusal& refusal);

private:
    void log(const std::string& line) const;
    void removeLeftovers(const std::filesystem::path& folder) const;

    MailDraftOptions options_;
};

// Starts `xdg-open` on the file without waiting for it (nor for the program it starts).
std::optional<std::string> openWithXdgOpen(const std::filesystem::path& file);

// Whether the text is an address a draft can carry: "local@domain" or "Name <local@domain>".
bool isUsableMailAddress(std::string_view address);

}  // namespace lumidex::service

// Routes 45-71: the mail index, its maintenance, the cloud jobs of office attachments, the mail client's
// store and drafts. Each handler reads its parameters, asks the mail service (or the draft composer) and
// writes its answer; the behaviour lives there.
#include <charconv>
#include <memory>
#include <stdexcept>

#include <nlohmann/json.hpp>

#include "api/api_routes.h"
#include "core/settings/settings_store.h"
#include "mail/mail_cloud_jobs.h"
#include "mail/mail_fts.h"
#include "service/mail_draft.h"
#include "service/mail_service.h"

namespace lumidex::api {
namespace {

using service::MailJson;
using service::Refusal;
using service::RefusalKind;

ApiResponse recordResponse(const MailJson& record) {
    ApiResponse response;
    try {
        response.body = record.dump(-1, ' ', false, MailJson::error_handler_t::replace);
    } catch (const nlohmann::json::exception&) {
        return errorResponse(500, "internal_error", "Failed to serialize");
    }
    return response;
}

ApiResponse answer(const std::optional<MailJson>& record, const Refusal& refusal) {
    if (record) return recordResponse(*record);
    switch (refusal.kind) {
        case RefusalKind::badRequest: return errorResponse(400, "bad_request", refusal.message);
        case RefusalKind::notFound: return errorResponse(404, "not_found", refusal.message);
        case RefusalKind::conflict: return errorResponse(409, "conflict", refusal.message);
        case RefusalKind::internal: break;
    }
    return errorResponse(500, "internal_error", refusal.message);
}

std::optional<std::string> textQuery(const ApiRequest& request, const char* name) {
    const std::string* value = request.query(name);
    return value ? std::optional<std::string>(*value) : std::nullopt;
}

bool flagQuery(const ApiRequest& request, const char* name) {
    const std::string* value = request.query(name);
    return value && *value == "true";
}

std::optional<int64_t> parseInteger(std::string_view text) {
    int64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || text.empty()) return std::nullopt;
    return value;
}

// A limit that is absent or not a number takes the route's default.
std::optional<int64_t> integerQuery(const ApiRequest& request, const char* name) {
    const std::string* value = request.query(name);
    return value ? parseInteger(*value) : std::nullopt;
}

std::optional<int64_t> rowidQuery(const ApiRequest& request, const char* name, ApiResponse& failure) {
    const std::string* value = request.query(name);
    auto rowid = value ? parseInteger(*value) : std::nullopt;
    if (!rowid) failure = errorResponse(400, "bad_request", "Missing or invalid rowid");
    return rowid;
}

// --- request bodies ---

struct DecodeError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

nlohmann::json parseBody(const ApiRequest& request, bool absentIsEmpty) {
    if (!request.body || request.body->empty()) {
        if (absentIsEmpty) return nlohmann::json::object();
        throw DecodeError("the request has no body");
    }
    nlohmann::json body;
    try {
        body = nlohmann::json::parse(*request.body);
    } catch (const nlohmann::json::parse_error& e) {
        throw DecodeError(e.what());
    }
    if (!body.is_object()) throw DecodeError("expected a JSON object");
    return body;
}

const nlohmann::json* member(const nlohmann::json& object, const char* key) {
    const auto found = object.find(key);
    return found == object.end() || found->is_null() ? nullptr : &*found;
}

std::optional<std::string> optionalString(const nlohmann::json& object, const char* key) {
    const auto* value = member(object, key);
    if (!value) return std::nullopt;
    if (!value->is_string()) throw DecodeError(std::string("\"") + key + "\" must be a string");
    return value->get<std::string>();
}

std::optional<bool> optionalBool(const nlohmann::json& object, const char* key) {
    const auto* value = member(object, key);
    if (!value) return std::nullopt;
    if (!value->is_boolean()) throw DecodeError(std::string("\"") + key + "\" must be a boolean");
    return value->get<bool>();
}

int64_t integerValue(const nlohmann::json& value, const char* key) {
    if (!value.is_number_integer() ||
        (value.is_number_unsigned() && value.get<uint64_t>() > static_cast<uint64_t>(INT64_MAX))) {
        throw DecodeError(std::string("\"") + key + "\" must be a 64-bit integer");
    }
    return value.get<int64_t>();
}

std::vector<std::string> strings(const nlohmann::json& object, const char* key) {
    const auto* value = member(object, key);
    if (!value) return {};
    const std::string wrongType = std::string("\"") + key + "\" must be an array of strings";
    if (!value->is_array()) throw DecodeError(wrongType);
    std::vector<std::string> out;
    for (const auto& element : *value) {
        if (!element.is_string()) throw DecodeError(wrongType);
        out.push_back(element.get<std::string>());
    }
    return out;
}

service::MailSetupRequest setupRequest(const nlohmann::json& body) {
    service::MailSetupRequest request;
    request.mailRoot = optionalString(body, "mail_root");
    if (const auto* rowids = member(body, "account_rowids")) {
        if (!rowids->is_array()) throw DecodeError("\"account_rowids\" must be an array of integers");
        request.accountRowids.emplace();
        for (const auto& rowid : *rowids) request.accountRowids->push_back(integerValue(rowid, "account_rowids"));
    }
    if (const auto* limit = member(body, "ocr_limit_mb")) request.ocrLimitMb = integerValue(*limit, "ocr_limit_mb");
    request.clearIndex = optionalBool(body, "clear_index");
    request.enable = optionalBool(body, "enable");
    return request;
}

service::MailDraftRequest draftRequest(const nlohmann::json& body) {
    service::MailDraftRequest request;
    request.to = strings(body, "to");
    request.cc = strings(body, "cc");
    request.bcc = strings(body, "bcc");
    request.subject = optionalString(body, "subject");
    request.body = optionalString(body, "body");
    request.bodyHtml = optionalString(body, "body_html");
    request.account = optionalString(body, "account");
    request.open = optionalBool(body, "open");
    if (const auto* attachments = member(body, "attachments")) {
        if (!attachments->is_array()) throw DecodeError("\"attachments\" must be an array");
        for (const auto& element : *attachments) {
            service::MailDraftAttachment attachment;
            if (element.is_string()) {
                attachment.path = element.get<std::string>();
            } else if (element.is_object() && member(element, "inline")) {
                const auto& inlined = element["inline"];
                if (!inlined.is_object()) throw DecodeError("\"inline\" must be an object");
                attachment.inlineFilename = optionalString(inlined, "filename").value_or("");
                attachment.inlineContent = optionalString(inlined, "content").value_or("");
            } else if (element.is_object() && member(element, "path")) {
                attachment.path = optionalString(element, "path");
            } else {
                throw DecodeError("each attachment must be {\"path\": ...} or {\"inline\": {\"filename\", \"content\"}}");
            }
            request.attachments.push_back(std::move(attachment));
        }
    }
    return request;
}

ApiResponse invalidBody(const std::exception& e) {
    return errorResponse(400, "bad_request", std::string("Invalid JSON body: ") + e.what());
}

struct MailServices {
    std::unique_ptr<service::MailService> ownService;
    std::unique_ptr<service::MailDraftComposer> ownDrafts;
    service::MailService* mail = nullptr;
    service::MailDraftComposer* drafts = nullptr;
};

}  // namespace

void registerMailRoutes(ApiRouter& router, ApiServices& services) {
    auto s = std::make_shared<MailServices>();
    s->mail = services.mailService;
    if (!s->mail) {
        s->ownService = std::make_unique<service::MailService>(
            mail::MailFtsSqlite::shared(), mail::MailCloudJobsSqlite::shared(),
            services.settings ? *services.settings : SettingsStore::shared(),
            service::MailServiceOptions{services.mailControl, {}});
        s->mail = s->ownService.get();
    }
    s->drafts = services.mailDrafts;
    if (!s->drafts) {
        s->ownDrafts = std::make_unique<service::MailDraftComposer>();
        s->drafts = s->ownDrafts.get();
    }
    const auto get = [&router, s](const char* path, std::function<ApiResponse(service::MailService&, const ApiRequest&)> f) {
        router.add(HttpMethod::get, path, [s, f](const ApiRequest& request) { return f(*s->mail, request); });
    };
    const auto post = [&router, s](const char* path, std::function<ApiResponse(service::MailService&, const ApiRequest&)> f) {
        router.add(HttpMethod::post, path, [s, f](const ApiRequest& request) { return f(*s->mail, request); });
    };
    // Routes whose only parameter is a rowid.
    const auto byRowid = [](std::optional<MailJson> (service::MailService::*call)(int64_t, Refusal&)) {
        return [call](service::MailService& mail, const ApiRequest& request) {
            ApiResponse failure;
            const auto rowid = rowidQuery(request, "rowid", failure);
            if (!rowid) return failure;
            Refusal refusal{};
            return answer((mail.*call)(*rowid, refusal), refusal);
        };
    };
    // Routes without parameters that may be refused.
    const auto plain = [](std::optional<MailJson> (service::MailService::*call)(Refusal&)) {
        return [call](service::MailService& mail, const ApiRequest&) {
            Refusal refusal{};
            return answer((mail.*call)(refusal), refusal);
        };
    };

    // 45-54
    get("/api/v1/mail/status", [](service::MailService& mail, const ApiRequest&) { return recordResponse(mail.status()); });
    get("/api/v1/mail/recent", [](service::MailService& mail, const ApiRequest& request) {
        return recordResponse(mail.recent(integerQuery(request, "limit")));
    });
    get("/api/v1/mail/inbox", [](service::MailService& mail, const ApiRequest& request) {
        return recordResponse(mail.inbox(integerQuery(request, "limit")));
    });
    get("/api/v1/mail/search", [](service::MailService& mail, const ApiRequest& request) {
        Refusal refusal{};
        return answer(mail.search(textQuery(request, "q").value_or(""), integerQuery(request, "limit"),
                                  flagQuery(request, "inbox_only"), refusal),
                      refusal);
    });
    get("/api/v1/mail/mailboxes", plain(&service::MailService::mailboxes));
    post("/api/v1/mail/setup", [](service::MailService& mail, const ApiRequest& request) {
        service::MailSetupRequest setup;
        try {
            setup = setupRequest(parseBody(request, true));
        } catch (const DecodeError& e) {
            return invalidBody(e);
        }
        Refusal refusal{};
        return answer(mail.setup(setup, refusal), refusal);
    });
    post("/api/v1/mail/disable", plain(&service::MailService::disable));
    post("/api/v1/mail/clear-index", plain(&service::MailService::clearIndex));
    post("/api/v1/mail/reindex", [](service::MailService& mail, const ApiRequest& request) {
        Refusal refusal{};
        return answer(mail.reindex(flagQuery(request, "restart"), refusal), refusal);
    });
    get("/api/v1/mail/schema", plain(&service::MailService::schema));

    // 55-60
    get("/api/v1/mail/peek", byRowid(&service::MailService::peek));
    get("/api/v1/mail/tree", [](service::MailService& mail, const ApiRequest& request) {
        Refusal refusal{};
        return answer(mail.tree(textQuery(request, "subpath").value_or(""), refusal), refusal);
    });
    get("/api/v1/mail/find-emlx", byRowid(&service::MailService::findEmlx));
    get("/api/v1/mail/detail", [](service::MailService& mail, const ApiRequest& request) {
        Refusal refusal{};
        return answer(mail.detail(textQuery(request, "external_id"), refusal), refusal);
    });
    get("/api/v1/mail/body", [](service::MailService& mail, const ApiRequest& request) {
        Refusal refusal{};
        // A max_chars that is not a number is refused like one that is not positive.
        std::optional<int64_t> maxChars;
        if (const std::string* text = request.query("max_chars")) maxChars = parseInteger(*text).value_or(0);
        return answer(mail.body(textQuery(request, "external_id"), flagQuery(request, "include_quoted"), maxChars, refusal),
                      refusal);
    });
    router.add(HttpMethod::post, "/api/v1/mail/draft", [s](const ApiRequest& request) {
        service::MailDraftRequest draft;
        try {
            draft = draftRequest(parseBody(request, false));
        } catch (const DecodeError& e) {
            return invalidBody(e);
        }
        Refusal refusal{};
        return answer(s->drafts->compose(draft, refusal), refusal);
    });

    // 61-71
    get("/api/v1/mail/debug-extract", byRowid(&service::MailService::debugExtract));
    get("/api/v1/mail/debug-enumerate", [](service::MailService& mail, const ApiRequest& request) {
        Refusal refusal{};
        return answer(mail.debugEnumerate(integerQuery(request, "since").value_or(0), integerQuery(request, "limit"), refusal),
                      refusal);
    });
    get("/api/v1/mail/find-rowid", [](service::MailService& mail, const ApiRequest& request) {
        Refusal refusal{};
        return answer(mail.findRowid(textQuery(request, "subject_like").value_or(""), refusal), refusal);
    });
    get("/api/v1/mail/index-status",
        [](service::MailService& mail, const ApiRequest&) { return recordResponse(mail.indexStatus()); });
    get("/api/v1/mail/incomplete", [](service::MailService& mail, const ApiRequest& request) {
        Refusal refusal{};
        return answer(mail.incomplete(textQuery(request, "status"), integerQuery(request, "limit"), refusal), refusal);
    });
    post("/api/v1/mail/retry-incomplete", plain(&service::MailService::retryIncomplete));
    post("/api/v1/mail/cleanup-stale", plain(&service::MailService::cleanupStale));
    get("/api/v1/mail/cloud-jobs", [](service::MailService& mail, const ApiRequest& request) {
        Refusal refusal{};
        return answer(mail.cloudJobs(textQuery(request, "status"), integerQuery(request, "limit"), refusal), refusal);
    });
    post("/api/v1/mail/cloud-jobs/retry", plain(&service::MailService::cloudRetry));
    post("/api/v1/mail/cloud-jobs/cancel", plain(&service::MailService::cloudCancel));
    post("/api/v1/mail/cloud-jobs/tick", plain(&service::MailService::cloudTick));
}

}  // namespace lumidex::api

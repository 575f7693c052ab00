#include "app/mail_search_source.h"

namespace lumidex {

namespace {
// Without a caller's limit: enough for any result list a person reads.
constexpr int64_t kDefaultRowLimit = 1000;
}  // namespace

std::string MailFtsSearchSource::rootFolderUrl() const { return "###appleMailSourceIdentifier###"; }

std::vector<search::MailSearchHit> MailFtsSearchSource::search(const SearchParameters& parameters, int64_t rowLimit,
                                                               const CancellationToken& token) {
    std::vector<search::MailSearchHit> out;
    if (token.isCancelled()) return out;
    for (mail::MailSearchHit& hit : fts_.search(parameters.searchText, rowLimit < 0 ? kDefaultRowLimit : rowLimit, false)) {
        search::MailSearchHit converted;
        converted.indexId = std::move(hit.externalId);
        converted.subject = hit.subject.value_or("");
        converted.mailbox = hit.mailbox.value_or("");
        converted.receivedDate = hit.dateReceived.value_or(hit.dateSent.value_or(Date{}));
        converted.snippet = std::move(hit.snippet);
        out.push_back(std::move(converted));
    }
    return out;
}

}  // namespace lumidex

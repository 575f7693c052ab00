// The mail full-text store as the search engine's mail source: each message hit becomes a mail result
// whose id is the message's external id ("maildir:...", "mbox:..." or the mail client's document id).
//
// Thread-safe (the store is); never throws; the store's failures give no hits (the store logs them).
#pragma once

#include <memory>

#include "mail/mail_fts.h"
#include "search/searchable_folder.h"

namespace lumidex {

class MailFtsSearchSource : public search::MailSearchSource {
public:
    // `fts` must outlive the source.
    explicit MailFtsSearchSource(mail::MailFtsSqlite& fts) : fts_(fts) {}
    // The source owns the store.
    explicit MailFtsSearchSource(std::shared_ptr<mail::MailFtsSqlite> fts) : owned_(std::move(fts)), fts_(*owned_) {}

    std::string rootFolderUrl() const override;
    std::vector<search::MailSearchHit> search(const SearchParameters& parameters, int64_t rowLimit,
                                              const CancellationToken& token) override;

private:
    std::shared_ptr<mail::MailFtsSqlite> owned_;
    mail::MailFtsSqlite& fts_;
};

}  // namespace lumidex

// "mail add PATH | add --thunderbird | list | remove PATH | index": the mail stores Lumidex indexes (Maildir folders, mbox
// files and folders, a desktop mail client's profile, one folder holding an Envelope Index and its message files)
// and indexing them into the mail index.
//
// The list is kept in the settings folder (mail_sources.json). Adding a store also turns
// "mailSourceEnabled" on, so that searches include mail. Exit code 0; 1 with the reason on stderr when a
// path is no mail store, the list cannot be read or saved, or indexing could not write the index (what
// was written stays, and the next `mail index` does the rest).
#pragma once

#include <memory>

#include "search/searchable_folder.h"

namespace CLI {
class App;
}

namespace lumidex {

void addMailCommand(CLI::App& app);

// The mail index as a search source when mail stores are configured; null otherwise.
std::shared_ptr<search::MailSearchSource> configuredMailSearchSource();

}  // namespace lumidex

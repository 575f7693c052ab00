// "mail add PATH | add --thunderbird | list | remove PATH | index": the mail stores Lumidex indexes (Maildir folders, mbox
// files and folders, a desktop mail client's profile, one folder holding an Envelope Index and its message files)
// and indexing them into the mail index.
//
// The list is kept in the settings folder (mail_sources.json). Adding a store also turns
// "mailSourceEnabled" on, so that searches include mail. Exit code 0; 1 with the reason on stderr when a
// path is no mail store, the list cannot be read or saved, or indexing could not write the index (what
// was written stays, and the next `mail index` does the rest).
#pragma once

#include <functional>
#include <memory>

#include "cloud/kadoro_client.h"
#include "mail/mail_attachment_text.h"
#include "search/searchable_folder.h"

namespace CLI {
class App;
}

namespace lumidex {

void addMailCommand(CLI::App& app);

// How `mail index` reads PDF and image attachments (through extraction workers, set by the programs'
// main); without it they add their names only. Set before commands run.
using MailAttachmentDecoderFactory = std::function<std::unique_ptr<mail::MailAttachmentDecoder>()>;
void setMailAttachmentDecoderFactory(MailAttachmentDecoderFactory factory);
// A decoder from the factory set above; null when none is set (attachments are then indexed by name).
std::unique_ptr<mail::MailAttachmentDecoder> makeMailAttachmentDecoder();

// The conversion service's client for office attachments, set by the program that links the HTTP client
// (lumidex-indexer; the quick command line stays without it and starts fast); without it `mail index`
// converts office attachments with this machine's office converter.
using MailConversionServiceFactory = std::function<std::unique_ptr<cloud::KadoroClient>(cloud::KadoroConfiguration)>;
void setMailConversionServiceFactory(MailConversionServiceFactory factory);

// The mail index as a search source when mail stores are configured; null otherwise.
std::shared_ptr<search::MailSearchSource> configuredMailSearchSource();

}  // namespace lumidex

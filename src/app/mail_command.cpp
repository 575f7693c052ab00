#include "app/mail_command.h"

#include <CLI/CLI.hpp>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <iostream>
#include <string>

#include "app/mail_search_source.h"
#include "core/settings/settings.h"
#include "cloud/libreoffice_converter.h"
#include "mail/mail_cloud_worker.h"
#include "mail/mail_fts.h"
#include "mail/mail_index_runs.h"
#include "mail/mail_indexer.h"
#include "mail/mail_indexer_sources.h"
#include "mail/mail_thunderbird.h"
#include "platform/paths.h"
#include "platform/process_lock.h"

namespace lumidex {
namespace {

MailAttachmentDecoderFactory& attachmentDecoderFactory() {
    static MailAttachmentDecoderFactory factory;
    return factory;
}

MailConversionServiceFactory& conversionServiceFactory() {
    static MailConversionServiceFactory factory;
    return factory;
}

[[noreturn]] void fail(const std::string& message) {
    std::cerr << "lumidex mail: " << message << '\n';
    throw CLI::RuntimeError(1);
}

// Two processes changing the mail index at once would both insert what they found new; the second waits.
std::unique_ptr<platform::WriterLock> holdMailIndex(const std::string& command) {
    const std::string holder = "lumidex mail " + command + " (process " + std::to_string(::getpid()) + ")";
    std::string error;
    auto lock = platform::WriterLock::acquire(
        mail::MailFtsSqlite::defaultDatabasePath().parent_path() / "mail.lock", holder,
        [](const std::string& current) {
            std::cout << "Waiting for " << current << ", which is updating the mail index, to finish ..." << std::endl;
        },
        error);
    if (!lock) fail("cannot take the mail index for writing: " + error);
    return lock;
}

mail::MailSourceList loadList() {
    mail::MailSourceList list;
    if (const auto error = list.load()) fail(*error);
    return list;
}

void add(const std::string& path) {
    const auto source = mail::detectMailSource(path);
    if (!source) {
        fail("Not a mail store: " + path +
             " (expected a Maildir folder, an mbox file or folder, a Thunderbird profile, or a folder with "
             "V10/MailData/Envelope Index)");
    }
    mail::MailSourceList list = loadList();
    if (source->type == mail::kAppleMailSourceType) {
        for (const auto& known : list.sources()) {
            if (known.type == mail::kAppleMailSourceType && known.path != source->path) {
                fail("Only one Apple Mail store can be indexed; remove " + known.path.string() + " first");
            }
        }
    }
    if (!list.add(*source)) {
        std::cout << "Already indexed: " << source->path.string() << '\n';
        return;
    }
    if (const auto error = list.save()) fail(*error);
    Settings settings = Settings::shared();
    if (!settings.mailSourceEnabled()) {
        if (const auto error = settings.set(SettingsKeys::mailSourceEnabled, true)) {
            fail("searches could not be set to include mail (mailSourceEnabled): " + error->message);
        }
    }
    std::cout << "Added " << source->type << ": " << source->path.string()
              << "\nRun `lumidex mail index` to index it.\n";
}

// Every profile of the desktop mail client in the home folder.
void addThunderbirdProfiles() {
    const auto profiles = mail::findThunderbirdProfiles(platform::userDirectories().home);
    bool found = false;
    for (const mail::ThunderbirdProfile& profile : profiles) {
        if (profile.mailFolders.empty()) continue;  // a profile that never held mail is no store
        found = true;
        add(profile.folder.string());
    }
    if (!found) fail("No Thunderbird profile with mail folders found in " + platform::userDirectories().home.string());
}

void list() {
    const mail::MailSourceList sources = loadList();
    if (sources.sources().empty()) {
        std::cout << "No mail stores. Add one with `lumidex mail add PATH`.\n";
        return;
    }
    for (const auto& source : sources.sources()) std::cout << source.type << "\t" << source.path.string() << '\n';
}

void remove(const std::string& path) {
    mail::MailSourceList sources = loadList();
    const auto detected = mail::detectMailSource(path);
    std::filesystem::path key = detected ? detected->path : std::filesystem::absolute(path).lexically_normal();
    mail::ConfiguredMailSource removed;
    for (const auto& source : sources.sources()) {
        if (source.path == key) removed = source;
    }
    if (removed.path.empty()) fail("Not in the list of mail stores: " + path);
    const auto lock = holdMailIndex("remove");
    // Forgotten before it leaves the list, so that a failure can be retried with the same command. The
    // stores are found again from the stored type; a store gone from disk keeps nothing to forget.
    mail::LocalMailIndexer indexer(mail::MailFtsSqlite::shared());
    bool forgotten = true;
    if (removed.type == mail::kAppleMailSourceType) {
        forgotten = mail::forgetAppleMail(mail::MailFtsSqlite::shared(), SettingsStore::shared());
    }
    for (const mail::LocalStore& store : mail::storesOf(removed)) forgotten = indexer.forgetStore(store) && forgotten;
    if (!forgotten) fail("its messages could not all be removed from the mail index; `lumidex mail remove` again");
    sources.remove(key);
    if (const auto error = sources.save()) fail(*error);
    std::cout << "Removed " << key.string() << '\n';
}

// Office attachments queued by the run (and any left from earlier runs) converted and merged now; the
// conversion service when it is configured, else this machine's office converter.
void convertOfficeAttachments(mail::MailAttachmentDecoder& decoder) {
    const Settings settings = Settings::shared();
    std::unique_ptr<cloud::KadoroClient> client;
    std::unique_ptr<cloud::ConversionBackend> converter;
    const std::filesystem::path folder = mail::MailCloudJobsSqlite::defaultDatabasePath().parent_path();
    if (settings.useCloudService() && !settings.conversionServiceURL().empty() && conversionServiceFactory()) {
        cloud::KadoroConfiguration service;
        service.baseURL = settings.conversionServiceURL();
        service.apiKey = settings.conversionServiceAPIKey();
        client = conversionServiceFactory()(std::move(service));
    } else {
        cloud::LibreOfficeConverterOptions options;
        options.profileDirectory = folder / "office-converter";
        converter = std::make_unique<cloud::LibreOfficeConverter>(std::move(options));
        if (const auto missing = converter->unavailableReason()) {
            std::cout << "Office attachments wait for a converter: " << *missing << '\n';
            return;
        }
        client = std::make_unique<mail::LocalConversionClient>(*converter, folder / "Converted");
    }
    mail::MailCloudWorkerOptions options;
    options.stagingFolder = mail::defaultMailCloudStagingFolder();
    mail::MailCloudWorker worker(mail::MailCloudJobsSqlite::shared(), mail::MailFtsSqlite::shared(), *client, decoder, options);
    worker.recover();
    int64_t jobs = 0;
    while (const int64_t taken = worker.tick()) jobs += taken;
    if (jobs > 0) {
        const auto counts = mail::MailCloudJobsSqlite::shared().statusCounts();
        const auto count = [&counts](const char* status) {
            const auto it = counts.find(status);
            return it == counts.end() ? int64_t{0} : it->second;
        };
        std::cout << "Office attachments: " << count("merged") << " merged, " << count("failed") << " failed\n";
    }
}

void index() {
    const mail::MailSourceList sources = loadList();
    if (sources.sources().empty()) {
        std::cout << "No mail stores. Add one with `lumidex mail add PATH`.\n";
        return;
    }
    const auto lock = holdMailIndex("index");
    mail::MessageExtraction extraction;
    const std::unique_ptr<mail::MailAttachmentDecoder> decoder =
        attachmentDecoderFactory() ? attachmentDecoderFactory()() : nullptr;
    extraction.decoder = decoder.get();
    const Settings settings = Settings::shared();
    extraction.ocrFallback = settings.boolean("mailIndexOcrAttachments", true);
    std::unique_ptr<mail::MailAttachmentCloudBridge> bridge;
    if (decoder && settings.boolean("mailIndexOfficeAttachments", true)) {
        bridge = std::make_unique<mail::MailAttachmentCloudBridge>(mail::MailCloudJobsSqlite::shared(),
                                                                   mail::defaultMailCloudStagingFolder());
        extraction.officeAttachment = [&bridge](std::string_view externalId, const std::optional<std::string>& name,
                                                        std::string_view bytes) {
            return bridge->enqueue(externalId, name, bytes) == mail::MailAttachmentCloudBridge::Outcome::queued;
        };
    }
    const bool terminal = ::isatty(STDOUT_FILENO) == 1;
    auto lastPrint = std::chrono::steady_clock::now();
    mail::MailRunHooks hooks;
    hooks.progress = [&](const std::filesystem::path& store, size_t done, size_t total) {
        const auto now = std::chrono::steady_clock::now();
        if (done != total && now - lastPrint < std::chrono::milliseconds(terminal ? 100 : 2000)) return;
        lastPrint = now;
        std::cout << (terminal ? "\r" : "") << store.string() << ": " << done << " / " << total << " messages"
                  << (terminal && done != total ? "" : "\n") << std::flush;
    };
    hooks.sourceDone = [](const mail::ConfiguredMailSource& source, const std::string& summary) {
        std::cout << source.path.string() << ": " << summary << '\n';
    };
    hooks.extraction = extraction;
    const std::atomic<bool> cancelled{false};
    const mail::MailRunOutcome outcome = mail::indexMailSources(mail::MailFtsSqlite::shared(), SettingsStore::shared(),
                                                                sources.sources(), false, cancelled, hooks);
    for (const std::string& error : outcome.errors) std::cerr << "lumidex mail: " << error << '\n';
    if (outcome.attachmentsFailed > 0) std::cout << outcome.attachmentsFailed << " attachments not read (see the log)\n";
    if (bridge && mail::MailCloudJobsSqlite::shared().nextJobs(1).size() > 0) convertOfficeAttachments(*decoder);
    if (!outcome.ok()) throw CLI::RuntimeError(1);
}

}  // namespace

void setMailAttachmentDecoderFactory(MailAttachmentDecoderFactory factory) {
    attachmentDecoderFactory() = std::move(factory);
}

std::unique_ptr<mail::MailAttachmentDecoder> makeMailAttachmentDecoder() {
    return attachmentDecoderFactory() ? attachmentDecoderFactory()() : nullptr;
}

void setMailConversionServiceFactory(MailConversionServiceFactory factory) {
    conversionServiceFactory() = std::move(factory);
}

std::shared_ptr<search::MailSearchSource> configuredMailSearchSource() {
    mail::MailSourceList sources;
    if (sources.load() || sources.sources().empty()) return nullptr;
    // A store of its own that only searches: no ledger upkeep on the way to the first hit.
    auto store = std::make_shared<mail::MailFtsSqlite>(mail::MailFtsSqlite::defaultDatabasePath());
    store->setBackfillOnOpen(false);
    return std::make_shared<MailFtsSearchSource>(std::move(store));
}

void addMailCommand(CLI::App& app) {
    CLI::App* mailCommand = app.add_subcommand("mail", "The mail stores indexed for search");
    mailCommand->require_subcommand(1);
    auto addPath = std::make_shared<std::string>();
    CLI::App* addCommand = mailCommand->add_subcommand(
        "add", "Index a Maildir folder, an mbox file or folder, a Thunderbird profile, or an Apple Mail store");
    auto thunderbird = std::make_shared<bool>(false);
    addCommand->add_option("PATH", *addPath);
    addCommand->add_flag("--thunderbird", *thunderbird, "Add every Thunderbird profile found in the home folder");
    addCommand->callback([addPath, thunderbird] {
        if (*thunderbird != addPath->empty()) fail("give either PATH or --thunderbird");
        if (*thunderbird) {
            addThunderbirdProfiles();
        } else {
            add(*addPath);
        }
    });
    mailCommand->add_subcommand("list", "List the mail stores indexed")->callback([] { list(); });
    auto removePath = std::make_shared<std::string>();
    CLI::App* removeCommand = mailCommand->add_subcommand("remove", "Stop indexing a mail store and forget its mail");
    removeCommand->add_option("PATH", *removePath)->required();
    removeCommand->callback([removePath] { remove(*removePath); });
    mailCommand->add_subcommand("index", "Index new, moved and removed mail of every store")->callback([] { index(); });
}

}  // namespace lumidex

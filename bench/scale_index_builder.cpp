// Writes a large generated index for one searchable folder straight through the project's stores (item
// tables, full-text rows with their original texts, numbers store), so that `lumidex search` can be
// measured at sizes no real corpus on this machine reaches. The files are those indexing writes for
// documents already processed; only the extraction is skipped.
//
//   scale_index_builder --root PATH --documents N [--seed S] [--batch B]
//
// Run it with HOME/XDG_* pointing at the home whose data directory receives the index, after
// `lumidex folders add PATH` there (PATH may be an empty folder: nothing is read from it). Documents:
// mostly short texts and office files (a few hundred words, log-normal lengths), every tenth a 20-page
// PDF (pages separated by form feeds, as the PDF extraction stores them). Words come from a Zipf-shaped
// vocabulary of German and English words and generated German compounds with umlauts; each document
// also carries two words from a pool of rare ones (about eight documents each). Deterministic for a
// seed, whatever the number of threads.
//
// Prints one JSON line: documents written, seconds, bytes of text, and query words by class (rare,
// common, prefix) for the benchmark. Exits 1 when a store write fails.
#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

#include "core/concurrency/task_group.h"
#include "core/concurrency/thread_pool.h"
#include "core/hashing.h"
#include "folders/coordinator/balanced_data_manager.h"
#include "platform/unicode.h"
#include "storage/fts_balancer.h"
#include "storage/fts_tools.h"
#include "storage/nan_item_sqlite_manager.h"

using namespace lumidex;
using SteadyClock = std::chrono::steady_clock;

namespace {

uint64_t splitMix(uint64_t x) {
    x += 0x9E3779B97F4A7C15ULL;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ULL;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBULL;
    return x ^ (x >> 31);
}

// Deterministic across platforms: no std distributions.
struct Random {
    uint64_t state;
    uint64_t next() { return state = splitMix(state); }
    size_t below(size_t n) { return static_cast<size_t>(next() % n); }
    double unit() { return static_cast<double>(next() >> 11) / 9007199254740992.0; }
    double normal() {  // Box-Muller; one of the pair is enough here
        const double u = std::max(unit(), 1e-12);
        return std::sqrt(-2.0 * std::log(u)) * std::cos(6.283185307179586 * unit());
    }
};

const char* const kHead[] = {
    "der", "die", "und", "in", "den", "von", "zu", "das", "mit", "sich", "des", "auf", "für", "ist", "im", "dem",
    "nicht", "ein", "eine", "als", "auch", "es", "an", "the", "of", "and", "to", "Rechnung", "werden", "aus", "er",
    "hat", "dass", "sie", "nach", "wird", "bei", "Betrag", "einer", "um", "am", "sind", "noch", "wie", "Vertrag",
    "einem", "über", "so", "zum", "a", "is", "that", "for", "Zahlung", "it", "as", "was", "with", "München", "be",
    "by", "on", "not", "Kunde", "this", "are", "or", "from", "Straße", "at", "which", "but", "have", "Überweisung",
    "Lieferung", "Größe", "Versicherung", "Müller", "invoice", "payment", "Mehrwertsteuer", "Kündigung", "Köln",
    "Steuererklärung", "Finanzamt", "Bescheid", "Mietvertrag", "Nebenkosten", "Abrechnung", "Gehalt", "Lohnsteuer",
    "Krankenkasse", "Arzt", "Schröder", "Bäckerei", "Gebühr", "Frist", "Mahnung", "Angebot", "contract",
    "insurance", "receipt", "account", "balance", "statement", "delivery", "customer", "order", "shipping", "tax",
    "Düsseldorf", "Zürich", "Berlin", "Hamburg", "Januar", "Februar", "März", "April", "Mai", "Juni", "Juli",
    "August", "September", "Oktober", "November", "Dezember", "Montag", "Dienstag", "Mittwoch", "Donnerstag",
    "Freitag", "Café", "Gemüse", "Fähre", "Öffnungszeiten", "Übergabe", "Prüfung", "Bürgeramt", "Führerschein",
};
const char* const kSyllables[] = {"haus", "bau", "werk", "amt", "geld", "zeit", "land", "stadt", "buch", "post",
                                  "bahn", "netz", "feld", "berg", "wald", "see", "hof", "markt", "grün", "müll",
                                  "größ", "fähr", "öl", "über", "straß", "kühl", "bär", "löw", "tür", "schön",
                                  "wärm", "blüt", "flug", "kreis", "licht", "stein", "wasser", "feuer", "kraft",
                                  "spiel"};
const char* const kEndings[] = {"ung", "er", "ling", "heit", "keit", "schaft", "nis", "tum"};
constexpr size_t kSyllableCount = std::size(kSyllables);
constexpr size_t kEndingCount = std::size(kEndings);

// Word k of the generated compounds: two or three syllables and an ending.
std::string compound(size_t k) {
    std::string w = kSyllables[k % kSyllableCount];
    k /= kSyllableCount;
    w += kSyllables[k % kSyllableCount];
    k /= kSyllableCount;
    w += kEndings[k % kEndingCount];
    k /= kEndingCount;
    if (k > 0) w += kSyllables[(k - 1) % kSyllableCount];
    return w;
}

// Rare word k: a compound no Zipf word is, marked by a spelled-out suffix so it never prefixes another.
std::string rareWord(size_t k) { return "Selten" + compound(k) + "x"; }

struct Vocabulary {
    std::vector<std::string> words;
    std::vector<double> cumulative;  // Zipf weights 1/rank, summed

    explicit Vocabulary(size_t size) {
        for (const char* w : kHead) words.emplace_back(w);
        for (size_t k = 0; words.size() < size; ++k) words.push_back(compound(k));
        double sum = 0;
        for (size_t r = 1; r <= words.size(); ++r) cumulative.push_back(sum += 1.0 / static_cast<double>(r));
    }
    const std::string& pick(Random& random) const {
        const double u = random.unit() * cumulative.back();
        const auto at = std::upper_bound(cumulative.begin(), cumulative.end(), u) - cumulative.begin();
        return words[std::min(static_cast<size_t>(at), words.size() - 1)];
    }
};

void appendWords(std::string& text, Random& random, const Vocabulary& vocabulary, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        if (random.below(40) == 0) {
            text += "RE-" + std::to_string(10000 + random.below(90000));
        } else if (random.below(60) == 0) {
            text += std::to_string(random.below(10000)) + "," + std::to_string(10 + random.below(90)) + " €";
        } else {
            text += vocabulary.pick(random);
        }
        text += (i + 1) % 12 == 0 ? ". " : " ";
    }
}

struct Generated {
    NanItem item;
    std::string text;
};

const char* const kExtensions[] = {"txt", "docx", "rtf", "md", "odt", "txt", "jpg", "txt", "xlsx"};

Generated makeDocument(size_t index, uint64_t seed, const std::string& root, const Vocabulary& vocabulary,
                       size_t rarePool) {
    Random random{splitMix(seed ^ (index * 0x2545F4914F6CDD1DULL))};
    const bool pdf = index % 10 == 0;
    Generated g;
    if (pdf) {
        for (int page = 0; page < 20; ++page) {
            if (page > 0) g.text += '\f';
            appendWords(g.text, random, vocabulary, 120 + random.below(120));
        }
    } else {
        // Log-normal: a median of about 250 words, a few documents of thousands.
        const double words = std::exp(5.5 + 0.9 * random.normal());
        appendWords(g.text, random, vocabulary, std::clamp<size_t>(static_cast<size_t>(words), 5, 20000));
    }
    g.text += rareWord(random.below(rarePool)) + " " + rareWord(random.below(rarePool));

    const std::string folder = "Ablage " + std::to_string(index / 5000) + "/" + kSyllables[index % kSyllableCount] +
                               std::to_string(index / 100 % 50);
    const std::string name = std::string(pdf ? "Rechnung" : "Notiz") + " " + vocabulary.pick(random) + " " +
                             std::to_string(index) + "." + (pdf ? "pdf" : kExtensions[random.below(std::size(kExtensions))]);
    NanItem& item = g.item;
    item.urlString = root + "/" + folder + "/" + name;
    item.fileName = name;
    item.id = Uuid::nameBased(item.urlString);
    // 2010 to 2024, whole seconds as a file system gives them.
    item.fileModifiedDate = dateFromSecondsSince1970(1262304000.0 + static_cast<double>(random.below(473040000)));
    item.fileCreatedDate = item.fileModifiedDate;
    item.fileContentCreatedDate = item.fileModifiedDate;
    item.combinedHash = combinedHashOfNfcPath(item.urlString, item.fileModifiedDate);
    item.totalPageCount = pdf ? 20 : 1;
    item.processingState = NanItemProcessingStates::complete;
    item.rootFolderUrl = root;
    item.contentHash = contentHash(g.text);
    return g;
}

struct Options {
    std::string root;
    size_t documents = 0;
    uint64_t seed = 1;
    size_t batch = 16000;
};

bool parse(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        if (value == nullptr) return false;
        if (a == "--root") o.root = value;
        else if (a == "--documents") o.documents = std::stoull(value);
        else if (a == "--seed") o.seed = std::stoull(value);
        else if (a == "--batch") o.batch = std::max<size_t>(1, std::stoull(value));
        else return false;
        ++i;
    }
    return !o.root.empty() && o.documents > 0;
}

std::string jsonWords(const std::vector<std::string>& words) {
    std::string out = "[";
    for (size_t i = 0; i < words.size(); ++i) out += (i ? ", \"" : "\"") + words[i] + "\"";
    return out + "]";
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    if (!parse(argc, argv, o)) {
        std::fprintf(stderr, "usage: scale_index_builder --root PATH --documents N [--seed S] [--batch B]\n");
        return 2;
    }
    std::string root = platform::toNfc(o.root);
    while (root.size() > 1 && root.back() == '/') root.pop_back();
    const std::filesystem::path data = folders::folderDataDirectory(root);
    std::filesystem::create_directories(data);

    const auto started = SteadyClock::now();
    const Vocabulary vocabulary(100000);
    const size_t rarePool = std::max<size_t>(16, o.documents / 4);
    storage::SqliteFtsDatabaseBalancer fullText(data);
    storage::SqliteNumbersDatabaseBalancer numbers(data);
    std::vector<std::unique_ptr<storage::NanItemSqliteManager_v2>> items;
    for (uint32_t shard = 0; shard < storage::loadBalancerCount; ++shard) {
        items.push_back(std::make_unique<storage::NanItemSqliteManager_v2>(data, shard, root));
    }
    ThreadPool& pool = ThreadPool::shared();
    std::unordered_set<uint32_t> taken;  // a second version under one combinedHash would replace the first
    size_t written = 0, collisions = 0;
    uint64_t textBytes = 0;
    for (size_t start = 0; start < o.documents; start += o.batch) {
        const size_t count = std::min(o.batch, o.documents - start);
        auto generated = parallelMap(
            count, [&](size_t i) { return makeDocument(start + i, o.seed, root, vocabulary, rarePool); }, pool);
        struct Folded {
            std::string text;
            std::string numberTokens;
        };
        auto folded = parallelMap(
            count,
            [&](size_t i) {
                Folded f{storage::FtsTools::fold(generated[i].text), {}};
                f.numberTokens = storage::FtsTools::numberTokens(f.text);
                return f;
            },
            pool);
        std::vector<storage::FtsDocument> texts, numberRows;
        std::array<std::vector<NanItem>, storage::loadBalancerCount> byShard;
        for (size_t i = 0; i < count; ++i) {
            Generated& g = generated[i];
            if (!taken.insert(g.item.combinedHash).second) {
                ++collisions;
                continue;
            }
            textBytes += g.text.size();
            storage::FtsDocument d;
            d.urlPath = g.item.urlString;
            d.fileName = g.item.fileName;
            d.combinedHash = g.item.combinedHash;
            d.creationDate = g.item.fileCreatedDate;
            d.modificationDate = g.item.fileModifiedDate;
            d.contentCreated = g.item.fileContentCreatedDate;
            if (!folded[i].numberTokens.empty()) {
                storage::FtsDocument n = d;
                n.foldedText = std::move(folded[i].numberTokens);
                numberRows.push_back(std::move(n));
            }
            d.foldedText = std::move(folded[i].text);
            d.originalText = std::move(g.text);
            texts.push_back(std::move(d));
            byShard[storage::balancerId(g.item.combinedHash)].push_back(std::move(g.item));
        }
        bool ok = fullText.write(texts, &pool) && (numberRows.empty() || numbers.write(numberRows, &pool));
        const auto saved = parallelMap(
            storage::loadBalancerCount,
            [&](size_t shard) { return byShard[shard].empty() || items[shard]->create(byShard[shard]); }, pool);
        ok = ok && std::all_of(saved.begin(), saved.end(), [](bool b) { return b; });
        if (!ok) {
            std::fprintf(stderr, "scale_index_builder: a store write failed after %zu documents\n", written);
            return 1;
        }
        written += texts.size();
        if ((start / o.batch) % 25 == 0) {
            std::fprintf(stderr, "scale_index_builder: %zu documents, %.0f s\n", written,
                         std::chrono::duration<double>(SteadyClock::now() - started).count());
        }
    }
    // As a processing run ends: the index's segments merged for searching.
    if (!fullText.compactSegments() || !numbers.compactSegments()) {
        std::fprintf(stderr, "scale_index_builder: merging the index segments failed\n");
        return 1;
    }
    const double seconds = std::chrono::duration<double>(SteadyClock::now() - started).count();
    std::vector<std::string> rare;
    for (size_t k : {size_t{7}, rarePool / 3, rarePool / 2 + 11, rarePool - 5, size_t{1234} % rarePool, rarePool / 7,
                     rarePool / 5 + 3, rarePool * 2 / 3, rarePool * 3 / 4 + 1, rarePool / 9 + 2}) {
        rare.push_back(rareWord(k));
    }
    std::printf("{\"documents\": %zu, \"collisions_skipped\": %zu, \"seconds\": %.1f, \"text_bytes\": %llu, "
                "\"queries\": {\"rare\": %s, \"common\": %s, \"prefix\": %s}}\n",
                written, collisions, seconds, static_cast<unsigned long long>(textBytes), jsonWords(rare).c_str(),
                jsonWords({"Rechnung", "Vertrag", "Zahlung", "München", "Straße"}).c_str(),
                jsonWords({"rech", "vertr", "zahl", "münch", "über"}).c_str());
    return 0;
}

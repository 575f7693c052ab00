#include "mcp/mcp_manual.h"

#include <algorithm>
#include <utility>
#include <variant>

#include "core/app_log.h"
#include "storage/fts_tools.h"

// Defined by the files the build generates from manual/manual_de.json and manual/manual_en.json.
std::string_view lumidexManualDe();
std::string_view lumidexManualEn();

namespace lumidex::mcp {
namespace {

constexpr size_t kWordsBeforeMatch = 8;
constexpr size_t kSnippetBytes = 220;

bool isSpace(char c) { return c == ' ' || c == '\n' || c == '\t' || c == '\r'; }

struct Word {
    size_t begin;
    size_t end;
};

std::vector<Word> wordsOf(std::string_view text) {
    std::vector<Word> words;
    size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && isSpace(text[i])) ++i;
        const size_t begin = i;
        while (i < text.size() && !isSpace(text[i])) ++i;
        if (i > begin) words.push_back({begin, i});
    }
    return words;
}

// The distinct words of the folded query, in order; the first kMaxQueryTerms of them, since every term
// costs a pass over the whole manual and a question never needs more.
constexpr std::size_t kMaxQueryTerms = 16;
constexpr std::size_t kMaxQueryBytes = 1024;

std::vector<std::string> queryTerms(std::string_view query) {
    std::vector<std::string> terms;
    const std::string folded = storage::FtsTools::fold(query.substr(0, std::min(query.size(), kMaxQueryBytes)));
    for (const Word& w : wordsOf(folded)) {
        std::string term = folded.substr(w.begin, w.end - w.begin);
        if (std::find(terms.begin(), terms.end(), term) == terms.end()) terms.push_back(std::move(term));
        if (terms.size() == kMaxQueryTerms) break;
    }
    return terms;
}

int64_t occurrences(std::string_view text, std::string_view term) {
    int64_t count = 0;
    for (size_t pos = text.find(term); pos != std::string_view::npos; pos = text.find(term, pos + term.size())) {
        ++count;
    }
    return count;
}

bool wordMatches(std::string_view word, const std::vector<std::string>& terms) {
    const std::string folded = storage::FtsTools::fold(word);
    return std::any_of(terms.begin(), terms.end(),
                       [&](const std::string& t) { return folded.find(t) != std::string::npos; });
}

// Whole words of BODY around its first word that holds a term (the start of the body when only the
// title matched), with "…" where the passage is cut. Cutting at spaces keeps the UTF-8 intact.
std::string snippetOf(std::string_view body, const std::vector<std::string>& terms) {
    const std::vector<Word> words = wordsOf(body);
    if (words.empty()) return {};
    size_t hit = 0;
    while (hit < words.size() && !wordMatches(body.substr(words[hit].begin, words[hit].end - words[hit].begin), terms)) {
        ++hit;
    }
    if (hit == words.size()) hit = 0;
    const size_t first = hit > kWordsBeforeMatch ? hit - kWordsBeforeMatch : 0;
    size_t last = first;
    while (last + 1 < words.size() && words[last + 1].end - words[first].begin <= kSnippetBytes) ++last;
    // A very long first word still makes a passage.
    last = std::max(last, std::min(hit, words.size() - 1));
    std::string snippet;
    if (first > 0) snippet += "\u2026";
    for (size_t i = first; i <= last; ++i) {
        if (i > first) snippet += ' ';
        snippet += body.substr(words[i].begin, words[i].end - words[i].begin);
    }
    if (last + 1 < words.size()) snippet += "\u2026";
    return snippet;
}

bool isString(const Json& object, const char* key) { return object.contains(key) && object[key].is_string(); }

// The manual in TEXT, or the reason it cannot be read.
std::variant<ManualFile, std::string> parseManual(std::string_view text) {
    const Json json = Json::parse(text.begin(), text.end(), nullptr, false);
    if (json.is_discarded()) return std::string("not valid JSON");
    if (!json.is_object() || !isString(json, "language") || !json.contains("sections") ||
        !json["sections"].is_array()) {
        return std::string("no language or sections");
    }
    ManualFile file;
    file.language = json["language"].get<std::string>();
    if (file.language.empty()) return std::string("empty language");
    if (isString(json, "version")) file.version = json["version"].get<std::string>();
    for (const Json& section : json["sections"]) {
        if (!section.is_object() || !isString(section, "id") || !isString(section, "chapter") ||
            !isString(section, "title") || !isString(section, "body")) {
            return std::string("a section lacks id, chapter, title or body");
        }
        file.sections.push_back({section["id"].get<std::string>(), section["chapter"].get<std::string>(),
                                 section["title"].get<std::string>(), section["body"].get<std::string>()});
    }
    return file;
}

}  // namespace

const McpManualStore& McpManualStore::builtIn() {
    static const McpManualStore store = fromJson({lumidexManualDe(), lumidexManualEn()});
    return store;
}

McpManualStore McpManualStore::fromJson(const std::vector<std::string_view>& files) {
    McpManualStore store;
    for (std::string_view text : files) {
        std::variant<ManualFile, std::string> parsed = parseManual(text);
        if (const std::string* reason = std::get_if<std::string>(&parsed)) {
            appLog("[mcp] Manual file skipped (" + *reason + ", " + std::to_string(text.size()) + " bytes)");
            continue;
        }
        ManualFile file = std::get<ManualFile>(std::move(parsed));
        // A second file of the same language replaces the first: the last one given wins.
        std::erase_if(store.manuals_, [&](const ManualFile& m) { return m.language == file.language; });
        store.manuals_.push_back(std::move(file));
    }
    return store;
}

const ManualFile* McpManualStore::manual(std::string_view language) const {
    for (const ManualFile& file : manuals_) {
        if (file.language == language) return &file;
    }
    return nullptr;
}

std::vector<McpManualStore::Hit> McpManualStore::search(std::string_view query, std::string_view language,
                                                        std::size_t limit) const {
    const ManualFile* file = manual(language);
    const std::vector<std::string> terms = queryTerms(query);
    std::vector<Hit> hits;
    if (file == nullptr || terms.empty() || limit == 0) return hits;
    for (const ManualSection& section : file->sections) {
        // Folded apart so that no match spans the end of the title and the start of the body.
        const std::string title = storage::FtsTools::fold(section.title);
        const std::string body = storage::FtsTools::fold(section.body);
        int64_t count = 0;
        for (const std::string& term : terms) count += occurrences(title, term) + occurrences(body, term);
        if (count > 0) hits.push_back({&section, {}, static_cast<int>(count)});
    }
    std::stable_sort(hits.begin(), hits.end(), [](const Hit& a, const Hit& b) { return a.matchCount > b.matchCount; });
    if (hits.size() > limit) hits.resize(limit);
    for (Hit& hit : hits) hit.snippet = snippetOf(hit.section->body, terms);
    return hits;
}

}  // namespace lumidex::mcp

// The one-time re-folding of a folder's search index, run at folder start-up.
//
// Reads the folder's folding version from the settings; below the current version it refolds every
// full-text row and every rectangle text, stores the current version and logs what changed. Version 2
// added the ff/fi/fl ligature letters. Version 3 made non-ASCII punctuation and spaces separators,
// writes words with apostrophes split and joined, and composes detached accents with their letters;
// refolding stored text recovers the typographic apostrophes, punctuation and detached accents, but
// not what the old rule had already deleted (a straight apostrophe, a combining mark: "l'été" stays
// "lete", a decomposed "ä" stays "a") until the document is extracted again. Version 4 keeps long
// texts in every script (earlier versions stored a long text that was mostly not ASCII as nothing) and
// sets apart the characters of scripts written without spaces. Text stored as nothing cannot be
// refolded: the documents whose row holds only their path and name are handed to `readAgain`, which
// has them extracted again; the version is stored only once it reports success. Safe to call at every
// start: once the version is stored it does nothing. Never throws.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "core/settings/settings.h"

namespace lumidex::storage {

class SqliteFtsDatabaseBalancer;
class SqliteOcrRectsDatabaseBalancer;

struct RefoldCounts {
    int64_t fullTextRows = 0;
    int64_t ocrLines = 0;
    int64_t withoutText = 0;  // rows holding only path and name, handed to readAgain
};

inline constexpr int64_t currentFoldingVersion = 4;

// Given the combinedHashes of documents stored without text; returns false when marking them to be
// read again could not be stored.
using ReadAgain = std::function<bool(const std::vector<uint32_t>& combinedHashes)>;

// Returns the counts when a refold ran, nullopt when the index was already current.
std::optional<RefoldCounts> migrateSearchIndexFolding(Settings settings, const std::string& rootFolderUrlString,
                                                      SqliteFtsDatabaseBalancer& fullText,
                                                      SqliteOcrRectsDatabaseBalancer& ocrRects,
                                                      const ReadAgain& readAgain = {});

}  // namespace lumidex::storage

// The one-time re-folding of a folder's search index, run at folder start-up.
//
// Reads the folder's folding version from the settings; below the current version it refolds every
// full-text row and every rectangle text, stores the current version and logs what changed. Version 2
// added the ff/fi/fl ligature letters. Version 3 made non-ASCII punctuation and spaces separators,
// writes words with apostrophes split and joined, and composes detached accents with their letters;
// refolding stored text recovers the typographic apostrophes, punctuation and detached accents, but
// not what the old rule had already deleted (a straight apostrophe, a combining mark: "l'été" stays
// "lete", a decomposed "ä" stays "a") until the document is extracted again. Safe to call at every
// start: once the version is stored it does nothing. Never throws.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "core/settings/settings.h"

namespace lumidex::storage {

class SqliteFtsDatabaseBalancer;
class SqliteOcrRectsDatabaseBalancer;

struct RefoldCounts {
    int64_t fullTextRows = 0;
    int64_t ocrLines = 0;
};

inline constexpr int64_t currentFoldingVersion = 3;

// Returns the counts when a refold ran, nullopt when the index was already current.
std::optional<RefoldCounts> migrateSearchIndexFolding(Settings settings, const std::string& rootFolderUrlString,
                                                      SqliteFtsDatabaseBalancer& fullText,
                                                      SqliteOcrRectsDatabaseBalancer& ocrRects);

}  // namespace lumidex::storage

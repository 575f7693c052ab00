// The enrichments a folder was promised but has not finished, kept on disk so that a crash cannot lose
// them: a document is saved as complete before text recognition of its digital pages has run, and the
// words only recognition finds would otherwise never reach the index.
//
// One empty file per document, "<folder data directory>/enrichment_pending/<combinedHash>", made before
// the document is saved and removed once its enrichment has ended (stored, nothing missing, or failed
// for good). A cancelled enrichment leaves its file. Thread-safe (plain file operations); nothing throws.
#pragma once

#include <cstdint>
#include <filesystem>
#include <vector>

namespace lumidex::storage {

class PendingEnrichments {
public:
    explicit PendingEnrichments(const std::filesystem::path& folderDataDirectory);

    // False (the caller logs) when the file could not be made.
    bool add(uint32_t combinedHash) const;
    void remove(uint32_t combinedHash) const;
    std::vector<uint32_t> list() const;

private:
    std::filesystem::path directory_;
};

}  // namespace lumidex::storage

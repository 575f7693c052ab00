// Work a folder was promised but has not finished, kept on disk so that a crash cannot lose it: one
// file per document version, "<folder data directory>/<kind directory>/<combinedHash>", made before the
// document is saved as complete and removed once the work has ended (done, or failed for good). Work
// that was cancelled leaves its file, and the next pass takes it up. A preview or conversion marker is
// empty when made; its pass may write into it how often the work was tried in vain (attempts), so that
// a document that keeps failing is given up after a few tries, in this process or a later one. An
// enrichment marker holds its plan instead.
//
// PendingEnrichments: text recognition of a document's digital pages ("enrichment_pending"); without
// it the words only recognition finds would never reach the index. Its marker holds the plan the
// enrichment pass follows (which pages, where the content cache keeps what was recognised before), so
// that the pass needs neither the document's extraction nor the run that stored it.
// PendingPreviews: the page previews drawn after the text is stored ("preview_pending"); without it a
// document's next pages would have none until someone opens them.
// PendingConversions: the conversion of an office document to PDF, owed once its own text is stored
// ("conversion_pending"); without it the document would never get its pages, previews and the words
// only its layout shows.
//
// Thread-safe (plain file operations); nothing throws.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace lumidex::storage {

class PendingMarkers {
public:
    // A marker write cut off by a crash or kill leaves its temporary file ("<hash>.tmp-XXXXXX") behind;
    // list() removes those older than this. No marker write takes that long, so a write in progress in
    // another process is never disturbed.
    static constexpr std::chrono::minutes staleTemporaryAge{10};

    PendingMarkers(const std::filesystem::path& folderDataDirectory, std::string_view kindDirectory);

    // False (the caller logs) when the file could not be made. A marker already there starts again
    // without attempts.
    bool add(uint32_t combinedHash) const;
    // False when a file that is there could not be removed.
    bool remove(uint32_t combinedHash) const;
    bool contains(uint32_t combinedHash) const;
    // The hashes of the markers there; stale temporary files are removed on the way (never a marker).
    std::vector<uint32_t> list() const;

    // How often the work was tried in vain: what the marker holds, 0 for an empty (or unreadable) one.
    int attempts(uint32_t combinedHash) const;
    // Writes the count into the marker (making it if need be); false (the caller logs) when it could not.
    bool setAttempts(uint32_t combinedHash, int attempts) const;

protected:
    const std::filesystem::path& markerDirectory() const { return directory_; }

private:
    std::filesystem::path directory_;
};

// What an enrichment recognises and where it may find the result ready.
struct EnrichmentPlan {
    std::vector<int64_t> pages;  // 0-based, as the extraction named them; never empty in a plan read back
    std::string cacheKey;        // the content cache's key of the document's bytes; empty: none
    bool operator==(const EnrichmentPlan&) const = default;
};

class PendingEnrichments : public PendingMarkers {
public:
    explicit PendingEnrichments(const std::filesystem::path& folderDataDirectory)
        : PendingMarkers(folderDataDirectory, "enrichment_pending") {}

    using PendingMarkers::add;
    // A marker holding the plan (a key that would not survive the line format is left out).
    bool add(uint32_t combinedHash, const EnrichmentPlan& plan) const;
    // The plan a marker holds; nullopt for a marker without one (made by an earlier version), damaged
    // or gone: the document must then be read again to know its pages.
    std::optional<EnrichmentPlan> plan(uint32_t combinedHash) const;
};

class PendingPreviews : public PendingMarkers {
public:
    // The pages of a document with text of its own whose previews are drawn ahead: its first pages are
    // the ones most often opened (cover, contents, the start of the text), and most documents have no
    // more. A long manual's later pages are drawn when someone first opens them: drawn ahead, the pages
    // nobody opened made previews a quarter of the data on disk. Recognised pages all have theirs,
    // drawn from the page image the recognition needed anyway.
    static constexpr int64_t pagesAhead = 3;
    static int64_t pagesDrawnAhead(int64_t pageCount) { return std::clamp<int64_t>(pageCount, 0, pagesAhead); }

    explicit PendingPreviews(const std::filesystem::path& folderDataDirectory)
        : PendingMarkers(folderDataDirectory, "preview_pending") {}
};

class PendingConversions : public PendingMarkers {
public:
    explicit PendingConversions(const std::filesystem::path& folderDataDirectory)
        : PendingMarkers(folderDataDirectory, "conversion_pending") {}
};

}  // namespace lumidex::storage

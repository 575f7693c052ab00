// The searchable folders as every way in manages them: listing them with their kind, adding (the
// folder's access is stored, then its coordinator started when the application runs one), removing
// (only the stored access; no file or folder on disk is ever deleted), and what the index holds for a
// folder: its documents, paged, and their count per processing state.
//
// Two ways to add: `add` grants access to a folder a person chose (the command line, the window);
// `addGranted` only starts a folder whose access was granted before, since a remote client must not be
// able to make the application read folders nobody chose.
//
// Thread-safety: every member may be called from any thread (the bookmark store and the coordinators
// serialise their own work). `bookmarks` and `core` are borrowed and must outlive the service; `core`
// may be null (the one-shot command line), and then nothing is started and the contents are read from
// the stored index. Failure behaviour: failed writes come back as statuses; nothing throws except
// std::bad_alloc.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/model/nan_item.h"
#include "folders/registry/rootfolder_manager.h"

namespace lumidex::folders {
class CoreManagerData;
}

namespace lumidex::service {

struct FolderEntry {
    std::string path;  // as stored (NFC, no trailing "/")
    bool ai = false;
};

struct StoredFolder {
    folders::SecurityBookmarks::StoredBookmark bookmark;
    bool ai = false;  // only known for a bookmark in a usable state
};

enum class GrantedAddStatus { registered, noAccess, notAFolder, refused, failed };

struct GrantedAdd {
    GrantedAddStatus status = GrantedAddStatus::failed;
    FolderEntry folder;                       // when registered
    std::optional<folders::FolderAlert> alert;  // when refused
};

enum class FolderRemoval { removed, notStored, failed };

struct FolderContents {
    std::vector<NanItem> items;  // the requested page, ordered by path
    int64_t totalCount = 0;      // documents before paging
};

struct FolderStats {
    int64_t totalFiles = 0;
    std::map<std::string, int64_t> byState;  // state name (index_identity.h) -> count; no zero counts
};

class FolderService {
public:
    FolderService(folders::SecurityBookmarks& bookmarks, folders::ProtectedFolders protectedFolders,
                  folders::CoreManagerData* core = nullptr);

    // Every folder whose stored access resolves, sorted by path.
    std::vector<FolderEntry> list();
    // Every stored access with its state, also the unusable ones (for showing the list to a person).
    std::vector<StoredFolder> storedFolders();
    // The listed folder whose folder id (index_identity.h) is `id`.
    std::optional<FolderEntry> find(uint32_t id);

    // Grants access to an absolute folder path and, with a running application, starts the folder.
    folders::AddFolderResult add(std::string_view absolutePath, folders::RootFolderTypes type);
    GrantedAdd addGranted(std::string_view absolutePath, folders::RootFolderTypes type);
    // Forgets the folder (path in any spelling the normalisation maps to the stored one) and stops it.
    FolderRemoval remove(std::string_view absolutePath);

    // The folder's documents ordered by path, `offset` skipped, at most `limit`.
    FolderContents contents(const FolderEntry& folder, int64_t offset, int64_t limit);
    FolderStats stats(const FolderEntry& folder);
    // Every document of the folder, unordered: the running folder's, else what its last run stored.
    std::vector<NanItem> itemsOf(const FolderEntry& folder);

private:
    folders::RootfolderManager manager();

    folders::SecurityBookmarks& bookmarks_;
    folders::ProtectedFolders protected_;
    folders::CoreManagerData* core_;
};

}  // namespace lumidex::service

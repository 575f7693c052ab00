#include "folders/registry/root_folder_types.h"

namespace lumidex::folders {

std::optional<RootFolderTypes> rootFolderTypeFromRaw(int raw) {
    switch (raw) {
        case rawValue(RootFolderTypes::invalid):
        case rawValue(RootFolderTypes::searchableFolder):
        case rawValue(RootFolderTypes::isAliasBookmark):
        case rawValue(RootFolderTypes::aiFolder):
        case rawValue(RootFolderTypes::appleMailSource):
            return static_cast<RootFolderTypes>(raw);
        default:
            return std::nullopt;
    }
}

}  // namespace lumidex::folders

#include "storage/sort_key_memo.h"

#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <system_error>

#include "core/app_log.h"
#include "core/atomic_file.h"
#include "core/model/date.h"
#include "storage/first_positions.h"
#include "storage/nan_item_sqlite_manager.h"

namespace lumidex::storage {
namespace {

constexpr char kMagic[8] = {'L', 'X', 'S', 'K', 'E', 'Y', 'S', '1'};

struct Header {
    char magic[8];
    uint32_t count;
    uint32_t nameBytes;
};

struct Entry {
    uint32_t combinedHash;
    uint32_t nameOffset;
    uint32_t nameSize;
    uint32_t unused;
    double seconds;
};

static_assert(sizeof(Header) == 16 && sizeof(Entry) == 24, "the file layout");

// A whole memo as read, or nothing: a file that is missing, cut short or of another layout is not one.
struct Memo {
    std::shared_ptr<const std::string> bytes;
    uint32_t count = 0;
    uint32_t nameBytes = 0;

    Entry entry(size_t i) const {
        Entry e;
        std::memcpy(&e, bytes->data() + sizeof(Header) + i * sizeof(Entry), sizeof(Entry));
        return e;
    }
    const char* names() const { return bytes->data() + sizeof(Header) + size_t{count} * sizeof(Entry); }
    // False for an entry whose name lies outside the file (a damaged file).
    bool nameInside(const Entry& e) const { return e.nameOffset <= nameBytes && e.nameSize <= nameBytes - e.nameOffset; }
};

std::optional<Memo> readMemo(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary | std::ios::ate);
    if (!in) return std::nullopt;
    const std::streamoff size = in.tellg();
    if (size < static_cast<std::streamoff>(sizeof(Header))) return std::nullopt;
    auto bytes = std::make_shared<std::string>(static_cast<size_t>(size), '\0');
    in.seekg(0);
    if (!in.read(bytes->data(), size)) return std::nullopt;
    Header header;
    std::memcpy(&header, bytes->data(), sizeof(Header));
    if (std::memcmp(header.magic, kMagic, sizeof(kMagic)) != 0) return std::nullopt;
    const uint64_t expected = sizeof(Header) + uint64_t{header.count} * sizeof(Entry) + header.nameBytes;
    if (expected != static_cast<uint64_t>(size)) return std::nullopt;
    return Memo{std::move(bytes), header.count, header.nameBytes};
}

// Entries and names of a memo being written.
struct MemoWriter {
    std::string entries;
    std::string names;
    uint32_t count = 0;

    void add(uint32_t combinedHash, double seconds, std::string_view name) {
        const Entry e{combinedHash, static_cast<uint32_t>(names.size()), static_cast<uint32_t>(name.size()), 0, seconds};
        entries.append(reinterpret_cast<const char*>(&e), sizeof(e));
        names.append(name);
        ++count;
    }
    // Names of 4 GiB would not fit the offsets; no shard comes near it.
    bool fits() const { return names.size() < (uint64_t{1} << 32); }

    void write(const std::filesystem::path& file) const {
        if (!fits()) return;
        Header header;
        std::memcpy(header.magic, kMagic, sizeof(kMagic));
        header.count = count;
        header.nameBytes = static_cast<uint32_t>(names.size());
        std::string bytes;
        bytes.reserve(sizeof(header) + entries.size() + names.size());
        bytes.append(reinterpret_cast<const char*>(&header), sizeof(header));
        bytes += entries;
        bytes += names;
        std::error_code ec;
        std::filesystem::create_directories(file.parent_path(), ec);
        if (auto failed = writeFileAtomically(file, bytes, defaultFilePermissions, FileDurability::cache)) {
            // A cache: searching goes on without it. Said once per file and process.
            static std::mutex mutex;
            static std::set<std::string> said;
            std::lock_guard lock(mutex);
            if (said.insert(file.string()).second) appLog("sort key cache not written: " + failed->message());
        }
    }
};

}  // namespace

ItemSortKeys SortKeyMemo::sortKeys(NanItemSqliteManager_v2& store, const std::vector<uint32_t>& combinedHashes) {
    const int64_t rows = store.isOpen() ? store.rowsEstimate() : 0;
    if (rows <= 0 || static_cast<int64_t>(combinedHashes.size()) * 4 < rows) {
        return store.sortKeysForCombinedHashes(combinedHashes);
    }
    ItemSortKeys result;
    result.keys.resize(combinedHashes.size());
    const FirstPositions positionOf(combinedHashes);

    std::optional<Memo> memo = readMemo(file_);
    // Grown well beyond the table: versions removed since are most of it.
    if (memo && memo->count > 2 * static_cast<uint64_t>(rows) + 1024) memo.reset();
    if (memo) {
        for (size_t i = 0; i < memo->count; ++i) {
            const Entry e = memo->entry(i);
            const std::optional<uint32_t> at = positionOf.find(e.combinedHash);
            if (!at) continue;
            if (!memo->nameInside(e)) {
                memo.reset();
                break;
            }
            result.keys[*at] = {std::string_view(memo->names() + e.nameOffset, e.nameSize),
                                dateFromSecondsSince1970(e.seconds), true};
        }
        if (!memo) result.keys.assign(combinedHashes.size(), {});
    }
    std::vector<uint32_t> unknown;
    for (size_t i = 0; i < combinedHashes.size(); ++i) {
        if (!result.keys[i].found && *positionOf.find(combinedHashes[i]) == i) unknown.push_back(combinedHashes[i]);
    }

    if (!memo || static_cast<int64_t>(unknown.size()) * 4 >= rows) {
        // Made again from one pass over the table, which answers the keys too.
        memo.reset();
        result.keys.assign(combinedHashes.size(), {});
        MemoWriter writer;
        std::vector<std::pair<uint32_t, uint32_t>> nameOf(combinedHashes.size());  // offset, size
        const bool whole = store.forEachSortKey([&](uint32_t combinedHash, double modified, std::string_view name) {
            if (const std::optional<uint32_t> at = positionOf.find(combinedHash)) {
                nameOf[*at] = {static_cast<uint32_t>(writer.names.size()), static_cast<uint32_t>(name.size())};
                result.keys[*at].fileModifiedDate = dateFromSecondsSince1970(modified);
                result.keys[*at].found = true;
            }
            writer.add(combinedHash, modified, name);
        });
        if (whole) writer.write(file_);
        // Views into the finished names only: appending may have moved them.
        auto names = std::make_shared<const std::string>(std::move(writer.names));
        for (size_t i = 0; i < combinedHashes.size(); ++i) {
            if (result.keys[i].found) result.keys[i].fileName = std::string_view(*names).substr(nameOf[i].first, nameOf[i].second);
        }
        result.nameBuffers.push_back(std::move(names));
    } else if (!unknown.empty()) {
        ItemSortKeys more = store.sortKeysForCombinedHashes(unknown);
        MemoWriter writer;
        for (size_t j = 0; j < unknown.size() && j < more.keys.size(); ++j) {
            if (!more.keys[j].found) continue;
            result.keys[*positionOf.find(unknown[j])] = more.keys[j];
            writer.add(unknown[j], secondsSince1970(more.keys[j].fileModifiedDate), more.keys[j].fileName);
        }
        if (writer.count > 0) {
            // The remembered entries, then the new ones with their names after the remembered names.
            MemoWriter merged;
            merged.entries.assign(memo->bytes->data() + sizeof(Header), size_t{memo->count} * sizeof(Entry));
            merged.names.assign(memo->names(), memo->nameBytes);
            merged.count = memo->count;
            for (size_t k = 0; k < writer.count; ++k) {
                Entry e;
                std::memcpy(&e, writer.entries.data() + k * sizeof(Entry), sizeof(Entry));
                merged.add(e.combinedHash, e.seconds, std::string_view(writer.names).substr(e.nameOffset, e.nameSize));
            }
            merged.write(file_);
        }
        for (auto& buffer : more.nameBuffers) result.nameBuffers.push_back(std::move(buffer));
    }
    if (memo) result.nameBuffers.push_back(memo->bytes);

    // A version asked for twice has the keys of its first position.
    for (size_t i = 0; i < combinedHashes.size(); ++i) {
        const uint32_t first = *positionOf.find(combinedHashes[i]);
        if (first != i) result.keys[i] = result.keys[first];
    }
    return result;
}

}  // namespace lumidex::storage

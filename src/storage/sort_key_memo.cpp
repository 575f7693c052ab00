#include "storage/sort_key_memo.h"

#include <sys/stat.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
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

constexpr char kMagic[8] = {'L', 'X', 'S', 'K', 'E', 'Y', 'S', '2'};

// What changes whenever the shard is written: its database file and its write-ahead log.
struct Stamp {
    uint64_t databaseSize = 0;
    int64_t databaseModified = 0;  // nanoseconds
    uint64_t databaseInode = 0;
    uint64_t logSize = 0;
    int64_t logModified = 0;

    bool operator==(const Stamp&) const = default;
};

struct Header {
    char magic[8];
    uint32_t count;
    uint32_t nameBytes;
    Stamp stamp;
    uint64_t checksum;  // of the entries and names
};

struct Entry {
    uint32_t combinedHash;
    uint32_t nameOffset;
    uint32_t nameSize;
    uint32_t unused;
    double seconds;
};

static_assert(sizeof(Stamp) == 40 && sizeof(Header) == 64 && sizeof(Entry) == 24, "the file layout");

std::optional<Stamp> stampOf(const std::filesystem::path& shardFile) {
    struct stat database {};
    if (::stat(shardFile.c_str(), &database) != 0) return std::nullopt;
    Stamp stamp;
    stamp.databaseSize = static_cast<uint64_t>(database.st_size);
    stamp.databaseModified = int64_t{database.st_mtim.tv_sec} * 1000000000 + database.st_mtim.tv_nsec;
    stamp.databaseInode = static_cast<uint64_t>(database.st_ino);
    struct stat log {};
    if (::stat((shardFile.string() + "-wal").c_str(), &log) == 0) {
        stamp.logSize = static_cast<uint64_t>(log.st_size);
        stamp.logModified = int64_t{log.st_mtim.tv_sec} * 1000000000 + log.st_mtim.tv_nsec;
    }
    return stamp;
}

// Cheap enough to check on every read (a word at a time), and catches blocks lost or zeroed after a crash.
uint64_t checksumOf(std::string_view bytes) {
    uint64_t sum = 0x9E3779B97F4A7C15ull;
    size_t at = 0;
    for (; at + 8 <= bytes.size(); at += 8) {
        uint64_t word;
        std::memcpy(&word, bytes.data() + at, 8);
        sum = (sum ^ word) * 0x100000001B3ull;
        sum ^= sum >> 29;
    }
    for (; at < bytes.size(); ++at) sum = (sum ^ static_cast<unsigned char>(bytes[at])) * 0x100000001B3ull;
    return sum;
}

// Memos are read into one buffer per thread, kept between reads up to this size: a search reads the
// memo of every shard, and fresh pages for each cost more than reading it.
constexpr size_t kKeptReadBufferBytes = size_t{1} << 20;

struct ReadBuffer {
    std::unique_ptr<char[]> bytes;  // not zero-filled: every byte used is read from the file first
    size_t size = 0;
};
thread_local ReadBuffer readBuffer;

char* readBufferOf(size_t size) {
    if (readBuffer.size < size) {
        readBuffer = ReadBuffer{};  // the old one goes first; a failed allocation leaves none
        readBuffer.bytes = std::make_unique_for_overwrite<char[]>(size);
        readBuffer.size = size;
    }
    return readBuffer.bytes.get();
}

struct TrimReadBufferOnExit {
    ~TrimReadBufferOnExit() {
        if (readBuffer.size > kKeptReadBufferBytes) readBuffer = ReadBuffer{};
    }
};

// A whole memo of the shard as it is now, or nothing. Its bytes are this thread's read buffer: valid
// until the next read on the thread, so the keys wanted are copied out of it.
struct Memo {
    const char* bytes = nullptr;
    uint32_t count = 0;
    uint32_t nameBytes = 0;

    Entry entry(size_t i) const {
        Entry e;
        std::memcpy(&e, bytes + sizeof(Header) + i * sizeof(Entry), sizeof(Entry));
        return e;
    }
    const char* names() const { return bytes + sizeof(Header) + size_t{count} * sizeof(Entry); }
    bool sound(const Entry& e) const {
        return e.nameOffset <= nameBytes && e.nameSize <= nameBytes - e.nameOffset && std::isfinite(e.seconds);
    }
};

std::optional<Memo> readMemo(const std::filesystem::path& file, const Stamp& stamp, uint64_t maxCount) {
    std::ifstream in(file, std::ios::binary | std::ios::ate);
    if (!in) return std::nullopt;
    const std::streamoff size = in.tellg();
    Header header;
    if (size < static_cast<std::streamoff>(sizeof(Header)) || !in.seekg(0) ||
        !in.read(reinterpret_cast<char*>(&header), sizeof(Header))) {
        return std::nullopt;
    }
    // Checked before the rest is read: a stale or foreign file costs its header only.
    if (std::memcmp(header.magic, kMagic, sizeof(kMagic)) != 0 || !(header.stamp == stamp) || header.count > maxCount) {
        return std::nullopt;
    }
    const uint64_t expected = sizeof(Header) + uint64_t{header.count} * sizeof(Entry) + header.nameBytes;
    if (expected != static_cast<uint64_t>(size)) return std::nullopt;
    char* bytes = readBufferOf(static_cast<size_t>(size));
    std::memcpy(bytes, &header, sizeof(Header));
    if (!in.read(bytes + sizeof(Header), size - static_cast<std::streamoff>(sizeof(Header)))) return std::nullopt;
    const Memo memo{bytes, header.count, header.nameBytes};
    const std::string_view rest(bytes + sizeof(Header), static_cast<size_t>(size) - sizeof(Header));
    if (checksumOf(rest) != header.checksum) return std::nullopt;
    return memo;
}

// Entries and names of a memo being written.
struct MemoWriter {
    std::string entries;
    std::string names;
    uint32_t count = 0;
    bool fits = true;  // offsets are 32 bits; no shard's names come near 4 GiB

    void add(uint32_t combinedHash, double seconds, std::string_view name) {
        if (names.size() + name.size() >= (uint64_t{1} << 32)) fits = false;
        if (!fits) return;
        const Entry e{combinedHash, static_cast<uint32_t>(names.size()), static_cast<uint32_t>(name.size()), 0, seconds};
        entries.append(reinterpret_cast<const char*>(&e), sizeof(e));
        names.append(name);
        ++count;
    }

    void write(const std::filesystem::path& file, const Stamp& stamp) const {
        if (!fits) return;
        Header header{};
        std::memcpy(header.magic, kMagic, sizeof(kMagic));
        header.count = count;
        header.nameBytes = static_cast<uint32_t>(names.size());
        header.stamp = stamp;
        std::string bytes;
        bytes.reserve(sizeof(header) + entries.size() + names.size());
        bytes.append(sizeof(header), '\0');
        bytes += entries;
        bytes += names;
        header.checksum = checksumOf(std::string_view(bytes).substr(sizeof(Header)));
        std::memcpy(bytes.data(), &header, sizeof(header));
        std::error_code ec;
        std::filesystem::create_directories(file.parent_path(), ec);
        if (auto failed = writeFileAtomically(file, bytes, defaultFilePermissions, FileDurability::cache)) {
            // A cache: searching goes on without it. Said once per process, not for each of its shards.
            static std::once_flag said;
            std::call_once(said, [&] { appLog("sort key cache not written: " + failed->message()); });
        }
    }
};

}  // namespace

ItemSortKeys SortKeyMemo::sortKeys(NanItemSqliteManager_v2& store, const std::vector<uint32_t>& combinedHashes) {
    const int64_t rows = store.isOpen() ? store.rowsEstimate() : 0;
    if (rows <= 0 || static_cast<int64_t>(combinedHashes.size()) * 4 < rows) {
        return store.sortKeysForCombinedHashes(combinedHashes);
    }
    const std::optional<Stamp> stamp = stampOf(shardFile_);
    if (!stamp) return store.sortKeysForCombinedHashes(combinedHashes);
    ItemSortKeys result;
    result.keys.resize(combinedHashes.size());
    const FirstPositions positionOf(combinedHashes);

    // Row ids only grow, so a copy of the table has at most as many entries as the highest one.
    const TrimReadBufferOnExit trim;
    std::optional<Memo> memo = readMemo(file_, *stamp, static_cast<uint64_t>(rows));
    if (memo) {
        // A copy of the whole table: a version it does not hold is not in the table either. Rows are in
        // row id order, so of two rows of one version the later wins, as in the table's own answers.
        for (size_t i = 0; i < memo->count; ++i) {
            const Entry e = memo->entry(i);
            const std::optional<uint32_t> at = positionOf.find(e.combinedHash);
            if (!at) continue;
            if (!memo->sound(e)) {
                memo.reset();
                break;
            }
            result.keys[*at] = {std::string_view(memo->names() + e.nameOffset, e.nameSize),
                                dateFromSecondsSince1970(e.seconds), true};
        }
        if (memo) {
            // Only the names asked for outlive the memo. Reserved whole, so the views stay put.
            size_t nameBytes = 0;
            for (const ItemSortKeys::Key& key : result.keys) nameBytes += key.fileName.size();
            auto names = std::make_shared<std::string>();
            names->reserve(nameBytes);
            for (ItemSortKeys::Key& key : result.keys) {
                if (!key.found) continue;
                const size_t offset = names->size();
                names->append(key.fileName);
                key.fileName = std::string_view(*names).substr(offset);
            }
            result.nameBuffers.push_back(std::move(names));
        }
    }
    if (!memo) {
        // One pass over the table answers the keys and makes the copy again.
        result.keys.assign(combinedHashes.size(), {});
        MemoWriter writer;
        std::vector<std::pair<size_t, size_t>> nameOf(combinedHashes.size());  // offset, size
        const bool whole = store.forEachSortKey([&](uint32_t combinedHash, double modified, std::string_view name) {
            if (const std::optional<uint32_t> at = positionOf.find(combinedHash)) {
                nameOf[*at] = {writer.names.size(), name.size()};
                result.keys[*at].fileModifiedDate = dateFromSecondsSince1970(modified);
                result.keys[*at].found = true;
            }
            writer.add(combinedHash, modified, name);
        });
        // A write while the table was read through would leave a copy that is not of any one moment.
        if (whole && stampOf(shardFile_) == stamp) writer.write(file_, *stamp);
        if (!writer.fits) {
            // Names were left out of the copy: read the keys the ordinary way.
            return store.sortKeysForCombinedHashes(combinedHashes);
        }
        // Views into the finished names only: appending may have moved them.
        auto names = std::make_shared<const std::string>(std::move(writer.names));
        for (size_t i = 0; i < combinedHashes.size(); ++i) {
            if (result.keys[i].found) result.keys[i].fileName = std::string_view(*names).substr(nameOf[i].first, nameOf[i].second);
        }
        result.nameBuffers.push_back(std::move(names));
    }

    // A version asked for twice has the keys of its first position.
    for (size_t i = 0; i < combinedHashes.size(); ++i) {
        const uint32_t first = *positionOf.find(combinedHashes[i]);
        if (first != i) result.keys[i] = result.keys[first];
    }
    return result;
}

}  // namespace lumidex::storage

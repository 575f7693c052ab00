#include "platform/file_tree.h"

#include <fstream>
#include <map>

namespace lumidex::platform {
namespace fs = std::filesystem;

namespace {

bool sameFileBytes(const fs::path& a, const fs::path& b) {
    std::ifstream left(a, std::ios::binary);
    std::ifstream right(b, std::ios::binary);
    if (!left || !right) return false;
    char x[65536];
    char y[65536];
    while (left && right) {
        left.read(x, sizeof x);
        right.read(y, sizeof y);
        if (left.gcount() != right.gcount() || !std::equal(x, x + left.gcount(), y)) return false;
    }
    return left.eof() && right.eof();
}

// Relative path -> entry status, or false when the tree could not be listed completely.
bool listTree(const fs::path& root, std::map<fs::path, fs::file_status>& entries) {
    std::error_code ec;
    const fs::file_status top = fs::symlink_status(root, ec);
    if (ec) return false;
    entries[fs::path(".")] = top;
    if (!fs::is_directory(top)) return true;
    fs::recursive_directory_iterator it(root, fs::directory_options::none, ec);
    for (; !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        const fs::file_status status = it->symlink_status(ec);
        if (ec) return false;
        entries[it->path().lexically_relative(root)] = status;
    }
    return !ec;
}

}  // namespace

std::error_code copyTree(const fs::path& from, const fs::path& to) {
    std::error_code ec;
    if (fs::exists(fs::symlink_status(to, ec))) return std::make_error_code(std::errc::file_exists);
    fs::copy(from, to, fs::copy_options::recursive | fs::copy_options::copy_symlinks, ec);
    if (ec) {
        std::error_code ignored;
        fs::remove_all(to, ignored);
    }
    return ec;
}

bool sameTree(const fs::path& original, const fs::path& copy) {
    std::map<fs::path, fs::file_status> a;
    std::map<fs::path, fs::file_status> b;
    if (!listTree(original, a) || !listTree(copy, b) || a.size() != b.size()) return false;
    for (auto left = a.begin(), right = b.begin(); left != a.end(); ++left, ++right) {
        if (left->first != right->first || left->second.type() != right->second.type()) return false;
        const fs::path x = left->first == "." ? original : original / left->first;
        const fs::path y = right->first == "." ? copy : copy / right->first;
        std::error_code ec1, ec2;
        switch (left->second.type()) {
            case fs::file_type::regular:
                if (fs::file_size(x, ec1) != fs::file_size(y, ec2) || ec1 || ec2 || !sameFileBytes(x, y)) return false;
                break;
            case fs::file_type::symlink:
                if (fs::read_symlink(x, ec1) != fs::read_symlink(y, ec2) || ec1 || ec2) return false;
                break;
            default: break;
        }
    }
    return true;
}

}  // namespace lumidex::platform

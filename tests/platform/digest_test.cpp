#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <set>
#include <thread>

#include <sys/wait.h>
#include <unistd.h>

#include "platform/digest.h"
#include "support/temp_home.h"

namespace lumidex::platform {
namespace {

template <size_t N>
std::string hex(const std::array<uint8_t, N>& bytes) {
    std::string out;
    char buffer[3];
    for (uint8_t b : bytes) {
        std::snprintf(buffer, sizeof buffer, "%02x", b);
        out += buffer;
    }
    return out;
}

TEST(Digest, KnownVectors) {
    EXPECT_EQ(hex(md5("")), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(hex(md5("abc")), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(hex(sha256("")), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(hex(sha256("abc")), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    const std::array<uint8_t, 3> abc{'a', 'b', 'c'};
    EXPECT_EQ(md5(std::span<const uint8_t>(abc)), md5("abc"));
    EXPECT_EQ(sha256(std::span<const uint8_t>(abc)), sha256("abc"));
    // Embedded NUL bytes are data.
    EXPECT_NE(md5(std::string_view("a\0b", 3)), md5("a"));
}

TEST(Digest, FileDigestEqualsTheDigestOfItsBytesAcrossReadChunks) {
    lumidex::testing::TempDir dir;
    std::string bytes;
    for (int i = 0; bytes.size() < (3u << 20) + 17; ++i) bytes += std::to_string(i) + '\0';
    std::ofstream(dir / "big.bin", std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    std::ofstream(dir / "empty.bin", std::ios::binary);
    const auto big = sha256OfFile(dir / "big.bin");
    ASSERT_TRUE(big.has_value());
    EXPECT_EQ(big->size, bytes.size());
    EXPECT_EQ(big->sha256, sha256(bytes));
    const auto empty = sha256OfFile(dir / "empty.bin");
    ASSERT_TRUE(empty.has_value());
    EXPECT_EQ(empty->size, 0u);
    EXPECT_EQ(empty->sha256, sha256(""));
    EXPECT_FALSE(sha256OfFile(dir / "missing.bin").has_value());
    EXPECT_FALSE(sha256OfFile(dir.path()).has_value());  // a folder is not read as a file
}

TEST(Digest, RandomBytesDiffer) {
    std::set<std::array<uint8_t, 16>> seen;
    for (int i = 0; i < 100; ++i) {
        std::array<uint8_t, 16> buffer{};
        fillRandom(buffer);
        seen.insert(buffer);
    }
    EXPECT_EQ(seen.size(), 100u);
    fillRandom(std::span<uint8_t>());  // empty is fine
}

// The fast generator's values must not repeat where its state is copied or shared: in another thread,
// or in a forked child, which starts with a copy of the forking thread's state.
TEST(Digest, UniqueBytesDifferAcrossThreadsAndAForkedChild) {
    const auto next = [] {
        std::array<uint8_t, 16> value{};
        fillUnique(value);
        return value;
    };
    std::set<std::array<uint8_t, 16>> seen;
    for (int i = 0; i < 1000; ++i) seen.insert(next());
    EXPECT_EQ(seen.size(), 1000u);
    // Two threads' first values: a seed from anything but the secure source would make them equal.
    std::array<uint8_t, 16> first{}, second{};
    std::thread([&] { first = next(); }).join();
    std::thread([&] { second = next(); }).join();
    EXPECT_NE(first, second);

    int pipeEnds[2];
    ASSERT_EQ(::pipe(pipeEnds), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const auto value = next();
        const bool written = ::write(pipeEnds[1], value.data(), value.size()) == static_cast<ssize_t>(value.size());
        ::_exit(written ? 0 : 1);
    }
    ::close(pipeEnds[1]);  // a child that dies before writing ends the read
    const auto parentValue = next();
    std::array<uint8_t, 16> childValue{};
    size_t got = 0;
    for (ssize_t n; got < childValue.size() && (n = ::read(pipeEnds[0], childValue.data() + got, childValue.size() - got)) > 0;) {
        got += static_cast<size_t>(n);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    ::close(pipeEnds[0]);
    ASSERT_EQ(got, childValue.size());
    EXPECT_NE(childValue, parentValue);
    EXPECT_FALSE(seen.contains(childValue));
    std::array<uint8_t, 5> odd{};
    fillUnique(odd);  // a length that is not a whole number of words is filled
}

}  // namespace
}  // namespace lumidex::platform

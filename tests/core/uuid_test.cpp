#include <gtest/gtest.h>

#include <set>
#include <unordered_set>

#include "core/uuid.h"

namespace lumidex {
namespace {

TEST(Uuid, StringFormRoundTrips) {
    const auto id = Uuid::parse("e621e1f8-c36c-495a-93fc-0c247a3e6e5f");
    ASSERT_TRUE(id.has_value());
    EXPECT_EQ(id->toString(), "E621E1F8-C36C-495A-93FC-0C247A3E6E5F");
    EXPECT_EQ(Uuid::parse(id->toString()), id);
    EXPECT_EQ(id->bytes()[0], 0xE6);
    EXPECT_EQ(id->bytes()[15], 0x5F);
    EXPECT_EQ(Uuid().toString(), "00000000-0000-0000-0000-000000000000");
    EXPECT_TRUE(Uuid().isNil());
}

TEST(Uuid, ParseRejectsMalformedText) {
    for (const char* bad : {"", "E621E1F8C36C495A93FC0C247A3E6E5F", "E621E1F8-C36C-495A-93FC-0C247A3E6E5",
                            "E621E1F8-C36C-495A-93FC-0C247A3E6E5FF", "G621E1F8-C36C-495A-93FC-0C247A3E6E5F",
                            "E621E1F8-C36C+495A-93FC-0C247A3E6E5F", "{E621E1F8-C36C-495A-93FC-0C247A3E6E5}",
                            " E621E1F8-C36C-495A-93FC-0C247A3E6E5"}) {
        EXPECT_FALSE(Uuid::parse(bad).has_value()) << bad;
    }
}

TEST(Uuid, RandomIsVersion4AndUnique) {
    std::unordered_set<Uuid> seen;
    for (int i = 0; i < 1000; ++i) {
        const Uuid id = Uuid::random();
        EXPECT_EQ(id.bytes()[6] >> 4, 4);
        EXPECT_EQ(id.bytes()[8] & 0xC0, 0x80);
        seen.insert(id);
    }
    EXPECT_EQ(seen.size(), 1000u);
}

TEST(Uuid, NameBasedIsStableAndNfcInsensitive) {
    const Uuid composed = Uuid::nameBased("/home/a/Dokumente/\xC3\x84rger.pdf");
    EXPECT_EQ(composed.toString(), "A6FAD1FF-2AF0-3EE4-A34F-3700EFB21508");
    EXPECT_EQ(Uuid::nameBased("/home/a/Dokumente/A\xCC\x88rger.pdf"), composed);
    EXPECT_EQ(composed.bytes()[6] >> 4, 3);
    EXPECT_EQ(composed.bytes()[8] & 0xC0, 0x80);
    EXPECT_NE(Uuid::nameBased("/home/a/Dokumente/Arger.pdf"), composed);
}

TEST(Uuid, OrderingFollowsBytes) {
    const Uuid low = *Uuid::parse("00000000-0000-0000-0000-0000000000FF");
    const Uuid high = *Uuid::parse("01000000-0000-0000-0000-000000000000");
    EXPECT_LT(low, high);
    std::set<Uuid> ordered{high, low, high};
    EXPECT_EQ(ordered.size(), 2u);
    EXPECT_EQ(*ordered.begin(), low);
}

}  // namespace
}  // namespace lumidex

#include <gtest/gtest.h>

#include "mail/mail_fts_query.h"

namespace lumidex::mail {
namespace {

TEST(MailFtsQuery, BuildsPrefixTermsPhrasesAndJoinedAlternatives) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"invoice 2024", "invoice* 2024*"},
        {"e-mail", "(\"e mail*\" OR email*)"},
        {"a", "a"},
        {"2024-01", "\"2024 01\""},
        // The last word of a phrase is a prefix only when it is a word of two characters or more.
        {"ab-c", "(\"ab c\" OR abc*)"},
        {"x-1", "\"x 1\""},
        {"Müller-Lüdenscheidt", "(\"Müller Lüdenscheidt*\" OR MüllerLüdenscheidt*)"},
        // Umlauts written with a combining mark are one letter, not a word break.
        {"Mu\xCC\x88ller", "Müller*"},
        {"ö", "ö"},
        // The user's quotes, stars, parentheses and operators never reach the MATCH syntax.
        {"\"Rechnung\" (OR) *", "Rechnung* OR*"},
        {"foo\" bar", "foo* bar*"},
        {"--- !! \"\"", ""},
        {" \t\n  ", ""},
        {"\xC2\xA0Rechnung\xE2\x80\x83" "2024\n", "Rechnung* 2024*"},
        {"\xFF\xFEx", "x"},
    };
    for (const auto& [query, expected] : cases) EXPECT_EQ(mailFtsMatchExpression(query), expected) << query;
}

TEST(MailFtsQuery, TrimsUnicodeSpaceAndEscapesLikePatterns) {
    EXPECT_EQ(trimMailQuery("\xE2\x80\x83 a b\n\t"), "a b");
    EXPECT_EQ(trimMailQuery("\n"), "");
    EXPECT_EQ(mailFtsLikePattern("50%_a\\b"), "%50\\%\\_a\\\\b%");
    EXPECT_EQ(mailFtsLikePattern("abc"), "%abc%");
}

// Others compute the same value from the same text (the indexer's fingerprint uses it for mailbox URLs).
TEST(MailFtsQuery, ContentHashIsTheLittleEndianHeadOfSha256) {
    EXPECT_EQ(mailContentHash(""), 1449310910991872227);
    EXPECT_EQ(mailContentHash("abc"), -1527000031757436742);
    EXPECT_EQ(mailContentHash("Grüße"), 4198980577673821944);
}

}  // namespace
}  // namespace lumidex::mail

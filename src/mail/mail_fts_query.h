// Pure text helpers of the mail full-text store: the MATCH expression a typed query becomes, the
// LIKE pattern of its substring fallback, and the content hash stored beside each message.
// Thread-safe, never throw (except std::bad_alloc); any input, ill-formed UTF-8 included, is accepted.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace lumidex::mail {

// The query without leading and trailing white space and line breaks (Unicode spaces included).
std::string trimMailQuery(std::string_view query);

// The FTS4 MATCH expression for a typed query; "" when it holds no letter or digit. Tokens (split at
// white space) must all match. A token is cut into words at every character that is neither a letter
// nor a digit; one word becomes a prefix term ("invoice*", but "a" stays "a"), several words a phrase
// whose last word is a prefix when it holds a letter, OR'ed with the words written together when
// every word holds a letter: "e-mail" -> ("e mail*" OR email*), "2024-01" -> "2024 01".
// The result never contains a quote, a star or a parenthesis of the user's, so it always parses.
std::string mailFtsMatchExpression(std::string_view query);

// "%" + query + "%" for LIKE ... ESCAPE '\', with the query's "\", "%" and "_" escaped.
std::string mailFtsLikePattern(std::string_view trimmedQuery);

// The first 8 bytes of the SHA-256 digest of the UTF-8 text, read as a little-endian signed integer.
int64_t mailContentHash(std::string_view content);

}  // namespace lumidex::mail

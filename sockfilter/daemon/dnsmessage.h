// The little the daemon needs to know about DNS messages: the name a query
// asks for (for the white lists) and error answers it builds itself when it
// cannot forward a query. Pure functions, any thread.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "common/hxttypes.h"

namespace hxt::sockfilter {

constexpr std::size_t kDnsHeaderSize = 12;
constexpr u8 kRcodeFormErr = 1;
constexpr u8 kRcodeServFail = 2;

// The first question's name, lower case, labels joined by dots, without the
// root's trailing dot ("" for the root). False when the message holds no
// readable question, or a label holds a dot or a control byte (such a name
// could pose as another one once its labels are joined).
bool ReadQueryName(const u8* message, std::size_t size, std::string& name);

// Whether two messages ask the same first question (name without case, type
// and class). An answer that does not repeat its query's question is not an
// answer to it.
bool SameQuestion(const u8* query, std::size_t querySize, const u8* answer, std::size_t answerSize);

// A white-list entry in the form MatchesWhiteList compares: lower case,
// without a leading "*." or "." and a trailing ".", so that "example.com",
// "*.example.com" and ".example.com." are all "example.com". False (the entry
// is ignored) when nothing is left or a label is empty, too long or holds a
// control byte.
bool NormaliseWhiteListEntry(const std::string& entry, std::string& normalised);

// Whether `name` is an entry of `whiteList` (normalised entries) or lies
// below one: "example.com" covers "example.com" and "www.example.com" but not
// "badexample.com".
bool MatchesWhiteList(const std::string& name, const std::vector<std::string>& whiteList);

// An answer with `rcode` to `query`: its id, its question (when readable) and
// the response and recursion-available bits. Empty when the query is shorter
// than a DNS header.
std::vector<u8> MakeErrorAnswer(const u8* query, std::size_t size, u8 rcode);

}  // namespace hxt::sockfilter

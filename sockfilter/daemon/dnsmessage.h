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
// readable question.
bool ReadQueryName(const u8* message, std::size_t size, std::string& name);

// Whether `name` is an entry of `whiteList` or lies below one. Entries are
// compared without case; a leading "*." or "." and a trailing "." are ignored,
// so "example.com", "*.example.com" and ".example.com." all cover
// "example.com" and "www.example.com" but not "badexample.com".
bool MatchesWhiteList(const std::string& name, const std::vector<std::string>& whiteList);

// An answer with `rcode` to `query`: its id, its question (when readable) and
// the response and recursion-available bits. Empty when the query is shorter
// than a DNS header.
std::vector<u8> MakeErrorAnswer(const u8* query, std::size_t size, u8 rcode);

}  // namespace hxt::sockfilter

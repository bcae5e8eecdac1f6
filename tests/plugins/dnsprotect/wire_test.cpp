// The plug-in's DNS messages: which queries it takes, and how each client's
// answer is made from a shared (cached) one according to the client's own
// EDNS wishes and size.
#include <gtest/gtest.h>

#include "dnsmessage.h"
#include "pluginkit.h"

namespace hxt::dnsprotect {
namespace {

using kit::Ask;
using kit::Make;
using kit::OptOf;
using kit::Shaped;

TEST(DnsProtectWire, TakesQueriesOrSaysWhyNot) {
  const Ask query, edns = Shaped([](Ask&a) { a.edns = true; });
  std::string doubled = Make(edns), ownedOpt = Make(edns), twoQuestions = Make(query);
  doubled[11] = 2;
  doubled += doubled.substr(doubled.size() - 11);
  ownedOpt.replace(ownedOpt.size() - 11, 1, std::string("\x01x\x00", 3));
  twoQuestions[5] = 2;
  const struct {
    const char* what;
    std::string raw;
    QueryVerdict verdict;
    std::uint16_t rcode;  // of the reply
    bool question, opt;   // the reply echoes the question, carries an OPT record
  } cases[] = {
      {"a query", Make(query), QueryVerdict::Answer, 0, false, false},
      {"a response", Make(Shaped([](Ask& a) { a.response = true; })), QueryVerdict::Drop, 0, false, false},
      {"shorter than a header", "\x12\x34\x01", QueryVerdict::Drop, 0, false, false},
      {"opcode STATUS", Make(Shaped([](Ask& a) { a.opcode = 2; })), QueryVerdict::NotImp, kRcodeNotImp, true,
       false},
      {"two questions", twoQuestions, QueryVerdict::FormErr, kRcodeFormErr, false, false},
      {"question cut short", Make(query).substr(0, 20), QueryVerdict::FormErr, kRcodeFormErr, false, false},
      {"two OPT records", doubled, QueryVerdict::FormErr, kRcodeFormErr, false, false},
      {"OPT not owned by the root", ownedOpt, QueryVerdict::FormErr, kRcodeFormErr, false, false},
      {"EDNS version 1", Make(Shaped([](Ask& a) { a.edns = true, a.version = 1; })), QueryVerdict::BadVers,
       16, true, true},
  };
  for (const auto& c : cases) {
    ClientQuery parsed;
    EXPECT_EQ(ParseQuery(c.raw, parsed), c.verdict) << c.what;
    const std::string reply = BuildRefusal(c.raw, parsed, c.verdict);
    if (c.verdict == QueryVerdict::Answer || c.verdict == QueryVerdict::Drop) {
      EXPECT_EQ(reply, "") << c.what;
      continue;
    }
    ASSERT_GE(reply.size(), kHeaderSize) << c.what;
    EXPECT_EQ(MessageId(reply), 0x1234) << c.what;
    EXPECT_NE(reply[2] & 0x80, 0) << c.what;
    EXPECT_EQ(reply[5], c.question ? 1 : 0) << c.what;
    EXPECT_EQ(OptOf(reply).present, c.opt) << c.what;
    EXPECT_EQ(OptOf(reply).rcode, c.rcode) << c.what;
  }
}

// An upstream's answer is taken only for the question asked; the comparison
// made without parsing must agree with the parsed one.
TEST(DnsProtectWire, SameQuestionAgreesWithParsedQuestions) {
  const std::string asked = BuildQuery("www.example", kTypeA, 1);
  auto changed = [&](std::size_t at, char to) {
    std::string m = asked;
    m[at] = to;
    return m;
  };
  const std::size_t typeAt = asked.size() - 4;  // BuildQuery adds no OPT record
  const struct {
    const char* what;
    std::string other;
    bool same;
  } cases[] = {
      {"itself", asked, true},
      {"upper case", changed(13, 'W'), true},
      {"other name", BuildQuery("www.examplf", kTypeA, 1), false},
      {"shorter name", BuildQuery("ww.example", kTypeA, 1), false},
      {"other type", BuildQuery("www.example", kTypeAaaa, 1), false},
      {"other class", changed(typeAt + 3, 3), false},
      {"cut in the name", asked.substr(0, 17), false},
      {"cut before the class", asked.substr(0, typeAt + 3), false},
      {"no question", changed(5, 0), false},
  };
  for (const auto& c : cases) {
    Question a, b;
    const bool parsed = ParseQuestion(asked, a) && ParseQuestion(c.other, b) && a.labels == b.labels &&
                        a.type == b.type && a.qclass == b.qclass;
    EXPECT_EQ(parsed, c.same) << c.what;
    EXPECT_EQ(SameQuestion(asked, c.other), c.same) << c.what;
    EXPECT_EQ(SameQuestion(c.other, asked), c.same) << c.what;
  }
}

}  // namespace
}  // namespace hxt::dnsprotect

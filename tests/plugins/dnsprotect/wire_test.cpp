// The plug-in's DNS messages: which queries it takes, and how each client's answer is made from a shared
// (cached) one according to the client's own EDNS wishes and size.
#include <gtest/gtest.h>

#include <tuple>

#include "pluginkit.h"

namespace hxt::dnsprotect {
namespace {

using namespace kit;

TEST(DnsProtectWire, TakesQueriesOrSaysWhyNot) {
  const Ask query, edns = Shaped([](Ask&a) { a.edns = true; }), status = Shaped([](Ask&a) { a.opcode = 2; });
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
      {"opcode STATUS", Make(status), QueryVerdict::NotImp, kRcodeNotImp, true, false},
      {"two questions", twoQuestions, QueryVerdict::FormErr, kRcodeFormErr, false, false},
      {"question cut short", Make(query).substr(0, 20), QueryVerdict::FormErr, kRcodeFormErr, false, false},
      {"two OPT records", doubled, QueryVerdict::FormErr, kRcodeFormErr, false, false},
      {"OPT not owned by the root", ownedOpt, QueryVerdict::FormErr, kRcodeFormErr, false, false},
      {"EDNS version 1", Make(Shaped([](Ask& a) { a.edns = true, a.version = 1; })), QueryVerdict::BadVers,
       16, true, true}};
  for (const auto& c : cases) {
    ClientQuery parsed;
    EXPECT_EQ(ParseQuery(c.raw, parsed), c.verdict) << c.what;
    const std::string reply = BuildRefusal(c.raw, parsed, c.verdict);
    if (c.verdict == QueryVerdict::Answer || c.verdict == QueryVerdict::Drop) {
      EXPECT_EQ(reply, "") << c.what;
      continue;
    }
    ASSERT_GE(reply.size(), kHeaderSize) << c.what;
    // id, QR, questions, OPT, RCODE
    EXPECT_EQ(std::make_tuple(MessageId(reply), (reply[2] & 0x80) != 0, int{reply[5]}, OptOf(reply).present,
                              OptOf(reply).rcode),
              std::make_tuple(0x1234, true, c.question ? 1 : 0, c.opt, c.rcode))
        << c.what;
  }
  // Upstreams get our OPT record (our size, the client's DO, none of its options) and RD even when the client
  // did not set it (what comes back is cached for everyone), padded to whole blocks over TLS.
  std::string raw = Make(Shaped([](Ask& a) { a.edns = a.cookie = a.dnssecOk = true, a.size = 4096; }));
  raw[2] = static_cast<char>(raw[2] & ~0x01);
  ClientQuery client, sent;
  ASSERT_EQ(ParseQuery(raw, client), QueryVerdict::Answer);
  std::string upstream = BuildUpstreamQuery(raw, client);
  ASSERT_EQ(ParseQuery(upstream, sent), QueryVerdict::Answer);
  EXPECT_EQ(std::make_tuple(sent.udpSize, sent.dnssecOk, OptOf(upstream).options, upstream[2] & 0x01),
            std::make_tuple(kEdnsPayload, true, "", 0x01));
  ASSERT_TRUE(PadQuery(upstream));
  EXPECT_EQ(upstream.size() % kTlsPaddingBlock, 0u);
  EXPECT_EQ(ParseQuery(upstream, sent), QueryVerdict::Answer);
}

// One upstream answer (fetched with DO and CD, AD set, a COOKIE in its OPT)
// made into the answers of clients that asked differently.
TEST(DnsProtectWire, AnswersEachClientWithItsOwnOptFlagsAndSize) {
  struct Case {
    const char* what;
    Ask ask;
    bool tcp;
    int records;
    bool opt, dnssecOk, truncated, ad, cd;
  };
  const Ask plain, edns = Shaped([](Ask&a) { a.edns = true; });
  const Ask ednsCookie = Shaped([](Ask& a) { a.edns = a.cookie = true; });
  const Ask dnssec = Shaped([](Ask& a) { a.edns = a.dnssecOk = a.checkingDisabled = true; });
  const Ask small = Shaped([](Ask& a) { a.edns = true, a.size = 600; });
  const Ask huge = Shaped([](Ask& a) { a.edns = true, a.size = 65000; });
  const Case cases[] = {
      {"no EDNS: no OPT", plain, false, 3, false, false, false, false, false},
      {"EDNS: our OPT, not the upstream's cookie", ednsCookie, false, 3, true, false, false, false, false},
      {"DO and CD echoed, AD kept", dnssec, false, 3, true, true, false, true, true},
      {"no EDNS, 40 records: past 512", plain, false, 40, false, false, true, false, false},
      {"the same over TCP: whole", plain, true, 40, false, false, false, false, false},
      {"EDNS 1232, 40 records: whole", edns, false, 40, true, false, false, false, false},
      {"EDNS 600, 40 records: past its size", small, false, 40, true, false, true, false, false},
      {"EDNS 65000, 90 records: past ours", huge, false, 90, true, false, true, false, false}};
  for (const auto& c : cases) {
    std::string records;
    for (int i = 0; i < c.records; ++i) records += kit::ARecord(static_cast<unsigned char>(i));
    std::string stored = kit::Reply(Make(dnssec), kRcodeNoError, records, c.records, true);
    stored[3] = static_cast<char>(stored[3] | 0x20 | 0x10);  // AD, CD
    ASSERT_TRUE(StripOpt(stored)) << c.what;
    const std::string raw = Make(c.ask, 0x4321);
    ClientQuery query;
    ASSERT_EQ(ParseQuery(raw, query), QueryVerdict::Answer) << c.what;
    const std::string answer = FinishAnswer(stored, raw, query, AnswerLimit(query, c.tcp));
    const auto opt = OptOf(answer);
    // id, OPT, its options, DO, TC, answers, AD, CD
    EXPECT_EQ(
        std::make_tuple(MessageId(answer), opt.present, opt.options, opt.dnssecOk, IsTruncated(answer),
                        int{answer[7]}, (answer[3] & 0x20) != 0, (answer[3] & 0x10) != 0),
        std::make_tuple(0x4321, c.opt, "", c.dnssecOk, c.truncated, c.truncated ? 0 : c.records, c.ad, c.cd))
        << c.what;
    EXPECT_LE(answer.size(), AnswerLimit(query, c.tcp)) << c.what;
  }
}

TEST(DnsProtectWire, CacheKeysTellApartWhatAnswersDifferOn) {
  auto key = [](void (*change)(Ask&)) {
    Ask a = Shaped(change);
    ClientQuery query;
    EXPECT_EQ(ParseQuery(Make(a), query), QueryVerdict::Answer);
    return CacheKey(query);
  };
  const std::string base = key([](Ask&) {});
  const struct {
    const char* what;
    void (*change)(Ask&);
    bool same;
  } cases[] = {{"other case", [](Ask& a) { a.labels[0] = "WWW", a.labels[1] = "Example"; }, true},
               {"EDNS and its size", [](Ask& a) { a.edns = true; }, true},
               {"one label holding a dot", [](Ask& a) { a.labels = {"www.example"}; }, false},
               {"DO", [](Ask& a) { a.edns = a.dnssecOk = true; }, false},
               {"CD", [](Ask& a) { a.checkingDisabled = true; }, false},
               {"type", [](Ask& a) { a.type = kTypeAaaa; }, false}};
  for (const auto& c : cases) EXPECT_EQ(key(c.change) == base, c.same) << c.what;
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
  } cases[] = {{"itself", asked, true},
               {"upper case", changed(13, 'W'), true},
               {"other name", BuildQuery("www.examplf", kTypeA, 1), false},
               {"shorter name", BuildQuery("ww.example", kTypeA, 1), false},
               {"other type", BuildQuery("www.example", kTypeAaaa, 1), false},
               {"other class", changed(typeAt + 3, 3), false},
               {"cut in the name", asked.substr(0, 17), false},
               {"cut before the class", asked.substr(0, typeAt + 3), false},
               {"no question", changed(5, 0), false}};
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

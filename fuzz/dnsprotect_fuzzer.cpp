// libFuzzer target for the reference DNS plug-in's message code: the bytes
// are a client's query (and, with QR set, the upstream's answer to it), and
// a name as text. Built by `./hxt fuzz 60 dnsprotect`.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "dnsmessage.h"

namespace {

using namespace hxt::dnsprotect;

void check(bool condition) {
  if (!condition) __builtin_trap();
}

// What is taken as a query must survive the trip upstream unchanged in what
// the cache keys on, and every answer made from it must fit its client.
void fuzzQuery(const std::string& raw) {
  // The question found without building its name must agree with the
  // parsed one.
  Question parsed;
  std::size_t end = 0;
  check(ParseQuestion(raw, parsed) == QuestionEnd(raw, end) && SameQuestion(raw, raw) == QuestionEnd(raw, end));
  if (QuestionEnd(raw, end)) check(end == parsed.end);

  ClientQuery query;
  const QueryVerdict verdict = ParseQuery(raw, query);
  if (verdict != QueryVerdict::Answer) {
    const std::string reply = BuildRefusal(raw, query, verdict);
    check(verdict == QueryVerdict::Drop ? reply.empty() : reply.size() >= kHeaderSize);
    if (!reply.empty()) check(MessageId(reply) == MessageId(raw) && (reply[2] & 0x80) != 0);
    return;
  }
  std::string upstream = BuildUpstreamQuery(raw, query);
  ClientQuery sent;
  check(ParseQuery(upstream, sent) == QueryVerdict::Answer);
  check(CacheKey(sent) == CacheKey(query));
  check(PadQuery(upstream) && upstream.size() % kTlsPaddingBlock == 0);

  // The message as the answer an upstream gave.
  std::string stored = raw;
  stored[2] = static_cast<char>(stored[2] | 0x80);
  if (!StripOpt(stored)) return;
  CacheInfoOf(stored);
  AgeTtls(stored, 5);
  std::vector<std::string> targets;
  AliasTargets(stored, targets);
  for (bool tcp : {false, true}) {
    const std::size_t limit = AnswerLimit(query, tcp);
    const std::string answer = FinishAnswer(stored, raw, query, limit, kEdeBlocked);
    check(answer.size() <= limit && MessageId(answer) == MessageId(raw));
  }
}

// Text that reads as a name reads the same once printed.
void fuzzName(const std::string& text) {
  std::string labels, again;
  if (!TextToLabels(text, labels)) return;
  check(TextToLabels(LabelsToText(labels), again) && again == labels);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  fuzzQuery(bytes);
  fuzzName(bytes);
  return 0;
}

// Who asked: the /proc socket-link parser, the inode → pid map over a made-up
// /proc, the bounded program table and the blocked-answer test, over UDP and
// in a TCP answer stream.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>

#include "daemon/attribution.h"
#include "daemon/dnstcpframer.h"
#include "daemon/sockfilterconfig.h"
#include "fakes/dnstestkit.h"
#include "fakes/testroot.h"

namespace hxt::test {
namespace {

using namespace hxt::sockfilter;

TEST(AttributionTest, ParsesSocketLinksAndCgroupUnits) {
  const struct {
    const char* link;
    bool ok;
    u64 inode;
  } links[] = {{"socket:[123]", true, 123},
               {"socket:[1]", true, 1},
               {"socket:[]", false, 0},
               {"pipe:[123]", false, 0},
               {"socket:[12a]", false, 0},
               {"socket:[123", false, 0},
               {"socket:[99999999999999999999]", false, 0},
               {"anon_inode:[eventfd]", false, 0}};
  for (const auto& c : links) {
    u64 inode = 0;
    EXPECT_EQ(ParseSocketLink(c.link, std::strlen(c.link), inode), c.ok) << c.link;
    if (c.ok) {
      EXPECT_EQ(inode, c.inode) << c.link;
    }
  }
  const std::pair<const char*, const char*> cgroups[] = {
      {"0::/system.slice/dnsmasq.service\n", "dnsmasq.service"},
      {"0::/user.slice/user-1000.slice/user@1000.service/app.slice/app-firefox-1.scope\n",
       "app-firefox-1.scope"},
      {"12:cpu:/x\n0::/custom/group\n", "/custom/group"},
      {"12:cpu:/only-v1\n", ""}};
  for (const auto& [text, unit] : cgroups) EXPECT_EQ(UnitOfCgroup(text), unit) << text;
  Bytes query = MakeQuery("WWW.Ex.test", 1);
  EXPECT_EQ(WireNameText(WireQuestionName(query.data(), query.size())), "www.ex.test");
  query[13] = '\t';  // tabs and line feeds separate the table's fields and rows
  EXPECT_EQ(WireNameText(WireQuestionName(query.data(), query.size())), "?ww.ex.test");
  query[12] = 0xC0;
  EXPECT_TRUE(WireQuestionName(query.data(), query.size()).empty());
  query.resize(17);  // the name cut
  EXPECT_TRUE(WireQuestionName(query.data(), query.size()).empty());
  EXPECT_EQ(ParsePathList(" /usr/bin/a b ;/opt/c\n;;\n"),
            (std::vector<std::string>{"/usr/bin/a b", "/opt/c"}));
}

class FakeProc {
 public:
  void Socket(u32 pid, int fd, const std::string& target) {
    const std::string folder = root_.path() + "/proc/" + std::to_string(pid) + "/fd";
    std::filesystem::create_directories(folder);
    ASSERT_EQ(::symlink(target.c_str(), (folder + "/" + std::to_string(fd)).c_str()), 0);
  }
  std::string path() const { return root_.path() + "/proc"; }

 private:
  TestRoot root_;
};

TEST(AttributionTest, FindsTheProcessOfASocketAndLooksCheaplyBeforeLookingEverywhere) {
  FakeProc proc;
  proc.Socket(100, 3, "socket:[555]");
  proc.Socket(200, 4, "socket:[777]");
  proc.Socket(200, 5, "pipe:[9]");
  proc.Socket(500, 3, "socket:[888]");
  // Every full look is rate-limited away after the first.
  CSocketProcesses processes(proc.path(), std::chrono::hours(1));
  u32 pid = 0;
  EXPECT_EQ(processes.Find(555, pid), CSocketProcesses::Found::Held);
  EXPECT_EQ(pid, 100u);
  EXPECT_EQ(processes.Find(777, pid), CSocketProcesses::Found::Held);
  EXPECT_EQ(pid, 200u);
  EXPECT_EQ(processes.Size(), 3u);      // sockets only
  proc.Socket(300, 3, "socket:[999]");  // a process started since
  EXPECT_EQ(processes.Find(999, pid), CSocketProcesses::Found::Held);
  EXPECT_EQ(pid, 300u);
  proc.Socket(100, 4, "socket:[1000]");  // an asker's new socket
  EXPECT_EQ(processes.Find(1000, pid), CSocketProcesses::Found::Held);
  EXPECT_EQ(pid, 100u);
  // A descriptor number read before, now another socket.
  std::filesystem::remove(proc.path() + "/100/fd/3");
  proc.Socket(100, 3, "socket:[3000]");
  EXPECT_EQ(processes.Find(3000, pid), CSocketProcesses::Found::Held);
  EXPECT_EQ(pid, 100u);
  EXPECT_EQ(processes.FullScans(), 1u);
  // Not an asker, not new, and no full look allowed yet: not told, not "gone".
  proc.Socket(500, 4, "socket:[2000]");
  EXPECT_EQ(processes.Find(2000, pid), CSocketProcesses::Found::NotYet);
  CSocketProcesses unlimited(proc.path(), std::chrono::milliseconds(0));
  EXPECT_EQ(unlimited.Find(2000, pid), CSocketProcesses::Found::Held);
  EXPECT_EQ(unlimited.Find(4242, pid), CSocketProcesses::Found::Gone);
}

TEST(AttributionTest, TheProgramTableEvictsTheLeastRecentAndKeepsTheLastNames) {
  CProgramTable table(2, 3);
  const u64 a = table.Row("/usr/bin/a", 1000u);
  const u64 b = table.Row("/usr/bin/b", std::nullopt);
  EXPECT_EQ(table.Row("/usr/bin/a", 1000u), a);
  EXPECT_NE(table.Row("/usr/bin/a", 1001u), a);  // another user: another row, b evicted
  EXPECT_EQ(table.Get(b), nullptr);
  table.Asked(b, "stale.test");  // a handle of an evicted row counts nothing
  for (const char* name : {"1.test", "2.test", "3.test", "4.test", ""}) table.Asked(a, name);
  const ProgramRow* row = table.Get(a);
  ASSERT_NE(row, nullptr);
  EXPECT_EQ(row->queries, 5u);
  EXPECT_EQ(table.Size(), 2u);
  for (const ProgramRow& r : table.Rows()) {
    if (r.exe == "/usr/bin/a" && r.uid == 1000) {
      EXPECT_EQ(r.recent, (std::vector<std::string>{"2.test", "3.test", "4.test"}));
    }
    EXPECT_NE(r.exe, "/usr/bin/b");
  }
}

// An answer to a.test with an OPT record holding `options`.
Bytes WithOpt(const Bytes& options) {
  Bytes m = MakeAnswer(MakeQuery("a.test", 7), "192.0.2.1");
  m[11] = 1;  // one additional record
  const Bytes opt = {0, 0, 41, 0x10, 0, 0, 0, 0, 0, 0, static_cast<u8>(options.size())};
  m.insert(m.end(), opt.begin(), opt.end());
  m.insert(m.end(), options.begin(), options.end());
  return m;
}

TEST(AttributionTest, AnAnswerSaysBlockedByItsExtendedError) {
  const Bytes padding = {0, 12, 0, 2, 0, 0};
  const struct {
    Bytes answer;
    bool blocked;
  } cases[] = {
      {WithOpt({0, 15, 0, 2, 0, 15}), true},                     // Blocked
      {WithOpt({0, 15, 0, 2, 0, 17}), true},                     // Filtered
      {WithOpt({0, 15, 0, 2, 0, 18}), false},                    // Prohibited: not the agent's word
      {WithOpt({0, 12, 0, 2, 0, 0, 0, 15, 0, 2, 0, 15}), true},  // after padding
      {WithOpt(padding), false},
      {MakeAnswer(MakeQuery("a.test", 7), "192.0.2.1"), false},  // no OPT
  };
  for (const auto& c : cases) EXPECT_EQ(AnswerSaysBlocked(c.answer.data(), c.answer.size()), c.blocked);
  Bytes cut = WithOpt({0, 15, 0, 2, 0, 15});
  cut.resize(cut.size() - 3);
  EXPECT_FALSE(AnswerSaysBlocked(cut.data(), cut.size()));
}

// The agent's TCP answers are looked at in place however its writes are
// cut: every message found once, whole, and only a split one copied.
TEST(AttributionTest, AnswersInATcpStreamAreFoundWholeWhereverTheReadsAreCut) {
  const std::vector<Bytes> answers = {MakeAnswer(MakeQuery("a.test", 1), "192.0.2.1"),
                                      WithOpt({0, 15, 0, 2, 0, 15}),
                                      MakeAnswer(MakeQuery("c.test", 3), "192.0.2.3")};
  Bytes stream;
  for (const Bytes& answer : answers) {
    const Bytes framed = WithLength(answer);
    stream.insert(stream.end(), framed.begin(), framed.end());
  }
  for (const std::size_t piece : {std::size_t{1}, std::size_t{2}, std::size_t{7}, stream.size()}) {
    for (std::size_t cut = 0; cut <= stream.size(); ++cut) {
      CDnsTcpScanner scanner;
      std::vector<Bytes> found;
      int blocked = 0;
      std::size_t inPlace = 0;
      // The first read ends at `cut`, the rest come `piece` bytes at a time.
      for (std::size_t at = 0; at < stream.size();) {
        const std::size_t size = at == 0 && cut > 0 ? cut : std::min(piece, stream.size() - at);
        const u8* read = stream.data() + at;
        scanner.Feed(read, size, [&](const u8* m, std::size_t n) {
          found.emplace_back(m, m + n);
          blocked += AnswerSaysBlocked(m, n) ? 1 : 0;
          inPlace += m >= read && m + n <= read + size ? 1 : 0;
        });
        at += size;
      }
      EXPECT_EQ(found, answers) << piece << " " << cut;
      EXPECT_EQ(blocked, 1) << piece << " " << cut;
      if (cut == stream.size()) {
        EXPECT_EQ(inPlace, answers.size()) << piece;
      }
    }
  }
}

}  // namespace
}  // namespace hxt::test

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/ipcframe.h"

namespace hxt {
namespace {

std::vector<unsigned char> Frame(PayloadType type, const std::string& json) {
  std::vector<unsigned char> frame;
  EXPECT_TRUE(BuildIpcFrame(type, json, frame));
  return frame;
}

TEST(IpcFrame, LayoutIsLittleEndianLengthThenTypeThenText) {
  const std::string json = "{\"a\":\"" + std::string(91, 'x') + "\"}\n";
  ASSERT_EQ(json.size(), 100u);
  auto frame = Frame(PAYLOAD_TYPE_STATS, json);
  ASSERT_EQ(frame.size(), 105u);
  EXPECT_EQ(std::vector<unsigned char>(frame.begin(), frame.begin() + 5),
            (std::vector<unsigned char>{101, 0, 0, 0, 'B'}));
  EXPECT_EQ(std::string(frame.begin() + 5, frame.end()), json);

  auto large = Frame(PAYLOAD_TYPE_STATUS, std::string(0x010203, ' '));
  EXPECT_EQ(std::vector<unsigned char>(large.begin(), large.begin() + 5),
            (std::vector<unsigned char>{0x04, 0x02, 0x01, 0x00, 'A'}));

  std::vector<unsigned char> none = {1, 2};
  EXPECT_FALSE(BuildIpcFrame(PAYLOAD_TYPE_COMMAND, "", none));
  EXPECT_TRUE(none.empty());
}

TEST(IpcFrameDecoder, ReassemblesFramesFedOneByteAtATime) {
  std::vector<unsigned char> stream = Frame(PAYLOAD_TYPE_STATUS, "{\"AgentStatus\":\"ok\"}\n");
  auto second = Frame(PAYLOAD_TYPE_COMMAND, "{\"Commands\":[{\"Command\":\"NotifyExitForUpdate\"}]}\n");
  stream.insert(stream.end(), second.begin(), second.end());

  CIpcFrameDecoder decoder;
  std::vector<IpcFrame> frames;
  std::string error;
  for (unsigned char byte : stream) {
    decoder.Feed(&byte, 1);
    IpcFrame frame;
    while (true) {
      auto result = decoder.Next(frame, error);
      ASSERT_NE(result, CIpcFrameDecoder::kMalformed) << error;
      if (result == CIpcFrameDecoder::kNeedMore) break;
      frames.push_back(frame);
    }
  }
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[0].type, PAYLOAD_TYPE_STATUS);
  EXPECT_EQ(frames[0].json, "{\"AgentStatus\":\"ok\"}\n");
  EXPECT_EQ(frames[0].document.get<std::string>("AgentStatus"), "ok");
  EXPECT_EQ(frames[1].type, PAYLOAD_TYPE_COMMAND);
  EXPECT_EQ(frames[1].document.get_child("Commands").front().second.get<std::string>("Command"),
            "NotifyExitForUpdate");
}

TEST(IpcFrameDecoder, RefusesMalformedFrames) {
  struct Case {
    const char* name;
    std::vector<unsigned char> bytes;
    std::string error;
  };
  auto withHeader = [](u32 length, char type, const std::string& text) {
    std::vector<unsigned char> bytes = {
        static_cast<unsigned char>(length), static_cast<unsigned char>(length >> 8),
        static_cast<unsigned char>(length >> 16), static_cast<unsigned char>(length >> 24),
        static_cast<unsigned char>(type)};
    bytes.insert(bytes.end(), text.begin(), text.end());
    return bytes;
  };
  const std::vector<Case> cases = {
      {"length 0", withHeader(0, 'A', ""), "bad frame length 0 (expected 2 to 1024)"},
      {"length 1, type only", withHeader(1, 'A', ""), "bad frame length 1 (expected 2 to 1024)"},
      {"length beyond limit, reported before the body arrives", withHeader(1025, 'A', ""),
       "bad frame length 1025 (expected 2 to 1024)"},
      {"unknown type", withHeader(3, 'D', "{}"), "unknown payload type 0x44"},
      {"zero type", withHeader(3, '\0', "{}"), "unknown payload type 0x00"},
      {"truncated JSON", withHeader(5, 'B', "{\"a\""), "invalid JSON in stats payload: "},
      {"text, not JSON", withHeader(6, 'C', "hello"), "invalid JSON in command payload: "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    CIpcFrameDecoder decoder(1024);
    // A good frame first: the error must not swallow what came before it.
    auto good = Frame(PAYLOAD_TYPE_STATUS, "{}\n");
    decoder.Feed(good.data(), good.size());
    decoder.Feed(c.bytes.data(), c.bytes.size());
    IpcFrame frame;
    std::string error;
    ASSERT_EQ(decoder.Next(frame, error), CIpcFrameDecoder::kFrame);
    ASSERT_EQ(decoder.Next(frame, error), CIpcFrameDecoder::kMalformed);
    EXPECT_EQ(error.substr(0, c.error.size()), c.error);
    // Once out of step, the stream stays refused.
    auto more = Frame(PAYLOAD_TYPE_STATUS, "{}\n");
    decoder.Feed(more.data(), more.size());
    std::string again;
    EXPECT_EQ(decoder.Next(frame, again), CIpcFrameDecoder::kMalformed);
    EXPECT_EQ(again, error);
  }
}

}  // namespace
}  // namespace hxt

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/ipcframe.h"

namespace hxt {
namespace {

using Bytes = std::vector<unsigned char>;

Bytes Frame(PayloadType type, const std::string& json) {
  Bytes frame;
  EXPECT_TRUE(BuildIpcFrame(type, json, frame));
  return frame;
}

TEST(IpcFrame, LayoutIsLittleEndianLengthThenTypeThenText) {
  const std::string json(100, 'x');
  auto frame = Frame(PAYLOAD_TYPE_STATS, json);
  EXPECT_EQ(Bytes(frame.begin(), frame.begin() + 5), (Bytes{101, 0, 0, 0, 'B'}));
  EXPECT_EQ(std::string(frame.begin() + 5, frame.end()), json);
  auto large = Frame(PAYLOAD_TYPE_STATUS, std::string(0x010203, ' '));
  EXPECT_EQ(Bytes(large.begin(), large.begin() + 5), (Bytes{0x04, 0x02, 0x01, 0x00, 'A'}));
  Bytes none = {1, 2};
  EXPECT_FALSE(BuildIpcFrame(PAYLOAD_TYPE_COMMAND, "", none));
  EXPECT_TRUE(none.empty());
}

TEST(IpcFrameDecoder, ReassemblesFramesFedOneByteAtATime) {
  Bytes stream = Frame(PAYLOAD_TYPE_STATUS, "{\"AgentStatus\":\"ok\"}\n");
  auto second = Frame(PAYLOAD_TYPE_COMMAND, "{\"Commands\":[{\"Command\":\"NotifyExitForUpdate\"}]}\n");
  stream.insert(stream.end(), second.begin(), second.end());
  CIpcFrameDecoder decoder;
  std::vector<IpcFrame> frames;
  std::string error;
  IpcFrame frame;
  for (unsigned char byte : stream) {
    decoder.Feed(&byte, 1);
    for (auto result = decoder.Next(frame, error); result != CIpcFrameDecoder::kNeedMore;
         result = decoder.Next(frame, error)) {
      ASSERT_EQ(result, CIpcFrameDecoder::kFrame) << error;
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

TEST(IpcFrameDecoder, RefusesMalformedFramesForGood) {
  auto withHeader = [](u32 length, char type, const std::string& text) {
    Bytes bytes = {static_cast<unsigned char>(length), static_cast<unsigned char>(length >> 8),
                   static_cast<unsigned char>(length >> 16), static_cast<unsigned char>(length >> 24),
                   static_cast<unsigned char>(type)};
    bytes.insert(bytes.end(), text.begin(), text.end());
    return bytes;
  };
  const std::pair<Bytes, std::string> cases[] = {
      // the frame, the start of the error
      {withHeader(0, 'A', ""), "bad frame length 0 (expected 2 to 1024)"},
      {withHeader(1, 'A', ""), "bad frame length 1 (expected 2 to 1024)"},
      {withHeader(1025, 'A', ""), "bad frame length 1025 (expected 2 to 1024)"},  // before the body arrives
      {withHeader(3, 'D', "{}"), "unknown payload type 0x44"},
      {withHeader(5, 'B', "{\"a\""), "invalid JSON in stats payload: "},
      {withHeader(6, 'C', "hello"), "invalid JSON in command payload: "},
  };
  for (const auto& [bytes, expected] : cases) {
    SCOPED_TRACE(expected);
    CIpcFrameDecoder decoder(1024);
    // A good frame first: the error must not swallow what came before it.
    auto good = Frame(PAYLOAD_TYPE_STATUS, "{}\n");
    decoder.Feed(good.data(), good.size());
    decoder.Feed(bytes.data(), bytes.size());
    IpcFrame frame;
    std::string error, again;
    ASSERT_EQ(decoder.Next(frame, error), CIpcFrameDecoder::kFrame);
    ASSERT_EQ(decoder.Next(frame, error), CIpcFrameDecoder::kMalformed);
    EXPECT_EQ(error.substr(0, expected.size()), expected);
    // Once out of step, the stream stays refused.
    decoder.Feed(good.data(), good.size());
    EXPECT_EQ(decoder.Next(frame, again), CIpcFrameDecoder::kMalformed);
    EXPECT_EQ(again, error);
  }
}

}  // namespace
}  // namespace hxt

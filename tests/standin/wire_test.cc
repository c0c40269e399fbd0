// The stand-in's wire messages: every type survives the trip, frames split
// anywhere are put together again, and damaged frames end the stream.
#include "wire.h"

#include <gtest/gtest.h>

namespace vdqrn {

namespace {

using wire::FrameReader;
using wire::Message;
using wire::MessageType;

std::string Frame(std::uint8_t type, const std::string& body) {
  std::string frame(1, static_cast<char>(type));
  const std::uint32_t length = static_cast<std::uint32_t>(body.size());
  for (int shift = 0; shift < 32; shift += 8) frame.push_back(static_cast<char>(length >> shift));
  return frame + body;
}

const std::string kId("\x07\x00\x00\x00", 4);

TEST(Wire, EveryMessageTypeRoundTrips) {
  const std::vector<Message> messages = {
      wire::OpenRequest(1, "QrnCmd1", "C:\\Program Files\\Host\\host.exe"),
      wire::OpenRequest(0xFFFFFFFFu, "", ""),
      wire::OpenAnswer(2, 1225),
      wire::Data(3, std::string("Hello\0|x", 8)),
      wire::Data(4, ""),
      wire::Data(5, std::string(wire::kMaxPacketData, 'p')),
      wire::Close(6),
  };
  std::string stream;
  for (const Message& message : messages) {
    const std::string frame = wire::Encode(message);
    ASSERT_FALSE(frame.empty());
    stream += frame;
  }
  const wire::ParsedFrames parsed = wire::ParseFrames(stream);
  EXPECT_FALSE(parsed.broken) << parsed.error;
  EXPECT_FALSE(parsed.incomplete);
  EXPECT_EQ(parsed.messages, messages);
}

TEST(Wire, NumbersAreLittleEndian) {
  EXPECT_EQ(wire::Encode(wire::OpenAnswer(0x01020304u, 5)),
            Frame(2, std::string("\x04\x03\x02\x01\x05\x00\x00\x00", 8)));
}

TEST(Wire, FramesFedByteByByteComeOutWhole) {
  const std::string stream = wire::Encode(wire::Data(9, "GetSerialNumber")) +
                             wire::Encode(wire::OpenRequest(10, "QrnDta1", "/usr/bin/host"));
  FrameReader reader;
  std::vector<Message> taken;
  Message message;
  for (const char byte : stream) {
    reader.Feed(&byte, 1);
    FrameReader::Next next;
    while ((next = reader.Take(&message)) == FrameReader::Next::kMessage) taken.push_back(message);
    ASSERT_EQ(next, FrameReader::Next::kNeedMore);
  }
  ASSERT_EQ(taken.size(), 2u);
  EXPECT_EQ(taken[0].data, "GetSerialNumber");
  EXPECT_EQ(taken[1].name, "QrnDta1");
  EXPECT_EQ(taken[1].path, "/usr/bin/host");
}

TEST(Wire, MessagesBeyondTheLimitsAreNotEncoded) {
  EXPECT_EQ(wire::Encode(wire::Data(1, std::string(wire::kMaxPacketData + 1, 'x'))), "");
  EXPECT_EQ(wire::Encode(wire::OpenRequest(1, std::string(wire::kMaxNameLength + 1, 'n'), "p")),
            "");
  EXPECT_EQ(wire::Encode(wire::OpenRequest(1, "n", std::string(wire::kMaxPathLength + 1, 'p'))),
            "");
}

TEST(Wire, DamagedFramesBreakTheStream) {
  const struct {
    const char* what;
    std::string frame;
  } damaged[] = {
      {"unknown type", Frame(9, kId)},
      {"type zero", Frame(0, kId)},
      {"body without an id", Frame(3, "ab")},
      {"packet too long", Frame(3, kId + std::string(wire::kMaxPacketData + 1, 'x'))},
      {"huge length", std::string("\x03\xff\xff\xff\xff", 5)},
      {"open without a name length", Frame(1, kId)},
      {"name longer than the body", Frame(1, kId + "\x09QrnCmd1")},
      {"name over the limit", Frame(1, kId + "\x41" + std::string(65, 'n'))},
      {"short open answer", Frame(2, kId + "ab")},
      {"long open answer", Frame(2, kId + "abcde")},
      {"close with a body", Frame(4, kId + "x")},
  };
  for (const auto& test : damaged) {
    // A good message before the damage still comes out; nothing after it.
    const std::string stream = wire::Encode(wire::Close(1)) + test.frame +
                               wire::Encode(wire::Close(2));
    const wire::ParsedFrames parsed = wire::ParseFrames(stream);
    EXPECT_TRUE(parsed.broken) << test.what;
    EXPECT_FALSE(parsed.error.empty()) << test.what;
    ASSERT_EQ(parsed.messages.size(), 1u) << test.what;
    EXPECT_EQ(parsed.messages[0].channel, 1u) << test.what;
  }
}

TEST(Wire, ABrokenReaderStaysBroken) {
  FrameReader reader;
  const std::string bad = Frame(7, kId);
  reader.Feed(bad.data(), bad.size());
  Message message;
  EXPECT_EQ(reader.Take(&message), FrameReader::Next::kBroken);
  const std::string good = wire::Encode(wire::Close(1));
  reader.Feed(good.data(), good.size());
  EXPECT_EQ(reader.Take(&message), FrameReader::Next::kBroken);
}

TEST(Wire, ACutFrameIsIncompleteNotBroken) {
  const std::string frame = wire::Encode(wire::Data(1, "Hello"));
  for (std::size_t cut = 1; cut < frame.size(); ++cut) {
    const wire::ParsedFrames parsed = wire::ParseFrames(frame.substr(0, cut));
    EXPECT_FALSE(parsed.broken) << cut;
    EXPECT_TRUE(parsed.incomplete) << cut;
    EXPECT_TRUE(parsed.messages.empty()) << cut;
  }
}

}  // namespace

}  // namespace vdqrn

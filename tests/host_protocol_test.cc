// The instrument host's protocol coding: a frame built in place carries its
// payload's length and number in front, whatever came before it in the same
// writer; a reader never reads past its payload and stays failed after.
#include "instrument/host_protocol.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace vdqrn {

namespace {

namespace protocol = host_protocol;

std::uint32_t U32At(const std::vector<std::uint8_t>& bytes, std::size_t at) {
  return static_cast<std::uint32_t>(bytes.at(at)) | static_cast<std::uint32_t>(bytes[at + 1]) << 8 |
         static_cast<std::uint32_t>(bytes[at + 2]) << 16 |
         static_cast<std::uint32_t>(bytes[at + 3]) << 24;
}

// Payload sizes: empty, a few bytes, the room a writer reserves, and a long
// text past the room it keeps between payloads.
class WriterFrames : public ::testing::TestWithParam<std::size_t> {};

TEST_P(WriterFrames, EachFrameCarriesItsOwnLengthNumberAndPayloadAfterAnother) {
  protocol::Writer writer;
  // A payload of its own first, longer or shorter than the one tested.
  writer.Text(std::string(GetParam() % 3 == 0 ? 100000 : 3, 'p'));
  writer.NumberedFrame(6);
  writer.Clear();
  ASSERT_EQ(writer.Size(), 0u);

  const std::string text(GetParam(), 't');
  writer.U16(0);
  writer.Text(text);
  writer.Float(-2.5f);
  writer.U16At(0, 0xBEEF);
  const std::vector<std::uint8_t> frame = writer.NumberedFrame(7);
  const std::size_t payload = 2 + 4 + text.size() + 4;
  ASSERT_EQ(frame.size(), 8 + payload);
  EXPECT_EQ(U32At(frame, 0), 4 + payload);  // the number is part of the length
  EXPECT_EQ(U32At(frame, 4), 7u);
  EXPECT_EQ(writer.Bytes(), std::vector<std::uint8_t>(frame.begin() + 8, frame.end()));

  const std::vector<std::uint8_t> bytes = writer.Bytes();
  protocol::Reader in(bytes);
  EXPECT_EQ(in.U16(), 0xBEEF);
  bool null = true;
  EXPECT_EQ(in.Text(&null), text);
  EXPECT_FALSE(null);
  EXPECT_EQ(in.Float(), -2.5f);
  EXPECT_TRUE(in.Done());
}

INSTANTIATE_TEST_SUITE_P(Sizes, WriterFrames, ::testing::Values(0, 5, 497, 70000, 300000));

// A field cut short at each of its bytes: nothing of it is taken, and every
// read after the failure is zero, even of bytes that are there.
TEST(ReaderBounds, AFieldCutShortFailsTheReaderForGood) {
  const std::vector<std::uint8_t> whole = {1, 2, 3, 4, 5, 6, 7, 8};
  for (std::size_t size = 0; size < 4; ++size) {
    protocol::Reader in(whole.data(), size);
    EXPECT_EQ(in.U32(), 0u) << size;
    EXPECT_FALSE(in.Ok()) << size;
    EXPECT_EQ(in.U8(), 0u) << size;
  }
  protocol::Reader in(whole.data(), 3);
  EXPECT_EQ(in.U16(), 0x0201);
  EXPECT_EQ(in.U16(), 0);
  EXPECT_EQ(in.U8(), 0);  // the third byte is there, the reader failed before it
  EXPECT_FALSE(in.Done());
}

}  // namespace

}  // namespace vdqrn

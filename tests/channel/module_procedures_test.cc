// The information procedures: driver info, query information (the last
// error) and set information.
#include <cstring>

#include "module_test.h"

namespace vdqrn {

namespace {

using engine_sim::Engine;

class Procedures : public ModuleTest {
 protected:
  void SetUp() override {
    ModuleTest::SetUp();
    engine_.SetChannelMask(0x30);
    OpenWithVersion(0);
  }
};

TEST_F(Procedures, InfoWithA47ByteBufferAsksFor48) {
  const engine_sim::InfoResult info = engine_.Info(47, "ENGINE");
  EXPECT_EQ(info.status, 1004);
  EXPECT_EQ(info.bufferLength, 48);
  // Nothing written into the short buffer.
  for (std::size_t i = 0; i < info.buffer.size(); ++i) {
    if (i < 6 || i >= 19) {
      EXPECT_EQ(info.buffer[i], Engine::kFillByte) << i;
    }
  }
  EXPECT_TRUE(LinesAre(LinesFrom(LogLines(), Stamped("ICA: Driver Info")),
                       {Stamped("ICA: Driver Info"),
                        "ICA: Driver Info - Buffer too small (Buffer: 47, Info: 48) "
                        "(Channel mask: 48)"}));
}

TEST_F(Procedures, InfoWithA48ByteBufferFillsItsFields) {
  const std::string name = "ABCDEFGHIJKLM";  // 13 characters, no terminator
  const engine_sim::InfoResult info = engine_.Info(48, name);
  EXPECT_EQ(info.status, 0);
  EXPECT_EQ(info.bufferLength, 48);
  const std::vector<std::uint8_t>& b = info.buffer;
  ASSERT_EQ(b.size(), 48u);
  EXPECT_EQ(b[0] | (b[1] << 8), 48);
  EXPECT_EQ(b[3], 3);
  EXPECT_EQ(b[4], 1);
  EXPECT_EQ(b[5], 1);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&b[6]), 13), name);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&b[19]), 9), std::string("ICA\0\0\0\0\0\0", 9));
  EXPECT_EQ(b[40], 0);
  EXPECT_EQ(b[41], 0);
  // The bytes outside the listed fields are left alone.
  for (std::size_t i : {2u, 28u, 33u, 39u, 42u, 47u}) EXPECT_EQ(b[i], Engine::kFillByte) << i;

  EXPECT_TRUE(LinesAre(LinesFrom(LogLines(), Stamped("ICA: Driver Info")),
                       {Stamped("ICA: Driver Info"),
                        "ICA: Driver Info - (Channel mask: 48) Buffer OK (48)",
                        "ICA: Driver Info - (Module name: ABCDEFGHIJKLM) Buffer OK (48)"}));
}

TEST_F(Procedures, InfoReadsTheModuleNameUpToItsTerminator) {
  const engine_sim::InfoResult info = engine_.Info(60, "VDQRN");
  EXPECT_EQ(info.status, 0);
  EXPECT_EQ(info.bufferLength, 60);
  EXPECT_EQ(LogLines().back(), "ICA: Driver Info - (Module name: VDQRN) Buffer OK (60)");
}

TEST_F(Procedures, InfoWithoutABufferCountsAsTooSmall) {
  const engine_sim::InfoResult info = engine_.InfoWithoutBuffer(48);
  EXPECT_EQ(info.status, 1004);
  EXPECT_EQ(info.bufferLength, 48);
  EXPECT_EQ(LogLines().back(),
            "ICA: Driver Info - Buffer too small (Buffer: 48, Info: 48) (Channel mask: 48)");
}

TEST_F(Procedures, LastErrorQueryNeeds292Bytes) {
  const std::vector<std::string> before = LogLines();
  const engine_sim::QueryResult small = engine_.QueryInformation(0, 291);
  EXPECT_EQ(small.status, 1004);
  EXPECT_EQ(small.returnedLength, Engine::kUntouchedLength);
  EXPECT_EQ(LogLines(), before);

  const engine_sim::QueryResult none = engine_.QueryInformationWithoutBuffer(0, 292);
  EXPECT_EQ(none.status, 1004);
  EXPECT_EQ(none.returnedLength, Engine::kUntouchedLength);
  EXPECT_EQ(LogLines(), before);
}

TEST_F(Procedures, LastErrorQueryReportsNoError) {
  const engine_sim::QueryResult query = engine_.QueryInformation(0, 292);
  EXPECT_EQ(query.status, 0);
  EXPECT_EQ(query.returnedLength, 292u);
  // Error code 0 and an empty text: the driver keeps no errors of its own.
  for (std::size_t i = 0; i < 292; ++i) EXPECT_EQ(query.buffer[i], 0) << i;
  EXPECT_TRUE(LineMatches(LogLines().back(), Stamped("ICA: Driver GetLastError")));
}

TEST_F(Procedures, OtherQueryClassesFillNothing) {
  const engine_sim::QueryResult query = engine_.QueryInformation(5, 16);
  EXPECT_EQ(query.status, 0);
  EXPECT_EQ(query.returnedLength, Engine::kUntouchedLength);
  for (std::uint8_t byte : query.buffer) EXPECT_EQ(byte, Engine::kFillByte);
  EXPECT_TRUE(LineMatches(LogLines().back(), Stamped("ICA: Driver Query Information")));
}

TEST_F(Procedures, SetInformationAnswers0ForAnyClass) {
  for (std::uint32_t infoClass : {0u, 10u, 92u, 0xFFFFFFFFu}) {
    EXPECT_EQ(engine_.SetInformation(infoClass), 0) << infoClass;
    EXPECT_TRUE(LineMatches(LogLines().back(), Stamped("ICA: Driver Set Information")));
  }
}

}  // namespace

}  // namespace vdqrn

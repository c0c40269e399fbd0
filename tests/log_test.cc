#include <cstdint>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "diagnostics/log.h"
#include "log_lines.h"
#include "log_test.h"

namespace vdqrn {

using diagnostics::LogTimestamped;
using diagnostics::PlainLogLine;
using ::testing::ElementsAre;

namespace {

platform::LocalTime NewYearMorning() { return platform::LocalTime{2027, 1, 1, 9, 5, 3}; }

void WriteFile(const std::string& path, const std::string& content) {
  std::ofstream(path, std::ios::binary) << content;
}

std::string ReadBytes(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << file.rdbuf();
  return bytes.str();
}

}  // namespace

class DiagnosticLog : public LogTest {};

TEST_F(DiagnosticLog, TimestampedLineHasZeroFilledDateAndTimeThenTwoBlanks) {
  LogTimestamped("ICA: Driver Open");
  platform::SetClockForTesting(&NewYearMorning);
  LogTimestamped("second");
  LogTimestamped("");
  EXPECT_THAT(LogLines(), ElementsAre("07.12.2026 - 04:50:45  ICA: Driver Open",
                                      "01.01.2027 - 09:05:03  second",
                                      "01.01.2027 - 09:05:03  "));
}

TEST_F(DiagnosticLog, PlainLineHasNoTimestampAndPlainNumbers) {
  const unsigned short channel = 7;
  const unsigned long status = 1016;
  PlainLogLine() << "Data (channel: " << channel << ", size: " << -5 << ") " << status;
  EXPECT_THAT(LogLines(), ElementsAre("Data (channel: 7, size: -5) 1016"));
}

// The pieces of a plain line come out as the standard stream insertions write
// them: numbers of every width at their extremes, characters and texts with
// a zero byte inside; pointers as 0x and lowercase hex, null as 0, whatever
// the C++ runtime's streams write for them (libc++ on Windows: the C
// runtime's "%p", 00007FF...).
TEST_F(DiagnosticLog, PlainLineWritesWhatStreamInsertionWrites) {
  int local = 0;
  const void* pointer = &local;
  const void* null = nullptr;
  const std::string withZero("a\0b", 3);
  std::ostringstream expected;
  expected << std::uint16_t{0} << ' ' << std::uint16_t{65535} << ' ' << std::uint32_t{4294967295u}
           << ' ' << std::int32_t{-2147483647 - 1} << ' ' << std::int32_t{2147483647} << ' '
           << -9223372036854775807LL << ' ' << 18446744073709551615ULL << ' '
           << PointerText(pointer) << ' ' << PointerText(null) << ' ' << 'x' << withZero << "|end";
  PlainLogLine() << std::uint16_t{0} << ' ' << std::uint16_t{65535} << ' '
                 << std::uint32_t{4294967295u} << ' ' << std::int32_t{-2147483647 - 1} << ' '
                 << std::int32_t{2147483647} << ' ' << -9223372036854775807LL << ' '
                 << 18446744073709551615ULL << ' ' << pointer << ' ' << null << ' ' << 'x'
                 << withZero << "|end";
  EXPECT_THAT(LogLines(), ElementsAre(expected.str()));
}

// Pieces that fill the line's buffer, overflow it or exceed it on their own
// come out whole and in order, as do long timestamped texts.
TEST_F(DiagnosticLog, LongLinesComeOutWholeAndInOrder) {
  const std::size_t size = diagnostics::kLogLineBuffer;
  const std::string a(size - 50, 'a'), b(100, 'b'), c(3 * size, 'c'), d(size - 1, 'd');
  PlainLogLine() << a << b << 42 << c << "end";
  PlainLogLine() << d;
  PlainLogLine() << d << 'e';
  // Timestamped texts that fit with their stamp and line end, and do not.
  const std::string fits(size - 24, 't'), longer(size - 23, 'u'), huge(5 * size, 'v');
  LogTimestamped(fits);
  LogTimestamped(longer);
  LogTimestamped(huge);
  EXPECT_THAT(LogLines(),
              ElementsAre(a + b + "42" + c + "end", d, d + "e", std::string(kStamp) + fits,
                          std::string(kStamp) + longer, std::string(kStamp) + huge));
}

// Fields wider than their width are written whole, as the stream would.
TEST_F(DiagnosticLog, TimestampFieldsOverTheirWidthAreNotCut) {
  platform::SetClockForTesting(
      [] { return platform::LocalTime{12345, 12, 31, 23, 59, 60}; });
  LogTimestamped("leap");
  EXPECT_THAT(LogLines(), ElementsAre("31.12.12345 - 23:59:60  leap"));
}

// A line that logs another line while it is being built comes after it: the
// inner line is complete in the file before the outer one is written.
TEST_F(DiagnosticLog, LineBuiltAroundAnotherLineFollowsIt) {
  const auto inner = [] {
    LogTimestamped("inner");
    return std::string("value");
  };
  PlainLogLine() << "first";
  PlainLogLine() << "outer " << inner();
  EXPECT_THAT(LogLines(), ElementsAre("first", std::string(kStamp) + "inner", "outer value"));
}

TEST_F(DiagnosticLog, TextWithLineBreakIsWrittenUnchanged) {
  LogTimestamped("first\nsecond");
  EXPECT_THAT(LogLines(), ElementsAre(std::string(kStamp) + "first", "second"));
}

TEST_F(DiagnosticLog, FirstLineEmptiesAnEarlierFileAndLaterLinesAppend) {
  WriteFile(LogPath(), "left by an earlier process\n");
  LogTimestamped("one");
  PlainLogLine() << "two";
  LogTimestamped("three");
  EXPECT_THAT(LogLines(), ElementsAre(std::string(kStamp) + "one", "two",
                                      std::string(kStamp) + "three"));
}

TEST_F(DiagnosticLog, FailedFirstOpenIsSwallowedAndNothingIsTruncatedLater) {
  const std::string good = platform::TempDirectory();
  WriteFile(LogPath(), "kept\n");

  platform::SetTempDirectoryForTesting(Directory() + "/missing/subdir/");
  EXPECT_NO_THROW(LogTimestamped("lost"));
  EXPECT_NO_THROW(PlainLogLine() << "lost too");

  platform::SetTempDirectoryForTesting(good);
  LogTimestamped("appended");
  EXPECT_THAT(LogLines(), ElementsAre("kept", std::string(kStamp) + "appended"));
}

TEST_F(DiagnosticLog, LogFileLiesInTheTemporaryDirectory) {
  EXPECT_EQ(LogPath(), platform::TempDirectory() + "QuarnClientDriver.log");
  LogTimestamped("x");
  EXPECT_TRUE(std::filesystem::exists(LogPath()));
}

// Every line end is stored as the platform's text files have it.
TEST_F(DiagnosticLog, LineEndsAreThoseOfTheSystemsTextFiles) {
  LogTimestamped("a\nb");
  PlainLogLine() << "c";
  const std::string bytes = ReadBytes(LogPath());
#if defined(_WIN32)
  EXPECT_EQ(bytes, std::string(kStamp) + "a\r\nb\r\nc\r\n");
#else
  EXPECT_EQ(bytes, std::string(kStamp) + "a\nb\nc\n");
#endif
}

#if !defined(_WIN32)
// The log's folder is shared by every user: the file is the user's alone, and
// a link planted at its name turns the log off for the process, even once the
// link is gone, and leaves the linked file as it was.
TEST_F(DiagnosticLog, FileIsTheUsersAloneAndAPlantedLinkTurnsTheLogOff) {
  LogTimestamped("one");
  namespace fs = std::filesystem;
  EXPECT_EQ(fs::status(LogPath()).permissions() & (fs::perms::group_all | fs::perms::others_all),
            fs::perms::none);

  diagnostics::ResetFirstOpenForTesting();
  fs::remove(LogPath());
  const std::string victim = Directory() + "/victim";
  WriteFile(victim, "mine\n");
  fs::create_symlink(victim, LogPath());
  LogTimestamped("refused");
  PlainLogLine() << "refused too";
  fs::remove(LogPath());
  LogTimestamped("still off");
  EXPECT_FALSE(fs::exists(LogPath()));
  EXPECT_EQ(ReadBytes(victim), "mine\n");
}
#endif

TEST(PlatformTempDirectory, AlwaysEndsWithASeparator) {
  const std::string dir = platform::TempDirectory();
  ASSERT_FALSE(dir.empty());
  EXPECT_TRUE(dir.back() == '/' || dir.back() == '\\') << dir;
  EXPECT_LT(dir.size(), platform::kMaxPath);
}

}  // namespace vdqrn

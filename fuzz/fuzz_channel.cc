// Raw bytes into the driver module's data-arrival procedure, through the
// engine simulator: on either channel, in normal and high-performance mode,
// with the send entry points answering statuses taken from the input and
// polls in between. A model of the one pending response checks every send:
//   - each write is answered by exactly one accepted send, unless a newer
//     write replaces its response first; nothing is sent with no response
//     pending, and after an accepted send the next poll answers 21;
//   - every attempt carries a whole response ("1.5.0", "OK", "OK|...",
//     "ERROR", "ERROR|..."), the same bytes on every retry, on the data
//     channel, through the queued write whenever it is too long for the
//     direct send's 16-bit length;
//   - where the answer is known, the bytes are exactly it: the version
//     keyword, and every command while no library or the recording library
//     is loaded, which a reference interpreter in this process answers the
//     same way (the recording library is one instance for both: same path).
//
// Input: a byte of session flags, then operations until the input ends.
//   flags bit 0     high-performance mode at the first open
//   flags bit 1     the module's log is written (else its directory is missing)
//   flags bits 2-3  the library loaded first: none, simspectro,
//                   recordingspectro, missingexport (which fails to load)
//   op % 8 = 0..2   a write: channel = op bit 3; op bit 4 hands the length
//                   over with a null pointer; a length byte (255: two more
//                   bytes, little-endian), then that many bytes of text
//   op % 8 = 3      a poll
//   op % 8 = 4      the send entry points' next answers: count byte % 8,
//                   then one byte each (an index into kStatuses)
//   op % 8 = 5      open again: version byte, then the outcome byte % 3:
//                   succeeds, the version query fails, the HPC properties fail
//   op % 8 = 6      the recording library's script: a sub-operation byte % 6
//                   (text, text of up to 72 KiB, null text, throw kind, flag
//                   and integer, float) and its bytes
//   op % 8 = 7      close
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "engine_sim.h"
#include "fuzz_input.h"
#include "interpreter/instrument.h"
#include "platform/platform.h"
#include "recording_controls.h"

namespace vdqrn {

namespace {

using engine_sim::SendPath;
using engine_sim::SentData;

const char kLogDirectory[] = "./fuzz-channel-log";
const char kMissingDirectory[] = "./fuzz-channel-missing/deeper";
const char kVersionKeyword[] = "QuarnClientDriverVersion";
const char kInitialLibraries[4][20] = {"", "simspectro", "recordingspectro", "missingexport"};

// Answers of the send entry points; 0 is taken, anything else refuses.
const std::int32_t kStatuses[] = {0, 1016, 1016, 1011, 7, 21, 30, -1};

[[noreturn]] void Fail(const char* what, const std::string& detail = std::string()) {
  std::fprintf(stderr, "fuzz_channel: %s\n", what);
  if (!detail.empty()) {
    std::fprintf(stderr, "  %.300s%s\n", detail.c_str(), detail.size() > 300 ? "..." : "");
  }
  std::abort();
}

void Check(bool condition, const char* what, const std::string& detail = std::string()) {
  if (!condition) Fail(what, detail);
}

std::string LocalLibraryPath(const char* name) {
  return std::string(platform::kLocalLibraryPrefix) + name + platform::kLibrarySuffix;
}

// The recording library's controls, reached in this process; it stays loaded
// for the whole run.
RecordingLibrary& Recording() {
  static RecordingLibrary* recording = new RecordingLibrary;
  return *recording;
}

// The interpreter that answers as the module's does while both have the
// same library loaded (none, or the recording library).
Instrument& Reference() {
  static Instrument* instrument = new Instrument;
  return *instrument;
}

enum class Library { kNone, kRecording, kOther };

bool IsWholeResponse(const std::string& response) {
  if (response == "1.5.0") return true;
  if (response.compare(0, 2, "OK") == 0) return response.size() == 2 || response[2] == '|';
  if (response.compare(0, 5, "ERROR") == 0) return response.size() == 5 || response[5] == '|';
  return false;
}

class Session {
 public:
  explicit Session(bool hpc) : immediate_(hpc), handlerHpc_(hpc) {
    Check(engine_.LoadModule(LocalLibraryPath("vdqrn-windows-engine")), "module not loaded", engine_.LastError());
    engine_.SetWdVersion(hpc ? 1 : 0);
    Check(engine_.Open() == 0, "first open failed");
    // A response left by an earlier input goes first.
    if (engine_.Poll() == 0) Check(engine_.Poll() == 21, "drained module still sends");
    engine_.ClearSent();
  }

  ~Session() {
    // Whatever is pending now arrives at the next poll, once.
    SetStatuses({});
    Poll();
    Poll();
    Check(!pending_, "response still pending after the engine took everything");
    if (!engine_.Violations().empty()) Fail("engine contract violated", engine_.Violations()[0]);
  }

  void Write(bool dataChannel, const std::string& text, bool nullPointer) {
    const std::string written = nullPointer ? std::string() : text;
    const std::size_t before = engine_.Sent().size();
    expected_ = Expect(written);
    const char* channel =
        dataChannel ? engine_sim::kDataChannelName : engine_sim::kCommandChannelName;
    bool hooked;
    if (nullPointer) {
      hooked = engine_.WriteRaw(channel, nullptr, static_cast<std::uint16_t>(text.size()));
    } else {
      hooked = engine_.Write(channel, text);
    }
    Check(hooked, "channel without write hook");
    pending_ = true;
    attempted_.clear();
    attemptedKnown_ = false;
    if (immediate_) {
      Check(engine_.Sent().size() == before + 1, "high-performance write did not send once");
      CheckSend(engine_.Sent().back());
    } else {
      Check(engine_.Sent().size() == before, "normal-mode write sent before the poll");
    }
  }

  void Poll() {
    const std::size_t before = engine_.Sent().size();
    const bool wasPending = pending_;
    const std::int32_t answer = engine_.Poll();
    if (!wasPending) {
      Check(answer == 21, "idle poll did not answer 21", std::to_string(answer));
      Check(engine_.Sent().size() == before, "idle poll sent something");
      return;
    }
    Check(engine_.Sent().size() == before + 1, "poll with a pending response did not send once");
    const std::int32_t status = CheckSend(engine_.Sent().back());
    const std::int32_t expected = status == 1016 ? 30 : status;
    Check(answer == expected, "poll answer does not follow the send status",
          std::to_string(answer) + " after " + std::to_string(status));
  }

  void SetStatuses(const std::vector<std::int32_t>& statuses) {
    statuses_.assign(statuses.begin(), statuses.end());
    engine_.ScriptSendStatuses(statuses);
  }

  void Reopen(std::uint16_t version, int outcome) {
    const std::size_t before = engine_.Sent().size();
    engine_.SetWdVersion(version);
    if (outcome == 1) engine_.FailVersionQuery(55);
    if (outcome == 2) engine_.FailHpcProperties(77);
    const std::int32_t status = engine_.Open();
    engine_.FailVersionQuery(0);
    engine_.FailHpcProperties(0);
    Check(engine_.Sent().size() == before, "open sent something");
    if (outcome == 1) {
      Check(status == 55, "failed version query not passed on");
      immediate_ = false;
    } else if (outcome == 2 && version != 0) {
      Check(status == 77, "refused HPC properties not passed on");
      immediate_ = true;
    } else {
      Check(status == 0, "open failed");
      immediate_ = handlerHpc_ = version != 0;
    }
  }

  void Close() { Check(engine_.Close() == 0, "close failed"); }

 private:
  // The exact response to a text, when it can be known; empty otherwise.
  std::string Expect(const std::string& text) {
    if (text == kVersionKeyword) return "1.5.0";
    const bool init = GetCommandName(text) == "Init";
    if (!init && library_ == Library::kOther) return std::string();
    std::string response;
    try {
      response = Reference().Execute(text).ToString();
    } catch (...) {
      response = "ERROR|Unhandled exception";
    }
    // An Init without its parameter changes nothing; any other replaces the
    // library or leaves none.
    const Parameters parameters = init ? GetParameters(text) : Parameters();
    if (!parameters.empty()) {
      if (response != "OK") {
        library_ = Library::kNone;
      } else if (parameters.at(0) == "recordingspectro") {
        library_ = Library::kRecording;
      } else {
        library_ = Library::kOther;
      }
    }
    return response;
  }

  // Checks one call of a send entry point against the model; the status the
  // engine answered it with.
  std::int32_t CheckSend(const SentData& sent) {
    Check(pending_, "sent with no response pending", sent.bytes);
    Check(IsWholeResponse(sent.bytes), "not a whole response", sent.bytes);
    if (!expected_.empty()) {
      Check(sent.bytes == expected_, "wrong response", sent.bytes + "\n  expected " + expected_);
    }
    if (attemptedKnown_) Check(sent.bytes == attempted_, "retry carries other bytes", sent.bytes);
    attempted_ = sent.bytes;
    attemptedKnown_ = true;

    Check(sent.channel == engine_.ChannelNumber(engine_sim::kDataChannelName),
          "sent on another channel");
    const bool direct = handlerHpc_ && sent.bytes.size() <= 0xFFFF;
    if (direct) {
      Check(sent.path == SendPath::kDirectSend, "expected the direct send");
      Check(sent.directFlags == 1 && sent.userDataPointsToBytes, "direct send arguments");
    } else {
      Check(sent.path == SendPath::kQueuedWrite, "expected the queued write");
      Check(sent.sectionCount == 1 && sent.queueFlags == 0, "queued write arguments");
    }

    std::int32_t status = 0;
    if (!statuses_.empty()) {
      status = statuses_.front();
      statuses_.pop_front();
    }
    if (status == 0) pending_ = false;
    return status;
  }

  engine_sim::Engine engine_;
  bool immediate_;   // the data-arrival procedure sends at once
  bool handlerHpc_;  // the mode of the last successful open
  bool pending_ = false;
  std::string expected_;
  std::string attempted_;
  bool attemptedKnown_ = false;
  std::deque<std::int32_t> statuses_;
  Library library_ = Library::kNone;
};

void ScriptRecording(FuzzInput& input) {
  switch (input.Byte() % 6) {
    case 0: {
      const std::string text = input.Bytes(input.Byte());
      Recording().SetText(text.c_str());
      break;
    }
    case 1: {
      // Up to 72 KiB: on both sides of the direct send's 16-bit length.
      const std::size_t kilobytes = input.Byte() % 72;
      const char fill = static_cast<char>(input.Byte() | 1);
      Recording().SetText(std::string(kilobytes * 1024 + input.Byte(), fill).c_str());
      break;
    }
    case 2:
      Recording().SetText(nullptr);
      break;
    case 3:
      Recording().SetThrow(static_cast<RecordingLibrary::Throw>(input.Byte() % 5));
      break;
    case 4: {
      const std::uint8_t value = input.Byte();
      Recording().SetBool((value & 1) != 0);
      Recording().SetInt(static_cast<std::int8_t>(value));
      break;
    }
    default: {
      std::uint32_t bits = 0;
      for (int i = 0; i < 4; ++i) bits = bits << 8 | input.Byte();
      float value;
      static_assert(sizeof value == sizeof bits, "float is 32 bits");
      __builtin_memcpy(&value, &bits, sizeof value);
      Recording().SetFloat(value);
      break;
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The reference interpreter's own log goes nowhere.
  platform::SetTempDirectoryForTesting(std::string(kMissingDirectory) + "/");
  // The module and the libraries stay loaded for the whole run: unloading an
  // instrumented library under libFuzzer takes its coverage counters away.
  for (const char* name : {"vdqrn-windows-engine", "simspectro", "missingexport"}) {
    Check(platform::LoadDynamicLibrary(LocalLibraryPath(name).c_str()) != nullptr,
          "cannot load a library beside the fuzzer", name);
  }
  Check(Recording().IsLoaded(), "cannot load recordingspectro");
  std::filesystem::create_directories(kLogDirectory);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static unsigned runs = 0;
  if (++runs % 1024 == 1) {
    // The module's log grows with every input; start it afresh now and then.
    std::ofstream(engine_sim::ModuleLogPath(kLogDirectory), std::ios::trunc);
  }
  FuzzInput input(data, size);
  const std::uint8_t flags = input.Byte();
  engine_sim::SetModuleTempDirectory((flags & 2) != 0 ? kLogDirectory : kMissingDirectory);
  Recording().Reset();

  Session session((flags & 1) != 0);
  session.Write(true, std::string("Init|") + kInitialLibraries[(flags >> 2) & 3] + "|", false);
  session.Poll();

  while (!input.AtEnd()) {
    const std::uint8_t op = input.Byte();
    switch (op % 8) {
      case 0:
      case 1:
      case 2: {
        std::size_t length = input.Byte();
        if (length == 255) length = input.Byte() | static_cast<std::size_t>(input.Byte()) << 8;
        session.Write((op & 8) != 0, input.Bytes(length), (op & 16) != 0);
        break;
      }
      case 3:
        session.Poll();
        break;
      case 4: {
        std::vector<std::int32_t> statuses(input.Byte() % 8);
        for (std::int32_t& status : statuses) status = kStatuses[input.Byte() % 8];
        session.SetStatuses(statuses);
        break;
      }
      case 5: {
        const std::uint16_t version = input.Byte();
        session.Reopen(version, input.Byte() % 3);
        break;
      }
      case 6:
        ScriptRecording(input);
        break;
      default:
        session.Close();
        break;
    }
  }
  return 0;
}

}  // namespace vdqrn

// The engine records that the driver module reads, fuzzed: the engine's
// answers at open (refused channels and hooks, failed version and
// high-performance queries, missing tables and procedures, channel mask,
// maximum write size), then the module's procedures called through its table
// with records whose lengths, classes and contents come from the input: info
// buffers of any length (module names without a zero byte), query classes and
// buffer lengths, set-information classes, null records, and link records
// handed to Load and to the unload procedure again. Pointers in the records
// are always valid or null; only what they point at and the numbers vary.
// Every buffer is allocated at exactly the length the record claims (at most
// 64 KiB; the driver never writes more than its 292-byte record), so that
// AddressSanitizer sees any write past it; the bytes the driver must leave
// alone are compared as well.
//
// Input: two bytes of engine set-up, the maximum write size (2 bytes,
// little-endian), then operations until the input ends.
//   byte 0: bit 0 high-performance version, bit 1 command channel's hook
//           refused, bit 2 data channel's hook refused, bit 3 no library
//           table, bit 4 no lookup procedure, bit 5 no winstation driver
//           procedure 7, bit 6 no procedure 6, bit 7 command channel refused
//   byte 1: bit 0 data channel refused, bit 1 version query fails, bit 2
//           high-performance properties refused, bit 3 no winstation driver
//           procedure table, bits 4-7 the channel mask
//   op % 8 = 0  info: op bit 3 null buffer, bit 4 null driver record; length
//               (2 bytes), then the buffer's bytes
//   op % 8 = 1  info with a null record
//   op % 8 = 2  query: op bit 3 null buffer; class and length (4 bytes each),
//               then up to 300 bytes of the buffer
//   op % 8 = 3  query with a null record
//   op % 8 = 4  set information: op bit 3 null record; class (4 bytes)
//   op % 8 = 5  (op >> 3) % 4: poll, close, open without records, open with
//               the driver record but no open record
//   op % 8 = 6  Load again: library table choice byte % 3 (the engine's,
//               none, one without the lookup), then the link record's bytes
//   op % 8 = 7  the unload procedure: op bit 3 null link record, else the
//               link record's bytes
// At the end the engine opens again, and when that open works with the data
// channel's write hook taken, a greeting must come back.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "engine_sim.h"
#include "fuzz_input.h"
#include "platform/platform.h"

namespace vdqrn {

namespace {

const char kMissingDirectory[] = "./fuzz-records-missing/deeper";
constexpr std::size_t kLargestBuffer = 64 * 1024;
constexpr std::uint8_t kFill = 0xA5;

// What the scripted engine answers when it refuses.
constexpr std::int32_t kCommandOpenRefused = 1201;
constexpr std::int32_t kDataOpenRefused = 1202;
constexpr std::int32_t kHookRefused = 1203;
constexpr std::int32_t kVersionFailed = 1204;
// The size value every channel open returns: the engine's, by target width.
constexpr std::uint16_t kOpenSizeValue = sizeof(void*) == 8 ? 48 : 24;
constexpr std::int32_t kHpcRefused = 1205;

// A library table whose lookup entry is missing; the module may keep it.
ica::EngineProcedure g_tableWithoutLookup[4] = {};

[[noreturn]] void Fail(const char* what, long long value = 0) {
  std::fprintf(stderr, "fuzz_records: %s (%lld)\n", what, value);
  std::abort();
}

void Check(bool condition, const char* what, long long value = 0) {
  if (!condition) Fail(what, value);
}

struct Setup {
  bool hpc;
  bool commandHookRefused, dataHookRefused;
  bool noLibraryTable, noLookup, noSetProcedure, noQueryProcedure, noWdTable;
  bool commandOpenRefused, dataOpenRefused, versionFails, hpcRefused;
  std::uint32_t channelMask;
  std::uint16_t maximumWriteSize;
};

Setup ReadSetup(FuzzInput& input) {
  const std::uint8_t first = input.Byte();
  const std::uint8_t second = input.Byte();
  Setup setup{};
  setup.hpc = (first & 1) != 0;
  setup.commandHookRefused = (first & 2) != 0;
  setup.dataHookRefused = (first & 4) != 0;
  setup.noLibraryTable = (first & 8) != 0;
  setup.noLookup = (first & 16) != 0;
  setup.noSetProcedure = (first & 32) != 0;
  setup.noQueryProcedure = (first & 64) != 0;
  setup.commandOpenRefused = (first & 128) != 0;
  setup.dataOpenRefused = (second & 1) != 0;
  setup.versionFails = (second & 2) != 0;
  setup.hpcRefused = (second & 4) != 0;
  setup.noWdTable = (second & 8) != 0;
  setup.channelMask = second >> 4;
  setup.maximumWriteSize = input.U16();
  return setup;
}

// The open's status as the scripted engine makes it.
std::int32_t ExpectedOpenStatus(const Setup& setup) {
  if (setup.noWdTable || setup.noQueryProcedure) return ica::kStatusUnavailable;
  if (setup.commandOpenRefused) return kCommandOpenRefused;
  if (setup.dataOpenRefused) return kDataOpenRefused;
  if (setup.versionFails) return kVersionFailed;
  if (setup.hpc && setup.noSetProcedure) return ica::kStatusUnavailable;
  if (setup.hpc && setup.hpcRefused) return kHpcRefused;
  return ica::kStatusSuccess;
}

class Records {
 public:
  explicit Records(const Setup& setup) : setup_(setup) {
    engine_.SetWdVersion(setup.hpc ? 1 : 0);
    engine_.SetChannelMask(setup.channelMask);
    engine_.SetMaximumWriteSize(setup.maximumWriteSize);
    using engine_sim::kCommandChannelName;
    using engine_sim::kDataChannelName;
    if (setup.commandHookRefused) engine_.FailWriteHook(kCommandChannelName, kHookRefused);
    if (setup.dataHookRefused) engine_.FailWriteHook(kDataChannelName, kHookRefused);
    engine_.SetLibraryTablePresent(!setup.noLibraryTable);
    engine_.SetLookupPresent(!setup.noLookup);
    engine_.SetWdProcedurePresent(ica::kWdSetInformation, !setup.noSetProcedure);
    engine_.SetWdProcedurePresent(ica::kWdQueryInformation, !setup.noQueryProcedure);
    engine_.SetWdProcedureTablePresent(!setup.noWdTable);
    if (setup.commandOpenRefused) engine_.FailChannelOpen(kCommandChannelName, kCommandOpenRefused);
    if (setup.dataOpenRefused) engine_.FailChannelOpen(kDataChannelName, kDataOpenRefused);
    if (setup.versionFails) engine_.FailVersionQuery(kVersionFailed);
    if (setup.hpcRefused) engine_.FailHpcProperties(kHpcRefused);

    const std::string module =
        std::string(platform::kLocalLibraryPrefix) + "vdqrn-windows-engine" + platform::kLibrarySuffix;
    Check(engine_.LoadModule(module), "module not loaded");
    procedures_ = engine_.Link().pProcedureTable;
    driver_ = const_cast<ica::DriverRecord*>(engine_.Driver());
    lookups_ = engine_.Link().pLibraryTable != nullptr && !setup.noLookup;
    Open();
  }

  ~Records() {
    Open();
    const bool dataHooked = !setup_.noWdTable && !setup_.noQueryProcedure &&
                            !setup_.commandOpenRefused && !setup_.dataOpenRefused &&
                            !setup_.noSetProcedure && !setup_.dataHookRefused;
    const bool commandHooked = !setup_.noWdTable && !setup_.noQueryProcedure &&
                               !setup_.commandOpenRefused && !setup_.noSetProcedure &&
                               !setup_.commandHookRefused;
    Check(engine_.HasWriteHook(engine_sim::kDataChannelName) == dataHooked, "data channel hook");
    Check(engine_.HasWriteHook(engine_sim::kCommandChannelName) == commandHooked,
          "command channel hook");
    if (ExpectedOpenStatus(setup_) != ica::kStatusSuccess) {
      // The module keeps what an earlier engine gave it; nothing to check.
    } else if (dataHooked) {
      Check(engine_.Write(engine_sim::kDataChannelName, "Hello"), "greeting not written");
      if (!setup_.hpc) Check(engine_.Poll() == 0, "greeting not sent");
      Check(engine_.Poll() == ica::kStatusNoData, "greeting sent twice");
      Check(!engine_.Sent().empty() && engine_.Sent().back().bytes == "OK|Hello",
            "greeting not answered");
    } else if (commandHooked) {
      // Without the data channel's hook the engine gave no context to send
      // with: the greeting is answered but stays pending.
      const std::size_t sent = engine_.Sent().size();
      Check(engine_.Write(engine_sim::kCommandChannelName, "Hello"), "greeting not written");
      Check(engine_.Poll() == ica::kStatusUnavailable, "greeting sent without a context");
      Check(engine_.Sent().size() == sent, "greeting sent without a context");
    }
    Check(engine_.Violations().empty(), "engine contract violated");
  }

  void Open() {
    const std::size_t lookedUp = engine_.LookedUpModules().size();
    const std::int32_t status = engine_.Open();
    Check(status == ExpectedOpenStatus(setup_), "open status", status);
    Check(engine_.OpenSizeValue() == kOpenSizeValue, "open size value", engine_.OpenSizeValue());
    Check(engine_.Driver()->ulChannelMask == setup_.channelMask, "channel mask");
    Check(engine_.LookedUpModules().size() == lookedUp + (lookups_ ? 17 : 0), "module lookups");
  }

  void Info(FuzzInput& input, std::uint8_t op) {
    const std::uint16_t length = input.U16();
    std::unique_ptr<std::uint8_t[]> buffer(new std::uint8_t[length == 0 ? 1 : length]);
    input.Fill(buffer.get(), length, kFill);
    const std::unique_ptr<std::uint8_t[]> before(new std::uint8_t[length == 0 ? 1 : length]);
    std::memcpy(before.get(), buffer.get(), length);

    const bool nullBuffer = (op & 8) != 0;
    ica::InfoRecord record{};
    record.pBuffer = nullBuffer ? nullptr : buffer.get();
    record.usBufferLength = length;
    const std::int32_t status = Call(ica::kProcInfo, (op & 16) != 0 ? nullptr : driver_, &record);

    if (nullBuffer || length < ica::kInfoOutputSize) {
      Check(status == ica::kStatusBufferTooSmall, "short info buffer accepted", status);
      Check(record.usBufferLength == ica::kInfoOutputSize, "info length asked for");
      Check(std::memcmp(buffer.get(), before.get(), length) == 0, "short info buffer written");
      return;
    }
    Check(status == ica::kStatusSuccess, "info failed", status);
    Check(record.usBufferLength == length, "info length changed");
    const auto* out = reinterpret_cast<const ica::InfoOutputBuffer*>(buffer.get());
    Check(out->usSize == ica::kInfoOutputSize && out->bValue3 == 3 && out->bVersionFirst == 1 &&
              out->bVersionSecond == 1 && out->bValue40 == 0 && out->bValue41 == 0,
          "info fields");
    Check(std::memcmp(out->szDriverType, "ICA\0\0\0\0\0\0", 9) == 0, "info driver type");
    // Everything else is the engine's: byte 2, the module name, 28 to 39
    // and from 42 on.
    for (std::size_t i = 0; i < length; ++i) {
      const bool field = i < 2 || (i >= 3 && i < 6) || (i >= 19 && i < 28) || i == 40 || i == 41;
      if (!field) Check(buffer[i] == before[i], "info byte written", static_cast<long long>(i));
    }
  }

  void Query(FuzzInput& input, std::uint8_t op) {
    const std::uint32_t infoClass = input.U32();
    const std::uint32_t length = input.U32();
    // Lengths beyond 64 KiB are claimed over a 64 KiB buffer; see above.
    const std::size_t allocated = length < kLargestBuffer ? length : kLargestBuffer;
    std::unique_ptr<std::uint8_t[]> buffer(new std::uint8_t[allocated == 0 ? 1 : allocated]);
    std::memset(buffer.get(), kFill, allocated);
    input.Fill(buffer.get(), allocated < 300 ? allocated : 300, kFill);
    const std::unique_ptr<std::uint8_t[]> before(new std::uint8_t[allocated == 0 ? 1 : allocated]);
    std::memcpy(before.get(), buffer.get(), allocated);

    const bool nullBuffer = (op & 8) != 0;
    ica::QueryRecord record{};
    record.ulInformationClass = infoClass;
    record.pBuffer = nullBuffer ? nullptr : buffer.get();
    record.ulBufferLength = length;
    record.ulReturnedLength = engine_sim::Engine::kUntouchedLength;
    const std::int32_t status = Call(ica::kProcQueryInformation, driver_, &record);

    std::size_t written = 0;
    if (infoClass != ica::kQueryLastError) {
      Check(status == ica::kStatusSuccess, "query of another class failed", status);
      Check(record.ulReturnedLength == engine_sim::Engine::kUntouchedLength, "returned length set");
    } else if (nullBuffer || length < ica::kLastErrorSize) {
      Check(status == ica::kStatusBufferTooSmall, "short last-error buffer accepted", status);
      Check(record.ulReturnedLength == engine_sim::Engine::kUntouchedLength, "returned length set");
    } else {
      Check(status == ica::kStatusSuccess, "last-error query failed", status);
      Check(record.ulReturnedLength == ica::kLastErrorSize, "last-error returned length");
      written = ica::kLastErrorSize;
      for (std::size_t i = 0; i < written; ++i) Check(buffer[i] == 0, "last error not cleared");
    }
    Check(std::memcmp(buffer.get() + written, before.get() + written, allocated - written) == 0,
          "query wrote past its record");
  }

  void NullRecord(ica::DriverProcedureIndex index, std::int32_t expected) {
    std::uint16_t size = 0x5A5A;
    Check(Call(index, driver_, nullptr, &size) == expected, "null record", index);
  }

  void SetInformation(FuzzInput& input, std::uint8_t op) {
    ica::QueryRecord record{};
    record.ulInformationClass = input.U32();
    Check(Call(ica::kProcSetInformation, driver_, (op & 8) != 0 ? nullptr : &record) == 0,
          "set information failed");
  }

  void WithoutRecords(std::uint8_t op) {
    switch ((op >> 3) % 4) {
      case 0:
        Call(ica::kProcPoll, nullptr, nullptr, nullptr);
        break;
      case 1:
        Check(Call(ica::kProcClose, nullptr, nullptr, nullptr) == 0, "close failed");
        break;
      case 2:
        Check(Call(ica::kProcOpen, nullptr, nullptr, nullptr) == ica::kStatusUnavailable,
              "open without records");
        break;
      default: {
        std::uint16_t size = 0;
        Check(Call(ica::kProcOpen, driver_, nullptr, &size) == ica::kStatusUnavailable,
              "open without an open record");
        Check(size == kOpenSizeValue, "open size value", size);
        break;
      }
    }
  }

  void Relink(FuzzInput& input) {
    const std::uint8_t choice = input.Byte() % 3;
    ica::LinkRecord link;
    input.Fill(reinterpret_cast<std::uint8_t*>(&link), sizeof link, kFill);
    link.pProcedureTable = nullptr;
    link.pDriverRecord = nullptr;
    link.pLibraryTable = choice == 0   ? engine_.Link().pLibraryTable
                         : choice == 1 ? nullptr
                                       : g_tableWithoutLookup;
    const ica::LinkRecord before = link;
    const auto load = reinterpret_cast<ica::LoadProcedure>(procedures_[ica::kProcLoad]);
    Check(load(&link) == 0, "Load failed");
    Check(link.usProcedureCount == 8 && link.pProcedureTable == procedures_ &&
              link.pDriverRecord == driver_,
          "Load's link record");
    Check(std::memcmp(link.reserved0, before.reserved0, sizeof link.reserved0) == 0 &&
              std::memcmp(link.reserved6, before.reserved6, sizeof link.reserved6) == 0 &&
              std::memcmp(link.reserved16, before.reserved16, sizeof link.reserved16) == 0 &&
              link.pLibraryTable == before.pLibraryTable,
          "Load wrote outside its fields");
    lookups_ = choice == 0 && link.pLibraryTable != nullptr && !setup_.noLookup;
  }

  void UnloadProcedure(FuzzInput& input, std::uint8_t op) {
    const auto unload = reinterpret_cast<ica::UnloadProcedure>(procedures_[ica::kProcUnload]);
    if ((op & 8) != 0) {
      Check(unload(driver_, nullptr) == 0, "unload without a link record");
      return;
    }
    ica::LinkRecord link;
    input.Fill(reinterpret_cast<std::uint8_t*>(&link), sizeof link, kFill);
    link.pProcedureTable = procedures_;
    link.pDriverRecord = driver_;
    link.pLibraryTable = nullptr;
    const ica::LinkRecord before = link;
    Check(unload(driver_, &link) == 0, "unload failed");
    Check(link.usProcedureCount == 0 && link.pProcedureTable == nullptr &&
              link.pDriverRecord == nullptr,
          "unload's link record");
    Check(std::memcmp(link.reserved16, before.reserved16, sizeof link.reserved16) == 0,
          "unload wrote outside its fields");
  }

 private:
  std::int32_t Call(ica::DriverProcedureIndex index, ica::DriverRecord* driver, void* record) {
    std::uint16_t size = 0;
    return Call(index, driver, record, &size);
  }
  std::int32_t Call(ica::DriverProcedureIndex index, ica::DriverRecord* driver, void* record,
                    std::uint16_t* size) {
    return reinterpret_cast<ica::DriverProcedure>(procedures_[index])(driver, record, size);
  }

  Setup setup_;
  engine_sim::Engine engine_;
  ica::EngineProcedure* procedures_ = nullptr;
  ica::DriverRecord* driver_ = nullptr;
  bool lookups_ = false;  // whether an open looks the engine modules up
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The module stays loaded for the whole run: unloading an instrumented
  // library under libFuzzer takes its coverage counters away.
  const std::string module =
      std::string(platform::kLocalLibraryPrefix) + "vdqrn-windows-engine" + platform::kLibrarySuffix;
  Check(platform::LoadDynamicLibrary(module.c_str()) != nullptr, "cannot load the module");
  // The module's log goes nowhere: these inputs are about records, not texts.
  engine_sim::SetModuleTempDirectory(kMissingDirectory);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzInput input(data, size);
  Records records(ReadSetup(input));
  while (!input.AtEnd()) {
    const std::uint8_t op = input.Byte();
    switch (op % 8) {
      case 0: records.Info(input, op); break;
      case 1: records.NullRecord(ica::kProcInfo, ica::kStatusBufferTooSmall); break;
      case 2: records.Query(input, op); break;
      case 3: records.NullRecord(ica::kProcQueryInformation, ica::kStatusBufferTooSmall); break;
      case 4: records.SetInformation(input, op); break;
      case 5: records.WithoutRecords(op); break;
      case 6: records.Relink(input); break;
      default: records.UnloadProcedure(input, op); break;
    }
  }
  return 0;
}

}  // namespace vdqrn

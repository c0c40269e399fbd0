// Command texts straight into the interpreter, once with the simulated
// instrument loaded and once with no library at all. The first byte picks
// the interpreter; the rest is the command text. Every text must be answered
// with a whole response: "OK" or "ERROR", alone or followed by "|" and a text.
#include <cstddef>
#include <cstdint>
#include <string>

#include "diagnostics/log.h"
#include "interpreter/instrument.h"
#include "platform/platform.h"

namespace vdqrn {

namespace {

Instrument& WithSimulatedInstrument() {
  static Instrument* instrument = [] {
    auto* created = new Instrument;
    created->Execute("Init|simspectro|");
    return created;
  }();
  return *instrument;
}

Instrument& WithoutLibrary() {
  static Instrument* instrument = new Instrument;
  return *instrument;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Keep the log in the working directory, and start it afresh every so often.
  platform::SetTempDirectoryForTesting("./");
  // Inputs may load and unload the libraries beside the fuzzer ("Init|...|").
  // Holding one extra reference keeps their coverage counters mapped.
  for (const char* name : {"simspectro", "vdqrn", "recordingspectro", "missingexport"}) {
    platform::LoadDynamicLibrary(
        (std::string(platform::kLocalLibraryPrefix) + name + platform::kLibrarySuffix).c_str());
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static unsigned runs = 0;
  if (++runs % 4096 == 0) diagnostics::ResetFirstOpenForTesting();
  if (size == 0) return 0;

  Instrument& instrument = (data[0] & 1) != 0 ? WithSimulatedInstrument() : WithoutLibrary();
  const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
  const std::string response = instrument.Execute(text).ToString();
  const bool ok = response.compare(0, 2, "OK") == 0 && (response.size() == 2 || response[2] == '|');
  const bool error =
      response.compare(0, 5, "ERROR") == 0 && (response.size() == 5 || response[5] == '|');
  if (!ok && !error) __builtin_trap();
  return 0;
}

}  // namespace vdqrn

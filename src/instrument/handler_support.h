// What the command handlers share: their failure texts, the guard against
// calling a library that is not loaded, and the reading of library texts.
#pragma once

#include <string>

#include "instrument/conversions.h"
#include "interpreter/instrument.h"

namespace vdqrn {

extern const char kMissingParameter[];
extern const char kNoDriverLoaded[];
// After a cut-short call: in a host, which the next Init ends with all the
// library held; in the client process, whose copy may hold the instrument
// until the client ends.
extern const char kDriverCutShort[];
extern const char kDriverCutShortInProcess[];

inline Result MissingParameter() { return ErrorResult(kMissingParameter); }

// A library text copied at once; a null pointer counts as the empty text.
inline std::string LibraryText(const char* text) { return text != nullptr ? text : ""; }

template <typename Call>
Result Instrument::CallDriver(Call call) {
  if (!spectro_.IsLoaded()) return ErrorResult(kNoDriverLoaded);
  if (spectro_.WasCutShort()) {
    return ErrorResult(spectro_.RunsInAHost() ? kDriverCutShort : kDriverCutShortInProcess);
  }
  return call();
}

}  // namespace vdqrn

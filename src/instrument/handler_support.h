// What the command handlers share: their failure texts, the guard against
// calling a library that is not loaded, and the reading of library texts.
#pragma once

#include <string>

#include "instrument/conversions.h"
#include "interpreter/instrument.h"

namespace vdqrn {

extern const char kMissingParameter[];
extern const char kNoDriverLoaded[];
extern const char kDriverCutShort[];

inline Result MissingParameter() { return ErrorResult(kMissingParameter); }

// A library text copied at once; a null pointer counts as the empty text.
inline std::string LibraryText(const char* text) { return text != nullptr ? text : ""; }

template <typename Call>
Result Instrument::CallDriver(Call call) {
  if (!spectro_.IsLoaded()) return ErrorResult(kNoDriverLoaded);
  if (spectro_.WasCutShort()) return ErrorResult(kDriverCutShort);
  return call();
}

}  // namespace vdqrn

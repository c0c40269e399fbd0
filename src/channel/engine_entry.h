// The module's entry from the engine: the Load export, which hands over the
// table of the eight driver procedures, and those procedures.
#pragma once

#include <cstdint>

#include "channel/ica_records.h"

extern "C" std::int32_t VDQRN_ENGINE_CALL Load(ica::LinkRecord* pLink);

// Logs the call and fills the record with "no error": code 0, empty text.
std::int32_t DriverGetLastError(ica::DriverRecord* pDriver, ica::LastErrorRecord* pLastError);

// The installation check's verdict: one finding per thing checked, each
// fault with its exit status and the fix an administrator applies.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "installation_facts.h"

namespace installation_check {

// Exit statuses of the faults, in the order they are looked for: the check
// exits with the first. (engine_sim's own statuses run up to 12.)
enum FaultStatus : int {
  kNoClient = 13,           // no client in the folder
  kNotListed = 14,          // the client's module list does not name QRN
  kNotSwitchedOn = 15,      // module.ini: "QRN = On" missing in [ICA 3.0]
  kEntryWrong = 16,         // the module's own entry missing or wrong
  kModuleMissing = 17,      // VDQRN.DLL not in the client's folder
  kWrongArchitecture = 18,  // the module is not of the client's architecture
  kHostMissing = 19,        // an instrument host the client needs is missing
  kLogNotWritable = 20,     // the driver's log cannot be written by this user
  kAmbiguousForm = 21,      // a registration the client may read another way
};

struct Finding {
  int status = 0;  // 0: as it should be
  std::string text;
  std::string fix;  // what to do; empty when status is 0
};

// Judges the facts. The first finding with a non-zero status decides the
// exit status; a missing client ends the list (nothing else can be read).
std::vector<Finding> JudgeInstallation(const InstallationFacts& facts);

// The exit status the findings decide: the first fault's, 0 when none.
int FirstFault(const std::vector<Finding>& findings);

// "check: TEXT" lines, and "check:   fix: FIX" after each fault.
void PrintFindings(const std::vector<Finding>& findings, std::ostream& out);

// Whether the module can be loaded by a process of this tool's
// architecture: false when the facts say it is of another (the engine_sim of
// that package checks it).
bool ModuleLoadableHere(const InstallationFacts& facts);

}  // namespace installation_check

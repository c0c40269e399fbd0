// Whether an instrument library of the module's own architecture may be
// loaded in process: its start-up code (a DllMain, static constructors) runs
// unguarded under the system's loader, so a trial load in an instrument
// host comes first (InstrumentHost::TryLoading), and its verdict is kept
// while the file is unchanged.
#pragma once

#include <string>

namespace vdqrn {

class LibraryTrial {
 public:
  struct Verdict {
    bool mayLoad = false;
    // Why not (when !mayLoad), or why no trial could be made (when made is
    // false: the library loads untried).
    std::string reason;
    bool made = true;
  };
  // The verdict for the file (an absolute path as platform::LocateLibrary
  // gives). A library already loaded in this process may load again (its
  // start-up code ran here and came through). A trial that could not be made
  // (no host starts) lets the library load untried; one ended from outside
  // refuses it this once. Neither is kept.
  static Verdict Judge(const std::string& file);

  // How long a trial may take: start-up and clean-up together, 30 s.
  static constexpr long kDefaultLimitMs = 30 * 1000;
  // Test seams: another limit (0 restores the default), and no verdict kept.
  static void SetLimitForTesting(long milliseconds);
  static void ForgetVerdictsForTesting();
};

}  // namespace vdqrn

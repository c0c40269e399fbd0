#include "instrument/library_trial.h"

#include <map>
#include <mutex>

#include "instrument/instrument_host.h"
#include "platform/platform.h"

namespace vdqrn {

namespace {

long g_limitMs = LibraryTrial::kDefaultLimitMs;

struct Kept {
  std::string stamp;  // the file's, when it was tried
  LibraryTrial::Verdict verdict;
};

// Verdicts by file, for as long as the module stays loaded.
std::mutex g_keptLock;
std::map<std::string, Kept>& KeptVerdicts() {
  static std::map<std::string, Kept> kept;
  return kept;
}

}  // namespace

LibraryTrial::Verdict LibraryTrial::Judge(const std::string& file) {
  Verdict verdict;
  if (platform::LibraryIsLoaded(file)) {
    verdict.mayLoad = true;
    return verdict;
  }
  const std::string stamp = platform::FileStamp(file);
  {
    const std::lock_guard<std::mutex> hold(g_keptLock);
    const auto known = KeptVerdicts().find(file);
    if (known != KeptVerdicts().end() && !stamp.empty() && known->second.stamp == stamp) {
      return known->second.verdict;
    }
  }
  const InstrumentHost::Trial trial = InstrumentHost::TryLoading(file, g_limitMs);
  verdict.reason = trial.reason;
  switch (trial.verdict) {
    case InstrumentHost::Trial::kCameThrough: verdict.mayLoad = true; break;
    case InstrumentHost::Trial::kFailed: verdict.mayLoad = false; break;
    case InstrumentHost::Trial::kNotMade:
      verdict.mayLoad = true;
      verdict.made = false;
      return verdict;
    case InstrumentHost::Trial::kEnded:
      return verdict;  // refused this once, and tried again next time
  }
  // A file changed while it was tried: the verdict is for what was tried,
  // and the next load tries again.
  if (!stamp.empty() && platform::FileStamp(file) == stamp) {
    const std::lock_guard<std::mutex> hold(g_keptLock);
    KeptVerdicts()[file] = Kept{stamp, verdict};
  }
  return verdict;
}

void LibraryTrial::SetLimitForTesting(long milliseconds) {
  g_limitMs = milliseconds > 0 ? milliseconds : kDefaultLimitMs;
}

void LibraryTrial::ForgetVerdictsForTesting() {
  const std::lock_guard<std::mutex> hold(g_keptLock);
  KeptVerdicts().clear();
}

}  // namespace vdqrn

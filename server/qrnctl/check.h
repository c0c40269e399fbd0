// qrnctl check: whether the driver on the client answers through the
// opened channels, and, when asked, whether the instrument library loads
// and connects. Says what is wrong in plain words. A library already
// loaded in the session (a host application's) is left alone: the check
// then refuses instead of reloading it, and it leaves none loaded itself.
#pragma once

#include "options.h"
#include "session.h"
#include "verdict.h"

namespace qrnctl {

// The session's channels are open. Fills in the verdict (its exit code
// among them).
void CheckDriver(qrnclient::Session& session, const Options& options, Verdict* verdict);

}  // namespace qrnctl

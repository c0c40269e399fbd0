// qrnctl check: whether the driver on the client answers through the
// opened channels, and, when asked, whether the instrument library loads
// and connects. Says what is wrong in plain words.
#pragma once

#include <ostream>
#include <string>

#include "options.h"
#include "session.h"

namespace qrnctl {

// The session's channels are open. Answers an exit code.
int CheckDriver(qrnclient::Session& session, const Options& options, std::ostream& out);

}  // namespace qrnctl

#include "terminal.h"

#if defined(_WIN32)
#include <io.h>

#include <cstdio>
#else
#include <unistd.h>
#endif

namespace conversation_text {

bool StdinIsTerminal() {
#if defined(_WIN32)
  return _isatty(_fileno(stdin)) != 0;
#else
  return isatty(STDIN_FILENO) != 0;
#endif
}

}  // namespace conversation_text

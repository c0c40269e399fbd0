// Whether a person is typing at a tool's standard input: the tools that read
// commands prompt only then.
#pragma once

namespace conversation_text {

// Whether standard input is a terminal (a console on Windows).
bool StdinIsTerminal();

}  // namespace conversation_text

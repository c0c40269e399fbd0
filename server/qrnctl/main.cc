// qrnctl: the host side's test program. See qrnctl --help.
#include <iostream>
#include <string>
#include <vector>

#include "platform/caller.h"
#include "terminal.h"
#include "tool.h"

int main(int argc, char** argv) {
  const std::vector<std::string> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
  qrnctl::Environment environment;
  environment.functions = qrnclient::LoadChannelFunctions();
  environment.programPath = vdqrn::platform::CallerProgramPath();
  environment.inputIsTerminal = conversation_text::StdinIsTerminal();
  return qrnctl::RunQrnctl(arguments, environment, std::cin, std::cout, std::cerr);
}

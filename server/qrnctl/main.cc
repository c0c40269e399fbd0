// qrnctl: the host side's test program. See qrnctl --help.
#include <iostream>
#include <string>
#include <vector>

#include "platform/caller.h"
#include "process_info.h"
#include "tool.h"

int main(int argc, char** argv) {
  const std::vector<std::string> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
  qrnctl::Environment environment;
  environment.functions = qrnclient::LoadChannelFunctions();
  environment.programPath = vdqrn::platform::CallerProgramPath();
  environment.inputIsTerminal = engine_sim_cli::StdinIsTerminal();
  return qrnctl::RunQrnctl(arguments, environment, std::cin, std::cout, std::cerr);
}

// engine_sim: talks to a driver module the way the ICA client engine and a
// host application would. See engine_sim --help.
#include <iostream>
#include <string>
#include <vector>

#include "process_info.h"
#include "terminal.h"
#include "tool.h"

int main(int argc, char** argv) {
  const std::vector<std::string> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
  return engine_sim_cli::RunTool(arguments, std::cin, std::cout, std::cerr,
                                 conversation_text::StdinIsTerminal());
}

#include "options.h"

#include <cstdint>

#include "allow_list.h"
#include "sockets/socket.h"

namespace engine_sim_cli {

namespace {

ParsedOptions Failure(const std::string& error) {
  ParsedOptions parsed;
  parsed.error = error;
  return parsed;
}

bool TakesValue(const std::string& name) {
  return name == "--module" || name == "--script" || name == "--channel" || name == "--library" ||
         name == "--listen" || name == "--allow" || name == "--ready-file" ||
         name == "--idle-limit" || name == "--client" || name == "--report" || name == "--poll";
}

bool IsFlag(const std::string& name) {
  return name == "--hpc" || name == "--log" || name == "--check" || name == "--help" ||
         name == "-h" || name == "--version" || name == "--no-driver" || name == "--once" ||
         name == "--accept-remote" || name == "--driver-not-loaded" || name == "--keep-session";
}

}  // namespace

ParsedOptions ParseOptions(const std::vector<std::string>& arguments) {
  ParsedOptions parsed;
  Options& options = parsed.options;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    const std::size_t equals = argument.rfind("--", 0) == 0 ? argument.find('=') : std::string::npos;
    const std::string name = argument.substr(0, equals);

    if (IsFlag(name)) {
      if (equals != std::string::npos) return Failure("option " + name + " takes no value");
      if (name == "--hpc") options.hpc = true;
      if (name == "--log") options.log = true;
      if (name == "--check") options.check = true;
      if (name == "--help" || name == "-h") options.help = true;
      if (name == "--version") options.version = true;
      if (name == "--no-driver") options.noDriver = true;
      if (name == "--driver-not-loaded") options.driverNotLoaded = true;
      if (name == "--keep-session") options.keepSession = true;
      if (name == "--once") options.once = true;
      if (name == "--accept-remote") options.acceptRemote = true;
      continue;
    }
    if (!TakesValue(name)) {
      if (argument.rfind("-", 0) == 0) return Failure("unknown option \"" + argument + "\"");
      return Failure("unexpected argument \"" + argument + "\"");
    }

    std::string value;
    if (equals != std::string::npos) {
      value = argument.substr(equals + 1);
    } else if (i + 1 < arguments.size() && arguments[i + 1].rfind("--", 0) != 0) {
      value = arguments[++i];
    }
    if (value.empty()) return Failure("option " + name + " needs a value");

    if (name == "--module") {
      options.module = value;
    } else if (name == "--script") {
      options.script = value;
    } else if (name == "--library") {
      options.library = value;
    } else if (name == "--client") {
      options.client = value;
    } else if (name == "--report") {
      options.report = value;
    } else if (name == "--listen") {
      std::string host;
      std::uint16_t port = 0;
      if (!vdqrn::sockets::SplitHostPort(value, &host, &port)) {
        return Failure("option --listen takes ADDRESS:PORT, not \"" + value + "\"");
      }
      options.listen = value;
    } else if (name == "--allow") {
      if (!AllowList().Add(value)) {
        return Failure("option --allow takes \"CHANNEL,FULL-PATH\", not \"" + value + "\"");
      }
      options.allow.push_back(value);
    } else if (name == "--ready-file") {
      options.readyFile = value;
    } else if (name == "--poll") {
      if (value.size() > 5 || value.find_first_not_of("0123456789") != std::string::npos ||
          std::stoi(value) < 1 || std::stoi(value) > 10000) {
        return Failure("option --poll takes milliseconds (1 to 10000), not \"" + value + "\"");
      }
      options.pollMs = std::stoi(value);
    } else if (name == "--idle-limit") {
      int seconds = -1;
      if (value.size() > 6 || value.find_first_not_of("0123456789") != std::string::npos ||
          (seconds = std::stoi(value)) > 86400) {
        return Failure("option --idle-limit takes seconds (0 to 86400), not \"" + value + "\"");
      }
      options.idleLimitSeconds = seconds;
    } else if (value == "command") {
      options.channel = Channel::kCommand;
    } else if (value == "data") {
      options.channel = Channel::kData;
    } else {
      return Failure("option --channel takes \"command\" or \"data\", not \"" + value + "\"");
    }
  }
  if (!options.library.empty() && !options.check) return Failure("option --library needs --check");
  if ((!options.client.empty() || !options.report.empty()) && !options.check) {
    return Failure("options --client and --report need --check");
  }
  if (!options.module.empty() && (!options.client.empty() || !options.report.empty())) {
    return Failure("options --client and --report check the module installed in the client: "
                   "leave out --module");
  }
  if (options.check && !options.script.empty()) {
    return Failure("option --check holds no conversation: leave out --script");
  }
  const bool listenOnly = !options.allow.empty() || options.noDriver || options.once ||
                          options.driverNotLoaded || options.keepSession || options.pollMs > 0 ||
                          options.acceptRemote || !options.readyFile.empty() ||
                          options.idleLimitSeconds >= 0;
  if (listenOnly && options.listen.empty()) {
    return Failure("options --allow, --no-driver, --driver-not-loaded, --keep-session, --poll, "
                   "--once, --accept-remote, --ready-file and --idle-limit need --listen");
  }
  if (options.noDriver && options.driverNotLoaded) {
    return Failure("options --no-driver and --driver-not-loaded are two different clients: take "
                   "one");
  }
  if (options.pollMs > 0 && options.hpc) {
    return Failure("option --poll is normal mode's rule; with --hpc responses leave at once");
  }
  if (!options.listen.empty() &&
      (options.check || !options.script.empty() || options.log)) {
    return Failure("option --listen takes its commands from the connection: leave out --check, "
                   "--script and --log");
  }
  parsed.ok = true;
  return parsed;
}

}  // namespace engine_sim_cli

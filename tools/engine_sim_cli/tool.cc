#include "tool.h"

#include <filesystem>
#include <fstream>
#include <system_error>

#include "check.h"
#include "conversation.h"
#include "engine_sim.h"
#include "exit_codes.h"
#include "help.h"
#include "listener.h"
#include "log_folder.h"
#include "options.h"
#include "process_info.h"

namespace fs = std::filesystem;

namespace engine_sim_cli {

namespace {

// The engine's buffer for the module's information (its Info procedure).
constexpr std::uint16_t kInfoBufferLength = vdqrn::ica::kInfoOutputSize;

int Fail(std::ostream& err, int code, const std::string& text) {
  err << "engine_sim: " << text << std::endl;
  return code;
}

// Why a script cannot be read; empty when it can.
std::string ScriptProblem(const std::string& path, std::ifstream* file) {
  std::error_code error;
  const fs::file_status status = fs::status(path, error);
  if (!fs::exists(status)) return "no such file";
  if (fs::is_directory(status)) return "it is a folder";
  file->open(path, std::ios::binary);
  return file->is_open() ? std::string() : "cannot open it";
}

std::string ModuleProblem(const std::string& path, const engine_sim::Engine& engine) {
  std::error_code error;
  if (!fs::exists(path, error)) return "no such file";
  return engine.LastError();
}

// The file name, as the engine's module configuration names the module.
std::string FileName(const std::string& path) {
  const std::size_t separator = path.find_last_of("/\\");
  return separator == std::string::npos ? path : path.substr(separator + 1);
}

}  // namespace

int RunTool(const std::vector<std::string>& arguments, std::istream& in, std::ostream& out,
            std::ostream& err, bool inputIsTerminal) {
  const ParsedOptions parsed = ParseOptions(arguments);
  if (!parsed.ok) return Fail(err, kExitUsage, parsed.error + " (see engine_sim --help)");
  const Options& options = parsed.options;
  if (options.help) {
    out << HelpText() << std::flush;
    return kExitOk;
  }

  std::ifstream script;
  if (!options.script.empty()) {
    const std::string problem = ScriptProblem(options.script, &script);
    if (!problem.empty()) {
      return Fail(err, kExitScript, "cannot read script \"" + options.script + "\": " + problem);
    }
  }

  const LogFolder logFolder;
  if (!logFolder.Created()) {
    return Fail(err, kExitLogFolder,
                "cannot create a folder for the driver's log: " + logFolder.Error());
  }

  std::string module = options.module;
  if (module.empty()) {
    std::string problem;
    module = ModuleBesideExecutable(&problem);
    if (module.empty()) {
      return Fail(err, kExitModuleLoad,
                  "no module named, and none found beside this program: " + problem +
                      "; name it with --module FILE");
    }
  }
  if (!options.listen.empty()) {
    ListenSettings settings;
    settings.module = module;
    settings.hpc = options.hpc;
    for (const std::string& entry : options.allow) settings.allowList.Add(entry);
    settings.noDriver = options.noDriver;
    settings.acceptRemote = options.acceptRemote;
    settings.once = options.once;
    if (options.idleLimitSeconds >= 0) {
      settings.idleLimit = std::chrono::seconds(options.idleLimitSeconds);
    }
    return RunListener(options.listen, options.readyFile, std::move(settings), out, err);
  }
  engine_sim::Engine engine;
  engine.SetWdVersion(options.hpc ? 1 : 0);
#if !defined(_WIN32)
  // A Linux client's engine, unless asked for high-performance mode, which
  // only a Windows engine (and a module built for it) has.
  engine.SetLinuxEngine(!options.hpc);
#endif
  if (!engine.LoadModule(module)) {
    return Fail(err, kExitModuleLoad,
                "cannot load module \"" + module + "\": " + ModuleProblem(module, engine));
  }
  const std::int32_t openStatus = engine.Open();
  if (openStatus != vdqrn::ica::kStatusSuccess) {
    engine.Unload();
    return Fail(err, kExitModuleOpen,
                "module \"" + module + "\" refused to open (status " +
                    std::to_string(openStatus) + ")");
  }
  engine.Info(kInfoBufferLength, FileName(module));

  if (options.check) {
    const int code = CheckOpenedModule(engine, options.library, out,
                                       [&logFolder] { return logFolder.ReadLog(); });
    engine.Close();
    engine.Unload();
    if (options.log) {
      out << "--- driver log (QuarnClientDriver.log) ---\n" << logFolder.ReadLog() << std::flush;
    }
    out << std::flush;
    return code;
  }

  ConversationSettings settings;
  settings.channel = options.channel == Channel::kData ? engine_sim::kDataChannelName
                                                       : engine_sim::kCommandChannelName;
  settings.prompt = options.script.empty() && inputIsTerminal;
  std::istream& commands = options.script.empty() ? in : script;
  const ConversationOutcome outcome = Converse(engine, settings, commands, out, err);

  engine.Close();
  engine.Unload();
  if (options.log) {
    out << "--- driver log (QuarnClientDriver.log) ---\n" << logFolder.ReadLog() << std::flush;
  }
  if (outcome.unanswered != 0) return kExitNoResponse;
  return outcome.unexpected == 0 ? kExitOk : kExitUnexpected;
}

}  // namespace engine_sim_cli

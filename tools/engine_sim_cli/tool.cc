#include "tool.h"

#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <system_error>

#include "binary_architecture.h"
#include "check.h"
#include "conversation.h"
#include "engine_sim.h"
#include "exit_codes.h"
#include "findings.h"
#include "help.h"
#include "installation_reader.h"
#include "listener.h"
#include "log_folder.h"
#include "options.h"
#include "process_info.h"
#include "support_report.h"

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

std::string ToolVersion() {
  return std::string("engine_sim ") + VDQRN_VERSION + " (" +
         installation_check::ArchitectureName(installation_check::OwnArchitecture()) + ")";
}

// Loads and opens a module into the engine, printing why not on err; the
// exit status when it fails, kExitOk when it is open.
int OpenModule(engine_sim::Engine& engine, const Options& options, const std::string& module,
               std::ostream& err) {
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
  return kExitOk;
}

// Check mode on a module: opened, its channels and the library checked, then
// closed again.
int CheckModule(const Options& options, const std::string& module, const LogFolder& logFolder,
                std::ostream& out, std::ostream& err) {
  engine_sim::Engine engine;
  const int opened = OpenModule(engine, options, module, err);
  if (opened != kExitOk) {
    out << "check: module \"" << module << "\" not loaded or not opened (see the message)\n";
    return opened;
  }
  const int code = CheckOpenedModule(engine, options.library, out,
                                     [&logFolder] { return logFolder.ReadLog(); });
  engine.Close();
  engine.Unload();
  return code;
}

// Check mode on the client's installation: the registration and files as the
// client reads them, then the installed module as the client loads it (where
// this tool's architecture can), and the support report when asked.
int CheckInstallation(const Options& options, const installation_check::InstallationFacts& facts,
                      const LogFolder& logFolder, std::ostream& out, std::ostream& err) {
  std::ostringstream printed;
  const std::vector<installation_check::Finding> findings =
      installation_check::JudgeInstallation(facts);
  installation_check::PrintFindings(findings, printed);
  out << printed.str() << std::flush;
  int code = installation_check::FirstFault(findings);

  std::ostringstream moduleOut;
  std::ostringstream moduleErr;
  if (facts.clientProblem.empty() && facts.module.present) {
    const installation_check::Architecture own = installation_check::OwnArchitecture();
    if (installation_check::ModuleLoadableHere(facts)) {
      const int moduleCode = CheckModule(options, facts.module.path, logFolder, moduleOut,
                                         moduleErr);
      if (code == kExitOk) code = moduleCode;
    } else {
      moduleOut << "check: the module is not loaded here: it is "
                << installation_check::ArchitectureName(facts.module.architecture)
                << " and this engine_sim is " << installation_check::ArchitectureName(own)
                << " (the engine_sim of the module's own package loads it)\n";
    }
  }
  out << moduleOut.str() << std::flush;
  err << moduleErr.str() << std::flush;
  printed << moduleOut.str() << moduleErr.str();

  if (!options.report.empty()) {
    installation_check::ReportContents contents;
    contents.facts = facts;
    contents.findings = printed.str();
    contents.status = code;
    contents.checkLog = logFolder.ReadLog();
    contents.toolVersion = ToolVersion();
    const std::string problem = installation_check::WriteReport(
        options.report, installation_check::BuildReport(contents));
    if (!problem.empty()) return Fail(err, kExitReport, "no report written: " + problem);
    out << "check: report written to " << options.report << "\n";
  }
  return code;
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
  if (options.version) {
    out << ToolVersion() << std::endl;
    return kExitOk;
  }
  // Read before the log folder below moves this process's temporary folder:
  // the client's user writes the log where the environment says now.
  std::optional<installation_check::InstallationFacts> installation;
  if (options.check && options.module.empty()) {
    installation = installation_check::ReadInstallation(options.client);
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

  if (installation) {
    const int code = CheckInstallation(options, *installation, logFolder, out, err);
    if (options.log) {
      out << "--- driver log (QuarnClientDriver.log) ---\n" << logFolder.ReadLog() << std::flush;
    }
    return code;
  }

  std::string module = options.module;
  // A bare file name is the file in the current folder, as on a command
  // line; the system's loader would search its own folders for it instead.
  std::error_code error;
  if (!module.empty() && module.find_first_of("/\\") == std::string::npos &&
      fs::exists(module, error)) {
    module = "./" + module;
  }
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
    settings.driverNotLoaded = options.driverNotLoaded;
    settings.keepSession = options.keepSession;
    settings.pollMs = options.pollMs;
    settings.acceptRemote = options.acceptRemote;
    settings.once = options.once;
    if (options.idleLimitSeconds >= 0) {
      settings.idleLimit = std::chrono::seconds(options.idleLimitSeconds);
    }
    return RunListener(options.listen, options.readyFile, std::move(settings), out, err);
  }
  if (options.check) {
    out << "check: the module " << module << " alone (--module): the client's registration is "
        << "not checked\n";
    const int code = CheckModule(options, module, logFolder, out, err);
    if (options.log) {
      out << "--- driver log (QuarnClientDriver.log) ---\n" << logFolder.ReadLog() << std::flush;
    }
    out << std::flush;
    return code;
  }

  engine_sim::Engine engine;
  const int opened = OpenModule(engine, options, module, err);
  if (opened != kExitOk) return opened;

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

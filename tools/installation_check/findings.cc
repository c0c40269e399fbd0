#include "findings.h"

namespace installation_check {

namespace {

bool IsWindows(const InstallationFacts& facts) { return facts.system == ClientSystem::kWindows; }

// What an administrator runs to put the registration right again.
std::string Reinstall(const InstallationFacts& facts) {
  if (IsWindows(facts)) {
    return "repair the driver's installation: msiexec /fa vdqrn-windows-ARCH.msi (or install "
           "the package again)";
  }
  return "run install.sh --icaroot " + facts.clientFolder +
         " again (a client upgrade rewrites module.ini)";
}

std::string PackageFor(const InstallationFacts& facts, Architecture architecture) {
  const std::string name = ArchitectureName(architecture);
  return IsWindows(facts) ? "vdqrn-windows-" + name + ".msi"
                          : "the vdqrn-linux-" + name + " package";
}

std::string WithArchitecture(std::string text, const InstallationFacts& facts) {
  const std::size_t at = text.find("ARCH");
  if (at != std::string::npos) {
    const Architecture client = facts.clientProgram.architecture;
    text.replace(at, 4, client == Architecture::kUnknown ? "ARCH" : ArchitectureName(client));
  }
  return text;
}

Finding Fault(int status, std::string text, std::string fix) {
  return Finding{status, std::move(text), std::move(fix)};
}

Finding Fine(std::string text) { return Finding{0, std::move(text), std::string()}; }

void JudgeRegistration(const InstallationFacts& facts, std::vector<Finding>* findings) {
  const Registration& registration = facts.registration;
  const std::string fix = WithArchitecture(Reinstall(facts), facts);
  if (!registration.formProblem.empty()) {
    findings->push_back(Fault(kAmbiguousForm, registration.where + ": " + registration.formProblem,
                              IsWindows(facts)
                                  ? "delete the value, then " + fix
                                  : "put it right by hand (its backup, module.ini.vdqrn-backup, "
                                    "is the file before vdqrn), then " +
                                        fix));
  }
  const std::string list = IsWindows(facts) ? "VirtualDriverEx" : "VirtualDriver in [ICA 3.0]";
  findings->push_back(registration.listed ? Fine(list + " lists QRN")
                                          : Fault(kNotListed,
                                                  registration.where + ": " + list +
                                                      " does not list QRN: the client never loads "
                                                      "the driver",
                                                  fix));
  if (!IsWindows(facts)) {
    findings->push_back(registration.switchedOn
                            ? Fine("QRN = On in [ICA 3.0]")
                            : Fault(kNotSwitchedOn,
                                    registration.where + ": " +
                                        (registration.switchValue.empty()
                                             ? std::string("[ICA 3.0] has no \"QRN = On\"")
                                             : "[ICA 3.0] has \"QRN = " + registration.switchValue +
                                                   "\", not \"QRN = On\""),
                                    fix));
  }
  findings->push_back(
      registration.entryProblem.empty()
          ? Fine(IsWindows(facts) ? "the QRN key names VDQRN.DLL"
                                  : "[QRN] names DriverName = VDQRN.DLL")
          : Fault(kEntryWrong, registration.where + ": " + registration.entryProblem, fix));
}

void JudgeFiles(const InstallationFacts& facts, std::vector<Finding>* findings) {
  const std::string fix = WithArchitecture(Reinstall(facts), facts);
  if (!facts.module.present) {
    findings->push_back(Fault(kModuleMissing, facts.module.path + " is missing", fix));
    return;
  }
  const Architecture client = facts.clientProgram.architecture;
  const Architecture module = facts.module.architecture;
  if (client == Architecture::kUnknown) {
    findings->push_back(
        Fine(facts.module.path + " is there (" + ArchitectureName(module) +
             "); the client's architecture cannot be told" +
             (facts.clientProgram.path.empty() ? std::string(": no program of it found")
                                               : " from " + facts.clientProgram.path)));
  } else if (module != client) {
    findings->push_back(
        Fault(kWrongArchitecture,
              facts.module.path + " is " +
                  (module == Architecture::kUnknown
                       ? std::string("no module a client loads")
                       : std::string("an ") + ArchitectureName(module) + " module") +
                  ", but the client (" + facts.clientProgram.path + ") is an " +
                  ArchitectureName(client) + " program: it cannot load it",
              "remove this package and install " + PackageFor(facts, client)));
  } else {
    findings->push_back(
        Fine(facts.module.path + " is there, " + ArchitectureName(module) + " like the client"));
  }
  for (const InstalledFile& host : facts.hosts) {
    if (!host.present) {
      findings->push_back(Fault(kHostMissing,
                                host.path + " is missing: libraries of its architecture cannot "
                                            "run, and a library cut short cannot run again",
                                fix));
    }
  }
  bool allHosts = !facts.hosts.empty();
  for (const InstalledFile& host : facts.hosts) allHosts = allHosts && host.present;
  if (allHosts) findings->push_back(Fine("the instrument hosts are there"));
}

}  // namespace

std::vector<Finding> JudgeInstallation(const InstallationFacts& facts) {
  std::vector<Finding> findings;
  if (!facts.clientProblem.empty()) {
    std::string fix = "install the client first, or name its folder with --client DIR";
    if (facts.clientUnreadable) {
      fix = "let this user read it: the client reads it as the user who starts it";
    } else if (!IsWindows(facts)) {
      fix += " (a user's own client lives in their home folder)";
    }
    findings.push_back(Fault(kNoClient, facts.clientProblem, fix));
    return findings;
  }
  findings.push_back(Fine("the client in " + facts.clientFolder + " (" +
                          ArchitectureName(facts.clientProgram.architecture) +
                          "), registration read from " + facts.registration.where));
  JudgeRegistration(facts, &findings);
  JudgeFiles(facts, &findings);
  if (!facts.logProblem.empty()) {
    findings.push_back(Fault(kLogNotWritable,
                             facts.logProblem + ": the driver writes no log for this user, so "
                                                "\"no log\" does not mean the client did not "
                                                "load the driver",
                             IsWindows(facts)
                                 ? "give the user a temporary folder of their own (TMP)"
                                 : "remove that file (its owner or root), or give each user a "
                                   "temporary folder of their own (TMPDIR)"));
  } else if (!facts.logPath.empty()) {
    findings.push_back(Fine("the driver's log " + facts.logPath + " can be written by this user"));
  }
  return findings;
}

int FirstFault(const std::vector<Finding>& findings) {
  for (const Finding& finding : findings) {
    if (finding.status != 0) return finding.status;
  }
  return 0;
}

void PrintFindings(const std::vector<Finding>& findings, std::ostream& out) {
  for (const Finding& finding : findings) {
    out << "check: " << finding.text << "\n";
    if (finding.status != 0) out << "check:   fix: " << finding.fix << "\n";
  }
}

bool ModuleLoadableHere(const InstallationFacts& facts) {
  return facts.module.present && (facts.module.architecture == Architecture::kUnknown ||
                                  facts.module.architecture == OwnArchitecture());
}

}  // namespace installation_check

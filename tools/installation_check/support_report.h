// The support report: one tar archive an administrator sends to support,
// with what the check found and what it read, and nothing else of the user's.
#pragma once

#include <string>

#include "installation_facts.h"

namespace installation_check {

struct ReportContents {
  InstallationFacts facts;
  std::string findings;     // the check's output, as printed
  int status = 0;           // its exit status
  std::string checkLog;     // the log of the module the check loaded, if any
  std::string toolVersion;  // the version and architecture of the tool
};

// The most of the driver's log the report takes: its end, where the latest
// session is. What is left out is said in the report.
constexpr std::size_t kLogLimit = 2 * 1024 * 1024;

// The archive: findings.txt, registration.txt, files.txt, system.txt,
// QuarnClientDriver.log (the client's log, its last kLogLimit bytes) and
// check-module.log.
std::string BuildReport(const ReportContents& contents);

// Writes the archive whole (beside the file, then renamed over it); the
// reason when it cannot, empty when written.
std::string WriteReport(const std::string& path, const std::string& archive);

// The end of a file, at most limit bytes, with *cut set to how many bytes
// were left out before it; empty when it cannot be read.
std::string FileTail(const std::string& path, std::size_t limit, std::size_t* cut);

}  // namespace installation_check

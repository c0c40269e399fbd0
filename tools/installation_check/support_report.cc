#include "support_report.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>

#include "system_description.h"
#include "tar_archive.h"

namespace installation_check {

namespace {

std::string FilesText(const InstallationFacts& facts) {
  std::ostringstream text;
  const auto line = [&text](const std::string& role, const InstalledFile& file) {
    if (file.path.empty()) {
      text << role << ": none found\n";
      return;
    }
    text << role << ": " << file.path << "\n  " << FileDescription(file.path) << "\n  "
         << "architecture " << ArchitectureName(file.architecture) << "\n";
  };
  text << "client folder: " << facts.clientFolder << "\n";
  line("client program", facts.clientProgram);
  line("module", facts.module);
  for (const InstalledFile& host : facts.hosts) line("instrument host", host);
  return text.str();
}

}  // namespace

std::string FileTail(const std::string& path, std::size_t limit, std::size_t* cut) {
  *cut = 0;
  std::ifstream file(path, std::ios::binary | std::ios::ate);
  if (!file) return std::string();
  const std::streamoff size = file.tellg();
  if (size <= 0) return std::string();
  const std::size_t total = static_cast<std::size_t>(size);
  *cut = total > limit ? total - limit : 0;
  file.seekg(static_cast<std::streamoff>(*cut));
  std::string bytes(total - *cut, '\0');
  file.read(&bytes[0], static_cast<std::streamsize>(bytes.size()));
  bytes.resize(static_cast<std::size_t>(file.gcount()));
  return bytes;
}

std::string BuildReport(const ReportContents& contents) {
  const std::int64_t now = static_cast<std::int64_t>(std::time(nullptr));
  const InstallationFacts& facts = contents.facts;
  TarArchive archive;

  std::size_t cut = 0;
  const std::string log =
      facts.logPath.empty() ? std::string() : FileTail(facts.logPath, kLogLimit, &cut);
  std::ostringstream findings;
  findings << contents.findings << "exit status: " << contents.status << "\n";
  findings << "driver's log: " << (facts.logPath.empty() ? std::string("(none)") : facts.logPath);
  if (log.empty()) findings << " (missing or empty)";
  if (cut > 0) {
    findings << " (its last " << log.size() << " bytes; the " << cut
             << " bytes before them are left out)";
  }
  findings << "\n";
  archive.Add("findings.txt", findings.str(), now);
  archive.Add("registration.txt",
              "read from: " + facts.registration.where + "\n\n" + facts.registration.text, now);
  archive.Add("files.txt", FilesText(facts), now);
  archive.Add("system.txt", SystemDescription() + "tool: " + contents.toolVersion + "\n", now);
  archive.Add("QuarnClientDriver.log", log, facts.logPath.empty() ? now : FileTime(facts.logPath));
  archive.Add("check-module.log", contents.checkLog, now);
  return archive.Finish();
}

std::string WriteReport(const std::string& path, const std::string& archive) {
  const std::string partial = path + ".partial";
  std::FILE* file = std::fopen(partial.c_str(), "wb");
  if (file == nullptr) return "cannot create " + partial + ": " + std::strerror(errno);
  const bool written = std::fwrite(archive.data(), 1, archive.size(), file) == archive.size();
  const int error = errno;
  if (std::fclose(file) != 0 || !written) {
    std::remove(partial.c_str());
    return "cannot write " + partial + ": " + std::strerror(written ? errno : error);
  }
  std::remove(path.c_str());  // Windows renames over no file
  if (std::rename(partial.c_str(), path.c_str()) != 0) {
    const std::string why = std::strerror(errno);
    std::remove(partial.c_str());
    return "cannot rename " + partial + " to " + path + ": " + why;
  }
  return std::string();
}

}  // namespace installation_check

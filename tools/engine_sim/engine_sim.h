// A stand-in for the ICA engine, for tests and tools: loads a built driver
// module by path, calls its Load export and then drives it only through the
// procedure table and the engine records, as the engine would. It plays the
// engine's side as well: the module table lookup, the winstation driver's
// procedures 6 and 7 (channel open, write hook, version, high-performance
// properties) and the two send entry points. Every reply of the engine can be
// scripted, and everything the module hands over is recorded.
//
// One Engine at a time per process: the lookup procedure has no context
// argument and reaches the engine through a process-wide pointer.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "channel/ica_records.h"

namespace engine_sim {

// The engine records and procedures are the module's (vdqrn::ica).
namespace ica = vdqrn::ica;

extern const char kCommandChannelName[];  // "QrnCmd1"
extern const char kDataChannelName[];     // "QrnDta1"

enum class SendPath { kQueuedWrite, kDirectSend };

// One call of a send entry point.
struct SentData {
  SendPath path;
  std::uint16_t channel;
  std::string bytes;
  void* context;  // the first argument, the winstation driver context
  // Queued write: the section count and flags.
  std::uint16_t sectionCount;
  std::uint16_t queueFlags;
  // Direct send: the flags, and whether the caller's context value pointed at
  // a pointer to the bytes sent.
  std::uint32_t directFlags;
  bool userDataPointsToBytes;
};

// The values of a class-92 call.
struct HpcProperties {
  void* context;
  std::uint32_t options;
  std::uint16_t version;
};

// One winstation driver call: procedure index and information class.
struct WdCall {
  std::uint16_t procedure;
  std::uint32_t infoClass;
  bool operator==(const WdCall& other) const {
    return procedure == other.procedure && infoClass == other.infoClass;
  }
};

struct InfoResult {
  std::int32_t status;
  std::uint16_t bufferLength;         // the info record's length after the call
  std::vector<std::uint8_t> buffer;   // the buffer after the call
};

struct QueryResult {
  std::int32_t status;
  std::uint32_t returnedLength;       // kUntouchedLength when the module left it alone
  std::vector<std::uint8_t> buffer;
};

class Engine {
 public:
  // Preset in a query record's returned length and in buffers handed over.
  static constexpr std::uint32_t kUntouchedLength = 0xA5A5A5A5u;
  static constexpr std::uint8_t kFillByte = 0xA5;

  Engine();
  ~Engine();  // unloads a module that is still loaded
  Engine(const Engine&) = delete;
  Engine& operator=(const Engine&) = delete;
  // The engine that the module's send and lookup procedures reach: the one
  // made last, or the one named here (a process with two engines side by
  // side makes the one it drives current first).
  void MakeCurrent();

  // ---- Scripting the engine (before Open unless said otherwise) ----
  // The Linux client's engine: no module lookups and no information classes
  // 86 and 92; a module that asks for them violates its contract.
  void SetLinuxEngine(bool linux) { linuxEngine_ = linux; }
  // Class 86 answer: 0 is normal mode, anything else high-performance mode.
  void SetWdVersion(std::uint16_t version) { wdVersion_ = version; }
  // Whether class 86 hands over a direct send entry point, and class 10 a
  // queued write entry point.
  void SetSupplyDirectSend(bool supply) { supplyDirectSend_ = supply; }
  void SetSupplyQueueWrite(bool supply) { supplyQueueWrite_ = supply; }
  // Maximum write size filled into every write-hook record.
  void SetMaximumWriteSize(std::uint16_t size) { maximumWriteSize_ = size; }
  void SetChannelMask(std::uint32_t mask) { channelMask_ = mask; }
  // A winstation driver link without a procedure table.
  void SetWdProcedureTablePresent(bool present) { wdTablePresent_ = present; }
  // A winstation driver procedure table without procedure 6 (query) or 7 (set
  // information); takes effect at the next Open.
  void SetWdProcedurePresent(std::uint16_t procedure, bool present);
  // The link record handed to Load without a library table, or with one that
  // lacks the module lookup procedure; takes effect at the next load.
  void SetLibraryTablePresent(bool present) { libraryTablePresent_ = present; }
  void SetLookupPresent(bool present) { lookupPresent_ = present; }
  // Failure statuses of the winstation driver calls.
  void FailChannelOpen(const std::string& name, std::int32_t status) { openFailures_[name] = status; }
  void FailWriteHook(const std::string& name, std::int32_t status) { hookFailures_[name] = status; }
  void FailVersionQuery(std::int32_t status) { versionFailure_ = status; }
  void FailHpcProperties(std::int32_t status) { hpcFailure_ = status; }
  // Answers of the send entry points, one per call, either entry point; 0 when
  // the queue is empty. May be set at any time.
  void ScriptSendStatuses(const std::vector<std::int32_t>& statuses);

  // ---- The module ----
  // Loads the module file and calls Load; false (with LastError()) when the
  // file, its Load export or the link record it fills is not as expected.
  bool LoadModule(const std::string& path);
  // The same for a Load procedure already in this process.
  bool AttachModule(ica::LoadProcedure load);
  // Calls the unload procedure, then releases the module file.
  std::int32_t Unload();
  bool IsLoaded() const { return loaded_; }
  const std::string& LastError() const { return lastError_; }
  std::int32_t LoadStatus() const { return loadStatus_; }
  const ica::LinkRecord& Link() const { return link_; }
  // The link record as the unload procedure left it.
  const ica::LinkRecord& LinkAfterUnload() const { return linkAfterUnload_; }
  // The module's driver record; valid while the module is loaded.
  const ica::DriverRecord* Driver() const { return driver_; }

  // ---- The driver procedures ----
  std::int32_t Open();
  std::int32_t Close();
  std::int32_t Poll();
  InfoResult Info(std::uint16_t bufferLength, const std::string& moduleName);
  InfoResult InfoWithoutBuffer(std::uint16_t bufferLength);
  QueryResult QueryInformation(std::uint32_t infoClass, std::uint32_t bufferLength);
  QueryResult QueryInformationWithoutBuffer(std::uint32_t infoClass, std::uint32_t bufferLength);
  std::int32_t SetInformation(std::uint32_t infoClass);
  // The size value of the last open, as the module left it.
  std::uint16_t OpenSizeValue() const { return openSize_; }

  // ---- The channels ----
  // The number the engine assigned to a channel name; 0 when never opened.
  std::uint16_t ChannelNumber(const std::string& name) const;
  bool HasWriteHook(const std::string& name) const;
  // Hands bytes to the write hook registered for the channel, as the engine
  // does for every block the host writes. False when no hook is registered.
  bool Write(const std::string& channelName, const std::string& bytes);
  // The same with the bytes through a given pointer (may be null).
  bool WriteRaw(const std::string& channelName, std::uint8_t* bytes, std::uint16_t length);

  // ---- What the module did ----
  const std::vector<std::string>& LookedUpModules() const { return lookedUp_; }
  const std::vector<std::string>& ChannelOpenRequests() const { return openRequests_; }
  const std::vector<WdCall>& WdCalls() const { return wdCalls_; }
  const std::vector<HpcProperties>& HpcPropertiesCalls() const { return hpcCalls_; }
  const std::vector<SentData>& Sent() const { return sent_; }
  void ClearSent() { sent_.clear(); }
  // The write-hook record of the channel's last registration, as the engine
  // filled it.
  const ica::WriteHookRecord* WriteHook(const std::string& name) const;
  // Everything the module did against the engine's contract (wrong record
  // sizes, unknown classes, a wrong context...). Empty when all was well.
  const std::vector<std::string>& Violations() const { return violations_; }
  void ClearViolations() { violations_.clear(); }

  // Engine-side procedures; public only for the C-convention trampolines.
  std::int32_t OnLookup(const char* name, void* null, void** slot);
  std::int32_t OnWdQuery(ica::WdInformation* information, std::uint16_t* size);
  std::int32_t OnWdSet(ica::WdInformation* information, std::uint16_t* size);
  std::int32_t OnQueueWrite(void* context, std::uint16_t channel, ica::MemorySection* sections,
                            std::uint16_t count, std::uint16_t flags);
  std::int32_t OnSendDirect(void* context, std::uint16_t channel, std::uint8_t* bytes,
                            std::uint16_t length, void* userData, std::uint32_t flags);

 private:
  struct Channel {
    std::uint16_t number;
    bool hooked;
    ica::WriteHookRecord hook;
  };

  bool FinishLoad(ica::LoadProcedure load);
  void ReleaseLibrary();
  template <typename Procedure>
  Procedure Entry(ica::DriverProcedureIndex index) const;
  std::int32_t CallDriver(ica::DriverProcedureIndex index, void* record,
                          std::uint16_t* size = nullptr);
  void Violation(const std::string& text) { violations_.push_back(text); }
  void CheckContext(void* context, const char* who);
  // The record of a winstation driver call ("query" or "set"): its size is
  // noted when wrong; false when it or its buffer is missing.
  bool CheckInformationRecord(const ica::WdInformation* information, const std::uint16_t* size,
                              const char* call);
  // Notes a length other than the record's; false when it is shorter (the
  // call is then refused with 1004 and the buffer left alone).
  bool CheckBufferLength(const ica::WdInformation& information, std::size_t expected,
                         const char* infoClass);
  std::int32_t NextSendStatus();
  Channel* FindChannel(std::uint16_t number);

  // Scripted answers.
  bool linuxEngine_ = false;
  std::uint16_t wdVersion_ = 0;
  bool supplyDirectSend_ = true;
  bool supplyQueueWrite_ = true;
  std::uint16_t maximumWriteSize_ = 1000;
  std::uint32_t channelMask_ = 0;
  bool wdTablePresent_ = true;
  bool wdQueryPresent_ = true;
  bool wdSetPresent_ = true;
  bool libraryTablePresent_ = true;
  bool lookupPresent_ = true;
  std::map<std::string, std::int32_t> openFailures_;
  std::map<std::string, std::int32_t> hookFailures_;
  std::int32_t versionFailure_ = 0;
  std::int32_t hpcFailure_ = 0;
  std::deque<std::int32_t> sendStatuses_;

  // The engine's records and tables.
  ica::LinkRecord link_{};
  ica::LinkRecord linkAfterUnload_{};
  ica::EngineProcedure libraryTable_[4] = {};
  ica::EngineProcedure wdProcedures_[8] = {};
  ica::WdLink wdLink_{};
  std::uint8_t moduleTables_[17] = {};
  std::uint16_t openSize_ = 0;

  // The module.
  void* library_ = nullptr;
  ica::EngineProcedure* procedures_ = nullptr;
  ica::DriverRecord* driver_ = nullptr;
  bool loaded_ = false;
  std::int32_t loadStatus_ = 0;
  std::string lastError_;

  // Observations.
  std::map<std::string, Channel> channels_;
  std::uint16_t nextChannelNumber_ = 5;
  std::vector<std::string> lookedUp_;
  std::vector<std::string> openRequests_;
  std::vector<WdCall> wdCalls_;
  std::vector<HpcProperties> hpcCalls_;
  std::vector<SentData> sent_;
  std::vector<std::string> violations_;
};

// ---- The module's diagnostic log ----
// Points the temporary directory of modules loaded afterwards (where the
// module writes its log) at the directory: TMPDIR on POSIX, TMP and TEMP of
// this process on Windows.
void SetModuleTempDirectory(const std::string& directory);
// The module's log file in that directory.
std::string ModuleLogPath(const std::string& directory);
// The log file's text, line ends as stored; empty when there is no file.
std::string ReadModuleLog(const std::string& directory);
// The log's lines without their line ends ("\n" or "\r\n").
std::vector<std::string> ReadModuleLogLines(const std::string& directory);

}  // namespace engine_sim

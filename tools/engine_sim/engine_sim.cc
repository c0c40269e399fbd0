#include "engine_sim.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace engine_sim {

const char kCommandChannelName[] = "QrnCmd1";
const char kDataChannelName[] = "QrnDta1";

namespace {

// The lookup procedure has no context argument; neither do we trust the
// context that the module passes to a send entry point, so these reach the
// engine through the process-wide pointer and check the context themselves.
Engine* g_engine = nullptr;

std::int32_t VDQRN_ENGINE_CALL LookupTrampoline(const char* name, void* null, void** slot) {
  return g_engine != nullptr ? g_engine->OnLookup(name, null, slot) : ica::kStatusUnavailable;
}

std::int32_t VDQRN_ENGINE_CALL WdQueryTrampoline(void* data, ica::WdInformation* information,
                                                 std::uint16_t* size) {
  return static_cast<Engine*>(data)->OnWdQuery(information, size);
}

std::int32_t VDQRN_ENGINE_CALL WdSetTrampoline(void* data, ica::WdInformation* information,
                                               std::uint16_t* size) {
  return static_cast<Engine*>(data)->OnWdSet(information, size);
}

std::int32_t VDQRN_ENGINE_CALL QueueWriteTrampoline(void* context, std::uint16_t channel,
                                                    ica::MemorySection* sections,
                                                    std::uint16_t count, std::uint16_t flags) {
  return g_engine->OnQueueWrite(context, channel, sections, count, flags);
}

std::int32_t VDQRN_ENGINE_CALL SendDirectTrampoline(void* context, std::uint16_t channel,
                                                    std::uint8_t* bytes, std::uint16_t length,
                                                    void* userData, std::uint32_t flags) {
  return g_engine->OnSendDirect(context, channel, bytes, length, userData, flags);
}

template <typename Procedure>
ica::EngineProcedure AsEntry(Procedure procedure) {
  return reinterpret_cast<ica::EngineProcedure>(procedure);
}

std::string Describe(const char* what, std::uint32_t got, std::uint32_t expected) {
  std::ostringstream text;
  text << what << ": " << got << " (expected " << expected << ")";
  return text.str();
}

}  // namespace

Engine::Engine() {
  g_engine = this;
  libraryTable_[ica::kLookupProcedureIndex] = AsEntry(&LookupTrampoline);
  wdProcedures_[ica::kWdQueryInformation] = AsEntry(&WdQueryTrampoline);
  wdProcedures_[ica::kWdSetInformation] = AsEntry(&WdSetTrampoline);
  wdLink_.pProcedureTable = wdProcedures_;
  wdLink_.pWdData = this;
}

void Engine::MakeCurrent() { g_engine = this; }

Engine::~Engine() {
  if (loaded_) Unload();
  if (g_engine == this) g_engine = nullptr;
}

void Engine::SetWdProcedurePresent(std::uint16_t procedure, bool present) {
  if (procedure == ica::kWdQueryInformation) wdQueryPresent_ = present;
  if (procedure == ica::kWdSetInformation) wdSetPresent_ = present;
}

void Engine::ScriptSendStatuses(const std::vector<std::int32_t>& statuses) {
  sendStatuses_.assign(statuses.begin(), statuses.end());
}

// ---- The module ----

template <typename Procedure>
Procedure Engine::Entry(ica::DriverProcedureIndex index) const {
  return reinterpret_cast<Procedure>(procedures_[index]);
}

bool Engine::LoadModule(const std::string& path) {
  if (loaded_) {
    lastError_ = "a module is already loaded";
    return false;
  }
#if defined(_WIN32)
  HMODULE module = LoadLibraryA(path.c_str());
  if (module == nullptr) {
    lastError_ = "cannot load " + path + " (error " + std::to_string(GetLastError()) + ")";
    return false;
  }
  const ica::EngineProcedure load = AsEntry(GetProcAddress(module, "Load"));
#else
  void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (module == nullptr) {
    const char* error = dlerror();
    lastError_ = "cannot load " + path + " (" + (error != nullptr ? error : "?") + ")";
    return false;
  }
  const ica::EngineProcedure load = reinterpret_cast<ica::EngineProcedure>(dlsym(module, "Load"));
#endif
  library_ = module;
  if (load == nullptr) {
    lastError_ = path + " has no export Load";
    ReleaseLibrary();
    return false;
  }
  return FinishLoad(reinterpret_cast<ica::LoadProcedure>(load));
}

bool Engine::AttachModule(ica::LoadProcedure load) {
  if (loaded_) {
    lastError_ = "a module is already loaded";
    return false;
  }
  return FinishLoad(load);
}

bool Engine::FinishLoad(ica::LoadProcedure load) {
  std::memset(&link_, kFillByte, sizeof link_);
  link_.usProcedureCount = 0;
  link_.pProcedureTable = nullptr;
  link_.pDriverRecord = nullptr;
  libraryTable_[ica::kLookupProcedureIndex] = lookupPresent_ ? AsEntry(&LookupTrampoline) : nullptr;
  link_.pLibraryTable = libraryTablePresent_ ? libraryTable_ : nullptr;
  loadStatus_ = load(&link_);
  loaded_ = true;
  procedures_ = link_.pProcedureTable;
  driver_ = link_.pDriverRecord;

  if (loadStatus_ != ica::kStatusSuccess) {
    lastError_ = "Load answered " + std::to_string(loadStatus_);
  } else if (link_.usProcedureCount != ica::kDriverProcedureCount || procedures_ == nullptr ||
             driver_ == nullptr) {
    lastError_ = "Load left an incomplete link record";
  } else if (reinterpret_cast<ica::LoadProcedure>(procedures_[ica::kProcLoad]) != load) {
    lastError_ = "the procedure table's first entry is not Load";
  } else {
    return true;
  }
  Unload();
  return false;
}

void Engine::ReleaseLibrary() {
  if (library_ == nullptr) return;
#if defined(_WIN32)
  FreeLibrary(static_cast<HMODULE>(library_));
#else
  dlclose(library_);
#endif
  library_ = nullptr;
}

std::int32_t Engine::Unload() {
  if (!loaded_) return ica::kStatusUnavailable;
  std::int32_t status = ica::kStatusUnavailable;
  if (procedures_ != nullptr && procedures_[ica::kProcUnload] != nullptr) {
    status = Entry<ica::UnloadProcedure>(ica::kProcUnload)(driver_, &link_);
  }
  linkAfterUnload_ = link_;
  // The hooks and entry points belong to the module that goes away now.
  for (auto& channel : channels_) channel.second.hooked = false;
  procedures_ = nullptr;
  driver_ = nullptr;
  loaded_ = false;
  ReleaseLibrary();
  return status;
}

std::int32_t Engine::CallDriver(ica::DriverProcedureIndex index, void* record,
                               std::uint16_t* size) {
  if (!loaded_ || procedures_[index] == nullptr) return ica::kStatusUnavailable;
  std::uint16_t unused = 0;
  return Entry<ica::DriverProcedure>(index)(driver_, record, size != nullptr ? size : &unused);
}

// ---- The driver procedures ----

std::int32_t Engine::Open() {
  wdLink_.pProcedureTable = wdTablePresent_ ? wdProcedures_ : nullptr;
  wdProcedures_[ica::kWdQueryInformation] = wdQueryPresent_ ? AsEntry(&WdQueryTrampoline) : nullptr;
  wdProcedures_[ica::kWdSetInformation] = wdSetPresent_ ? AsEntry(&WdSetTrampoline) : nullptr;
  ica::OpenRecord open;
  std::memset(&open, kFillByte, sizeof open);
  open.pWdLink = &wdLink_;
  open.ulChannelMask = channelMask_;
  std::uint16_t size = 0;
  const std::int32_t status = CallDriver(ica::kProcOpen, &open, &size);
  openSize_ = size;
  return status;
}

std::int32_t Engine::Close() {
  std::uint8_t record[16] = {};
  return CallDriver(ica::kProcClose, record);
}

std::int32_t Engine::Poll() {
  std::uint8_t record[16] = {};
  return CallDriver(ica::kProcPoll, record);
}

InfoResult Engine::Info(std::uint16_t bufferLength, const std::string& moduleName) {
  InfoResult result{};
  result.buffer.assign(bufferLength, kFillByte);
  const std::size_t nameOffset = offsetof(ica::InfoOutputBuffer, szModuleName);
  const std::size_t nameSize = sizeof(ica::InfoOutputBuffer::szModuleName);
  if (bufferLength >= nameOffset + nameSize) {
    const std::size_t length = std::min(moduleName.size(), nameSize);
    std::memcpy(&result.buffer[nameOffset], moduleName.data(), length);
    if (length < nameSize) result.buffer[nameOffset + length] = 0;
  }
  ica::InfoRecord info{};
  info.pBuffer = result.buffer.empty() ? nullptr : result.buffer.data();
  info.usBufferLength = bufferLength;
  result.status = CallDriver(ica::kProcInfo, &info);
  result.bufferLength = info.usBufferLength;
  return result;
}

InfoResult Engine::InfoWithoutBuffer(std::uint16_t bufferLength) {
  InfoResult result{};
  ica::InfoRecord info{};
  info.pBuffer = nullptr;
  info.usBufferLength = bufferLength;
  result.status = CallDriver(ica::kProcInfo, &info);
  result.bufferLength = info.usBufferLength;
  return result;
}

QueryResult Engine::QueryInformation(std::uint32_t infoClass, std::uint32_t bufferLength) {
  QueryResult result{};
  result.buffer.assign(bufferLength, kFillByte);
  ica::QueryRecord query{};
  query.ulInformationClass = infoClass;
  query.pBuffer = result.buffer.empty() ? nullptr : result.buffer.data();
  query.ulBufferLength = bufferLength;
  query.ulReturnedLength = kUntouchedLength;
  result.status = CallDriver(ica::kProcQueryInformation, &query);
  result.returnedLength = query.ulReturnedLength;
  return result;
}

QueryResult Engine::QueryInformationWithoutBuffer(std::uint32_t infoClass,
                                                  std::uint32_t bufferLength) {
  QueryResult result{};
  ica::QueryRecord query{};
  query.ulInformationClass = infoClass;
  query.pBuffer = nullptr;
  query.ulBufferLength = bufferLength;
  query.ulReturnedLength = kUntouchedLength;
  result.status = CallDriver(ica::kProcQueryInformation, &query);
  result.returnedLength = query.ulReturnedLength;
  return result;
}

std::int32_t Engine::SetInformation(std::uint32_t infoClass) {
  ica::QueryRecord record{};
  record.ulInformationClass = infoClass;
  return CallDriver(ica::kProcSetInformation, &record);
}

// ---- The channels ----

std::uint16_t Engine::ChannelNumber(const std::string& name) const {
  const auto found = channels_.find(name);
  return found != channels_.end() ? found->second.number : 0;
}

bool Engine::HasWriteHook(const std::string& name) const {
  const auto found = channels_.find(name);
  return found != channels_.end() && found->second.hooked;
}

const ica::WriteHookRecord* Engine::WriteHook(const std::string& name) const {
  const auto found = channels_.find(name);
  return found != channels_.end() && found->second.hooked ? &found->second.hook : nullptr;
}

bool Engine::Write(const std::string& channelName, const std::string& bytes) {
  if (bytes.size() > 0xFFFF) {
    Violation("test error: a block longer than 65535 bytes");
    return false;
  }
  // A block always has a valid address, also an empty one.
  std::vector<std::uint8_t> block;
  block.reserve(bytes.empty() ? 1 : bytes.size());
  block.assign(bytes.begin(), bytes.end());
  return WriteRaw(channelName, block.data(), static_cast<std::uint16_t>(bytes.size()));
}

bool Engine::WriteRaw(const std::string& channelName, std::uint8_t* bytes, std::uint16_t length) {
  const auto found = channels_.find(channelName);
  if (!loaded_ || found == channels_.end() || !found->second.hooked) return false;
  const ica::WriteHookRecord& hook = found->second.hook;
  hook.pfnWriteHook(hook.pVdData, found->second.number, bytes, length);
  return true;
}

Engine::Channel* Engine::FindChannel(std::uint16_t number) {
  for (auto& channel : channels_) {
    if (channel.second.number == number) return &channel.second;
  }
  return nullptr;
}

// ---- The engine's side ----

std::int32_t Engine::OnLookup(const char* name, void* null, void** slot) {
  if (name == nullptr) {
    Violation("lookup without a name");
    return ica::kStatusUnavailable;
  }
  lookedUp_.push_back(name);
  if (linuxEngine_) Violation("module lookup on the Linux engine, which has none");
  if (null != nullptr) Violation("lookup with a second argument other than a null pointer");
  if (slot == nullptr) {
    Violation("lookup without a slot");
    return ica::kStatusUnavailable;
  }
  *slot = &moduleTables_[std::min<std::size_t>(lookedUp_.size() - 1, sizeof moduleTables_ - 1)];
  return ica::kStatusSuccess;
}

bool Engine::CheckInformationRecord(const ica::WdInformation* information,
                                    const std::uint16_t* size, const char* call) {
  if (size == nullptr || *size != sizeof(ica::WdInformation)) {
    Violation(Describe((std::string(call) + " information record size").c_str(),
                       size != nullptr ? *size : 0, sizeof(ica::WdInformation)));
  }
  if (information == nullptr || information->pBuffer == nullptr) {
    Violation(std::string(call) + " without an information record or buffer");
    return false;
  }
  return true;
}

bool Engine::CheckBufferLength(const ica::WdInformation& information, std::size_t expected,
                               const char* infoClass) {
  if (information.usBufferLength == expected) return true;
  Violation(Describe((std::string(infoClass) + " buffer length").c_str(),
                     information.usBufferLength, static_cast<std::uint32_t>(expected)));
  // A shorter buffer is a record of another layout: the engine would write
  // past its end, so it is refused untouched.
  return information.usBufferLength > expected;
}

std::int32_t Engine::OnWdQuery(ica::WdInformation* information, std::uint16_t* size) {
  if (!CheckInformationRecord(information, size, "query")) return ica::kStatusUnavailable;
  wdCalls_.push_back(WdCall{ica::kWdQueryInformation, information->ulInformationClass});

  switch (information->ulInformationClass) {
    case ica::kClassOpenChannel: {
      if (!CheckBufferLength(*information, sizeof(ica::OpenChannelBuffer), "class 33")) {
        return ica::kStatusBufferTooSmall;
      }
      auto* buffer = static_cast<ica::OpenChannelBuffer*>(information->pBuffer);
      if (buffer->pszChannelName == nullptr) {
        Violation("class 33 without a channel name");
        return ica::kStatusUnavailable;
      }
      if (buffer->usChannelNumber != 0) Violation("class 33 with a channel number other than 0");
      const std::string name = buffer->pszChannelName;
      openRequests_.push_back(name);
      const auto failure = openFailures_.find(name);
      if (failure != openFailures_.end()) return failure->second;
      Channel& channel = channels_[name];
      if (channel.number == 0) channel.number = nextChannelNumber_++;
      buffer->usChannelNumber = channel.number;
      return ica::kStatusSuccess;
    }
    case ica::kClassWdVersion: {
      if (linuxEngine_) {
        Violation("class 86 on the Linux engine, which has none");
        return ica::kStatusUnavailable;
      }
      if (!CheckBufferLength(*information, sizeof(ica::WdVersionBuffer), "class 86")) {
        return ica::kStatusBufferTooSmall;
      }
      auto* buffer = static_cast<ica::WdVersionBuffer*>(information->pBuffer);
      if (buffer->usVersion != 0) Violation("class 86 with a version other than 0");
      if (versionFailure_ != 0) {
        // What a failed query leaves behind must not be used.
        buffer->usVersion = 1;
        buffer->pfnSendDirect = &SendDirectTrampoline;
        return versionFailure_;
      }
      buffer->usVersion = wdVersion_;
      buffer->pfnSendDirect = supplyDirectSend_ ? &SendDirectTrampoline : nullptr;
      return ica::kStatusSuccess;
    }
    default:
      Violation("query information with class " + std::to_string(information->ulInformationClass));
      return ica::kStatusUnavailable;
  }
}

std::int32_t Engine::OnWdSet(ica::WdInformation* information, std::uint16_t* size) {
  if (!CheckInformationRecord(information, size, "set")) return ica::kStatusUnavailable;
  wdCalls_.push_back(WdCall{ica::kWdSetInformation, information->ulInformationClass});

  switch (information->ulInformationClass) {
    case ica::kClassWriteHook: {
      if (!CheckBufferLength(*information, sizeof(ica::WriteHookRecord), "class 10")) {
        return ica::kStatusBufferTooSmall;
      }
      auto* hook = static_cast<ica::WriteHookRecord*>(information->pBuffer);
      Channel* channel = FindChannel(hook->usChannel);
      if (channel == nullptr) {
        Violation("write hook for channel " + std::to_string(hook->usChannel) + ", never opened");
        return ica::kStatusUnavailable;
      }
      if (hook->pfnWriteHook == nullptr) Violation("write hook without a procedure");
      if (hook->pVdData != driver_) Violation("write hook whose pVdData is not the driver record");
      std::string name;
      for (const auto& entry : channels_) {
        if (&entry.second == channel) name = entry.first;
      }
      // Filled in whatever the outcome: a failed registration's values must
      // not be used.
      hook->pWd = this;
      hook->usMaximumWriteSize = maximumWriteSize_;
      hook->pfnQueueWrite = supplyQueueWrite_ ? &QueueWriteTrampoline : nullptr;
      const auto failure = hookFailures_.find(name);
      if (failure != hookFailures_.end()) {
        hook->pfnQueueWrite = &QueueWriteTrampoline;
        return failure->second;
      }
      channel->hook = *hook;
      channel->hooked = true;
      return ica::kStatusSuccess;
    }
    case ica::kClassHpcProperties: {
      if (linuxEngine_) {
        Violation("class 92 on the Linux engine, which has none");
        return ica::kStatusUnavailable;
      }
      if (!CheckBufferLength(*information, sizeof(ica::HpcPropertiesBuffer), "class 92")) {
        return ica::kStatusBufferTooSmall;
      }
      const auto* buffer = static_cast<const ica::HpcPropertiesBuffer*>(information->pBuffer);
      hpcCalls_.push_back(HpcProperties{buffer->pWd, buffer->ulVdOptions, buffer->usVersion});
      return hpcFailure_;
    }
    default:
      Violation("set information with class " + std::to_string(information->ulInformationClass));
      return ica::kStatusUnavailable;
  }
}

void Engine::CheckContext(void* context, const char* who) {
  if (context != this) Violation(std::string(who) + " with a context the engine never gave");
}

std::int32_t Engine::NextSendStatus() {
  if (sendStatuses_.empty()) return ica::kStatusSuccess;
  const std::int32_t status = sendStatuses_.front();
  sendStatuses_.pop_front();
  return status;
}

std::int32_t Engine::OnQueueWrite(void* context, std::uint16_t channel,
                                  ica::MemorySection* sections, std::uint16_t count,
                                  std::uint16_t flags) {
  CheckContext(context, "queued write");
  SentData sent{};
  sent.path = SendPath::kQueuedWrite;
  sent.channel = channel;
  sent.context = context;
  sent.sectionCount = count;
  sent.queueFlags = flags;
  if (sections == nullptr && count != 0) {
    Violation("queued write without a section list");
    count = 0;
  }
  for (std::uint16_t i = 0; i < count; ++i) {
    if (sections[i].pBytes == nullptr && sections[i].ulLength != 0) {
      Violation("queued write section without bytes");
      continue;
    }
    sent.bytes.append(reinterpret_cast<const char*>(sections[i].pBytes), sections[i].ulLength);
  }
  sent_.push_back(sent);
  return NextSendStatus();
}

std::int32_t Engine::OnSendDirect(void* context, std::uint16_t channel, std::uint8_t* bytes,
                                  std::uint16_t length, void* userData, std::uint32_t flags) {
  CheckContext(context, "direct send");
  SentData sent{};
  sent.path = SendPath::kDirectSend;
  sent.channel = channel;
  sent.context = context;
  sent.directFlags = flags;
  sent.userDataPointsToBytes =
      userData != nullptr && *static_cast<std::uint8_t* const*>(userData) == bytes;
  if (bytes == nullptr && length != 0) {
    Violation("direct send without bytes");
  } else {
    sent.bytes.assign(reinterpret_cast<const char*>(bytes), length);
  }
  sent_.push_back(sent);
  return NextSendStatus();
}

// ---- The module's diagnostic log ----

void SetModuleTempDirectory(const std::string& directory) {
#if defined(_WIN32)
  SetEnvironmentVariableA("TMP", directory.c_str());
  SetEnvironmentVariableA("TEMP", directory.c_str());
#else
  setenv("TMPDIR", directory.c_str(), 1);
#endif
}

std::string ModuleLogPath(const std::string& directory) {
#if defined(_WIN32)
  const char separator = '\\';
#else
  const char separator = '/';
#endif
  std::string path = directory;
  if (!path.empty() && path.back() != separator && path.back() != '/') path += separator;
  return path + "QuarnClientDriver.log";
}

std::string ReadModuleLog(const std::string& directory) {
  std::ifstream file(ModuleLogPath(directory), std::ios::binary);
  std::string text;
  char chunk[4096];
  while (file.read(chunk, sizeof chunk) || file.gcount() > 0) {
    text.append(chunk, static_cast<std::size_t>(file.gcount()));
  }
  return text;
}

std::vector<std::string> ReadModuleLogLines(const std::string& directory) {
  const std::string text = ReadModuleLog(directory);
  std::vector<std::string> lines;
  std::size_t begin = 0;
  while (begin < text.size()) {
    std::size_t end = text.find('\n', begin);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(begin, end - begin);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
    begin = end + 1;
  }
  return lines;
}

}  // namespace engine_sim

// The records and procedures that pass between the ICA engine and the virtual
// channel driver module. Plain C structs, fields in the engine's order; the
// stretches the driver never touches are kept as reserved byte arrays so that
// every field lands where the engine expects it. This is the whole contract
// with the engine: the engine simulator includes this header and nothing else
// of the module.
//
// 32-bit targets use the engine's 32-bit layout. On 64-bit targets the records
// are the engine's own records built for 64 bits: the fields keep their order,
// pointers are 8 bytes, every field sits at its natural alignment, and each
// stretch the driver does not use holds what the engine has there (two of
// them hold pointers and so grow: the write-hook record's four engine values
// and the tail of the class 86 buffer). Both layouts are proven at the end of
// this file.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vdqrn {

// Every procedure that crosses the engine boundary uses the C calling
// convention; 32-bit Windows spells it out.
#if defined(_WIN32) && !defined(_WIN64)
#define VDQRN_ENGINE_CALL __cdecl
#else
#define VDQRN_ENGINE_CALL
#endif

namespace ica {

// Status codes at the engine boundary.
constexpr std::int32_t kStatusSuccess = 0;
constexpr std::int32_t kStatusNoData = 21;         // poll: nothing to send
constexpr std::int32_t kStatusRetry = 30;          // poll: the engine was busy (1016)
constexpr std::int32_t kStatusBufferTooSmall = 1004;
constexpr std::int32_t kStatusUnavailable = 1011;  // engine procedure not supplied
constexpr std::int32_t kStatusEngineBusy = 1016;   // answer of a send entry point

// Winstation driver procedure indexes and information classes.
constexpr std::uint16_t kWdQueryInformation = 6;
constexpr std::uint16_t kWdSetInformation = 7;
constexpr std::uint32_t kClassOpenChannel = 33;
constexpr std::uint32_t kClassWriteHook = 10;
constexpr std::uint32_t kClassWdVersion = 86;
constexpr std::uint32_t kClassHpcProperties = 92;
// Driver query class: the last error.
constexpr std::uint32_t kQueryLastError = 0;

constexpr std::uint16_t kDriverProcedureCount = 8;
constexpr std::size_t kLookupProcedureIndex = 2;  // in the engine's library table

// An entry of a procedure table. Tables hold procedures of different
// signatures; each is cast to its own type below before it is called.
typedef void(VDQRN_ENGINE_CALL* EngineProcedure)(void);

struct MemorySection;
struct WdInformation;
struct LinkRecord;
struct DriverRecord;

// Write hook: the driver's data-arrival procedure, called for every block the
// host writes to a channel.
typedef std::int32_t(VDQRN_ENGINE_CALL* WriteHookProcedure)(void* pVdData,
                                                            std::uint16_t usChannel,
                                                            std::uint8_t* pBytes,
                                                            std::uint16_t usLength);
// The engine's queued write entry point (normal mode).
typedef std::int32_t(VDQRN_ENGINE_CALL* QueueWriteProcedure)(void* pWd, std::uint16_t usChannel,
                                                             MemorySection* pSections,
                                                             std::uint16_t usSectionCount,
                                                             std::uint16_t usFlags);
// The engine's direct send entry point (high-performance mode).
typedef std::int32_t(VDQRN_ENGINE_CALL* SendDirectProcedure)(void* pWd, std::uint16_t usChannel,
                                                             std::uint8_t* pBytes,
                                                             std::uint16_t usLength,
                                                             void* pUserData,
                                                             std::uint32_t ulFlags);
// Winstation driver procedures 6 (query) and 7 (set information).
typedef std::int32_t(VDQRN_ENGINE_CALL* WdInformationProcedure)(void* pWdData,
                                                                WdInformation* pInformation,
                                                                std::uint16_t* puSize);
// The engine's module table lookup: stores the named module's procedure table
// into the slot.
typedef std::int32_t(VDQRN_ENGINE_CALL* LookupProcedure)(const char* pszName,
                                                         void* pNull,
                                                         void** ppSlot);
// Driver procedure table entries 0 (Load), 1 (unload) and 2 to 7.
typedef std::int32_t(VDQRN_ENGINE_CALL* LoadProcedure)(LinkRecord* pLink);
typedef std::int32_t(VDQRN_ENGINE_CALL* UnloadProcedure)(DriverRecord* pDriver,
                                                         LinkRecord* pLink);
typedef std::int32_t(VDQRN_ENGINE_CALL* DriverProcedure)(DriverRecord* pDriver, void* pRecord,
                                                         std::uint16_t* puSize);

// Driver procedure table indexes.
enum DriverProcedureIndex {
  kProcLoad = 0,
  kProcUnload = 1,
  kProcOpen = 2,
  kProcClose = 3,
  kProcInfo = 4,
  kProcPoll = 5,
  kProcQueryInformation = 6,
  kProcSetInformation = 7,
};

// Passed to Load and to the unload procedure.
struct LinkRecord {
  std::uint8_t reserved0[4];
  std::uint16_t usProcedureCount;
  std::uint8_t reserved6[2];
  EngineProcedure* pProcedureTable;
  DriverRecord* pDriverRecord;
  std::uint8_t reserved16[20];
  EngineProcedure* pLibraryTable;
};

// The winstation driver link: its procedure table and data pointer.
struct WdLink {
  std::uint8_t reserved0[8];
  EngineProcedure* pProcedureTable;
  void* pWdData;
};

// The module's own record, handed to the engine by Load and passed back as the
// first argument of every driver procedure.
struct DriverRecord {
  std::uint32_t ulChannelMask;
  WdLink* pWdLink;
  std::uint32_t ulReserved;
  std::uintptr_t uptrChannelValue;  // set to zero after each channel opened
};

// Passed to the open procedure.
struct OpenRecord {
  std::uint8_t reserved0[4];
  WdLink* pWdLink;
  std::uint32_t ulChannelMask;
};

// Passed to the info procedure.
struct InfoRecord {
  void* pBuffer;
  std::uint16_t usBufferLength;
};

// Passed to the query information procedure.
struct QueryRecord {
  std::uint32_t ulInformationClass;
  void* pBuffer;
  std::uint32_t ulBufferLength;
  std::uint32_t ulReturnedLength;
};

// Information record of a winstation driver call.
struct WdInformation {
  std::uint32_t ulInformationClass;
  void* pBuffer;
  std::uint16_t usBufferLength;
  std::uint8_t reserved10[2];
};

// Class 33: open a virtual channel by name.
struct OpenChannelBuffer {
  const char* pszChannelName;
  std::uint16_t usChannelNumber;  // filled in by the engine
};

// Class 86: the winstation driver's version and direct send entry point.
struct WdVersionBuffer {
  std::uint16_t usVersion;  // 0 before the call; non-zero: high-performance mode
  SendDirectProcedure pfnSendDirect;
  std::uint16_t usReserved;  // the engine's, not used
  void* pReserved1;          // the engine's, not used
  void* pReserved2;          // the engine's, not used
};

// Class 92: the driver's high-performance properties.
struct HpcPropertiesBuffer {
  void* pWd;
  std::uint32_t ulVdOptions;
  std::uint16_t usVersion;
};

// Class 10: a write hook for one channel.
struct WriteHookRecord {
  std::uint16_t usChannel;            // to the engine
  void* pVdData;                      // to the engine, handed back to the hook
  WriteHookProcedure pfnWriteHook;    // to the engine
  void* pWd;                          // from the engine: its context value
  std::uintptr_t engineValues[4];     // from the engine, not used
  std::uint16_t usMaximumWriteSize;   // from the engine
  QueueWriteProcedure pfnQueueWrite;  // from the engine
};

// One section of a queued write.
struct MemorySection {
  std::uint32_t ulLength;
  std::uint8_t* pBytes;
};

// The buffer that the info procedure fills in (48 bytes on every target).
struct InfoOutputBuffer {
  std::uint16_t usSize;
  std::uint8_t reserved2;
  std::uint8_t bValue3;
  std::uint8_t bVersionFirst;
  std::uint8_t bVersionSecond;
  char szModuleName[13];  // filled in by the engine
  char szDriverType[9];   // "ICA"
  std::uint8_t reserved28[12];
  std::uint8_t bValue40;
  std::uint8_t bValue41;
  std::uint8_t reserved42[6];
};

// The last-error record (292 bytes on every target), text at byte 4.
struct LastErrorRecord {
  std::uint32_t ulErrorCode;
  char szText[288];
};

constexpr std::uint16_t kInfoOutputSize = 48;
// The 16-bit size value that the driver returns from every channel open.
constexpr std::uint16_t kOpenSizeValue = sizeof(void*) == 8 ? 48 : 24;
constexpr std::uint32_t kLastErrorSize = 292;

static_assert(sizeof(InfoOutputBuffer) == kInfoOutputSize, "info output buffer");
static_assert(offsetof(InfoOutputBuffer, bValue3) == 3, "info output buffer");
static_assert(offsetof(InfoOutputBuffer, bVersionFirst) == 4, "info output buffer");
static_assert(offsetof(InfoOutputBuffer, bVersionSecond) == 5, "info output buffer");
static_assert(offsetof(InfoOutputBuffer, szModuleName) == 6, "info output buffer");
static_assert(offsetof(InfoOutputBuffer, szDriverType) == 19, "info output buffer");
static_assert(offsetof(InfoOutputBuffer, bValue40) == 40, "info output buffer");
static_assert(offsetof(InfoOutputBuffer, bValue41) == 41, "info output buffer");
static_assert(sizeof(LastErrorRecord) == kLastErrorSize, "last-error record");
static_assert(offsetof(LastErrorRecord, szText) == 4, "last-error record");

#if UINTPTR_MAX == 0xFFFFFFFFu

static_assert(offsetof(LinkRecord, usProcedureCount) == 4, "link record");
static_assert(offsetof(LinkRecord, pProcedureTable) == 8, "link record");
static_assert(offsetof(LinkRecord, pDriverRecord) == 12, "link record");
static_assert(offsetof(LinkRecord, pLibraryTable) == 36, "link record");
static_assert(sizeof(LinkRecord) == 40, "link record");

static_assert(offsetof(DriverRecord, ulChannelMask) == 0, "driver record");
static_assert(offsetof(DriverRecord, pWdLink) == 4, "driver record");
static_assert(offsetof(DriverRecord, ulReserved) == 8, "driver record");
static_assert(offsetof(DriverRecord, uptrChannelValue) == 12, "driver record");
static_assert(sizeof(DriverRecord) == 16, "driver record");

static_assert(offsetof(OpenRecord, pWdLink) == 4, "open record");
static_assert(offsetof(OpenRecord, ulChannelMask) == 8, "open record");
static_assert(sizeof(OpenRecord) == 12, "open record");

static_assert(offsetof(InfoRecord, pBuffer) == 0, "info record");
static_assert(offsetof(InfoRecord, usBufferLength) == 4, "info record");
static_assert(sizeof(InfoRecord) == 8, "info record");

static_assert(offsetof(QueryRecord, ulInformationClass) == 0, "query record");
static_assert(offsetof(QueryRecord, pBuffer) == 4, "query record");
static_assert(offsetof(QueryRecord, ulBufferLength) == 8, "query record");
static_assert(offsetof(QueryRecord, ulReturnedLength) == 12, "query record");
static_assert(sizeof(QueryRecord) == 16, "query record");

static_assert(offsetof(WdLink, pProcedureTable) == 8, "winstation driver link");
static_assert(offsetof(WdLink, pWdData) == 12, "winstation driver link");
static_assert(sizeof(WdLink) == 16, "winstation driver link");

static_assert(offsetof(WdInformation, ulInformationClass) == 0, "information record");
static_assert(offsetof(WdInformation, pBuffer) == 4, "information record");
static_assert(offsetof(WdInformation, usBufferLength) == 8, "information record");
static_assert(sizeof(WdInformation) == 12, "information record");

static_assert(offsetof(OpenChannelBuffer, pszChannelName) == 0, "class 33 buffer");
static_assert(offsetof(OpenChannelBuffer, usChannelNumber) == 4, "class 33 buffer");
static_assert(sizeof(OpenChannelBuffer) == 8, "class 33 buffer");

static_assert(offsetof(WdVersionBuffer, usVersion) == 0, "class 86 buffer");
static_assert(offsetof(WdVersionBuffer, pfnSendDirect) == 4, "class 86 buffer");
static_assert(offsetof(WdVersionBuffer, usReserved) == 8, "class 86 buffer");
static_assert(offsetof(WdVersionBuffer, pReserved1) == 12, "class 86 buffer");
static_assert(offsetof(WdVersionBuffer, pReserved2) == 16, "class 86 buffer");
static_assert(sizeof(WdVersionBuffer) == 20, "class 86 buffer");

static_assert(offsetof(HpcPropertiesBuffer, pWd) == 0, "class 92 buffer");
static_assert(offsetof(HpcPropertiesBuffer, ulVdOptions) == 4, "class 92 buffer");
static_assert(offsetof(HpcPropertiesBuffer, usVersion) == 8, "class 92 buffer");
static_assert(sizeof(HpcPropertiesBuffer) == 12, "class 92 buffer");

static_assert(offsetof(WriteHookRecord, usChannel) == 0, "write-hook record");
static_assert(offsetof(WriteHookRecord, pVdData) == 4, "write-hook record");
static_assert(offsetof(WriteHookRecord, pfnWriteHook) == 8, "write-hook record");
static_assert(offsetof(WriteHookRecord, pWd) == 12, "write-hook record");
static_assert(offsetof(WriteHookRecord, engineValues) == 16, "write-hook record");
static_assert(sizeof(WriteHookRecord::engineValues) == 16, "write-hook record");
static_assert(offsetof(WriteHookRecord, usMaximumWriteSize) == 32, "write-hook record");
static_assert(offsetof(WriteHookRecord, pfnQueueWrite) == 36, "write-hook record");
static_assert(sizeof(WriteHookRecord) == 40, "write-hook record");

static_assert(offsetof(MemorySection, ulLength) == 0, "memory section");
static_assert(offsetof(MemorySection, pBytes) == 4, "memory section");
static_assert(sizeof(MemorySection) == 8, "memory section");

#elif UINTPTR_MAX == 0xFFFFFFFFFFFFFFFFu

static_assert(offsetof(LinkRecord, usProcedureCount) == 4, "link record");
static_assert(offsetof(LinkRecord, pProcedureTable) == 8, "link record");
static_assert(offsetof(LinkRecord, pDriverRecord) == 16, "link record");
static_assert(offsetof(LinkRecord, pLibraryTable) == 48, "link record");
static_assert(sizeof(LinkRecord) == 56, "link record");

static_assert(offsetof(DriverRecord, ulChannelMask) == 0, "driver record");
static_assert(offsetof(DriverRecord, pWdLink) == 8, "driver record");
static_assert(offsetof(DriverRecord, ulReserved) == 16, "driver record");
static_assert(offsetof(DriverRecord, uptrChannelValue) == 24, "driver record");
static_assert(sizeof(DriverRecord) == 32, "driver record");

static_assert(offsetof(OpenRecord, pWdLink) == 8, "open record");
static_assert(offsetof(OpenRecord, ulChannelMask) == 16, "open record");
static_assert(sizeof(OpenRecord) == 24, "open record");

static_assert(offsetof(InfoRecord, pBuffer) == 0, "info record");
static_assert(offsetof(InfoRecord, usBufferLength) == 8, "info record");
static_assert(sizeof(InfoRecord) == 16, "info record");

static_assert(offsetof(QueryRecord, ulInformationClass) == 0, "query record");
static_assert(offsetof(QueryRecord, pBuffer) == 8, "query record");
static_assert(offsetof(QueryRecord, ulBufferLength) == 16, "query record");
static_assert(offsetof(QueryRecord, ulReturnedLength) == 20, "query record");
static_assert(sizeof(QueryRecord) == 24, "query record");

static_assert(offsetof(WdLink, pProcedureTable) == 8, "winstation driver link");
static_assert(offsetof(WdLink, pWdData) == 16, "winstation driver link");
static_assert(sizeof(WdLink) == 24, "winstation driver link");

static_assert(offsetof(WdInformation, ulInformationClass) == 0, "information record");
static_assert(offsetof(WdInformation, pBuffer) == 8, "information record");
static_assert(offsetof(WdInformation, usBufferLength) == 16, "information record");
static_assert(sizeof(WdInformation) == 24, "information record");

static_assert(offsetof(OpenChannelBuffer, pszChannelName) == 0, "class 33 buffer");
static_assert(offsetof(OpenChannelBuffer, usChannelNumber) == 8, "class 33 buffer");
static_assert(sizeof(OpenChannelBuffer) == 16, "class 33 buffer");

static_assert(offsetof(WdVersionBuffer, usVersion) == 0, "class 86 buffer");
static_assert(offsetof(WdVersionBuffer, pfnSendDirect) == 8, "class 86 buffer");
static_assert(offsetof(WdVersionBuffer, usReserved) == 16, "class 86 buffer");
static_assert(offsetof(WdVersionBuffer, pReserved1) == 24, "class 86 buffer");
static_assert(offsetof(WdVersionBuffer, pReserved2) == 32, "class 86 buffer");
static_assert(sizeof(WdVersionBuffer) == 40, "class 86 buffer");

static_assert(offsetof(HpcPropertiesBuffer, pWd) == 0, "class 92 buffer");
static_assert(offsetof(HpcPropertiesBuffer, ulVdOptions) == 8, "class 92 buffer");
static_assert(offsetof(HpcPropertiesBuffer, usVersion) == 12, "class 92 buffer");
static_assert(sizeof(HpcPropertiesBuffer) == 16, "class 92 buffer");

static_assert(offsetof(WriteHookRecord, usChannel) == 0, "write-hook record");
static_assert(offsetof(WriteHookRecord, pVdData) == 8, "write-hook record");
static_assert(offsetof(WriteHookRecord, pfnWriteHook) == 16, "write-hook record");
static_assert(offsetof(WriteHookRecord, pWd) == 24, "write-hook record");
static_assert(offsetof(WriteHookRecord, engineValues) == 32, "write-hook record");
static_assert(sizeof(WriteHookRecord::engineValues) == 32, "write-hook record");
static_assert(offsetof(WriteHookRecord, usMaximumWriteSize) == 64, "write-hook record");
static_assert(offsetof(WriteHookRecord, pfnQueueWrite) == 72, "write-hook record");
static_assert(sizeof(WriteHookRecord) == 80, "write-hook record");

static_assert(offsetof(MemorySection, ulLength) == 0, "memory section");
static_assert(offsetof(MemorySection, pBytes) == 8, "memory section");
static_assert(sizeof(MemorySection) == 16, "memory section");

#else
#error "Engine records are laid out for 32-bit and 64-bit targets only"
#endif

}  // namespace ica

}  // namespace vdqrn

// The server's virtual channel functions, as a host application calls them:
// wfapi64.dll / wfapi.dll on Windows (WINAPI, undecorated names), libwfapi.so
// on Linux, where the Windows types are plain integers and pointers and the
// functions have no calling convention of their own.
//
// This library stands in for the platform's: the channels run over TCP to
// engine_sim --listen at QRN_STANDIN_ADDRESS ("host:port", default
// 127.0.0.1:47120), which plays the client with the real driver module. The
// connection is made at the first open and ended when the last handle
// closes; engine_sim takes each connection for a client session.
// Failures set the thread's last error to a Windows error number: with
// SetLastError on Windows, in errno on Linux (the same numbers, not errno's
// own meanings):
//   2   ERROR_FILE_NOT_FOUND       the client has no such channel
//   5   ERROR_ACCESS_DENIED        the allow list does not list this program
//   6   ERROR_INVALID_HANDLE       not an open channel handle
//   87  ERROR_INVALID_PARAMETER    name empty, longer than 7 or not ASCII;
//                                  a null pointer argument; a bad address
//   109 ERROR_BROKEN_PIPE          the connection to the client was lost
//   121 ERROR_SEM_TIMEOUT          no packet within the read's time-out; no
//                                  connection or open answer within 5 or 10 s
//   122 ERROR_INSUFFICIENT_BUFFER  the packet was longer than the buffer; it is gone
//   170 ERROR_BUSY                 engine_sim serves another program's connection
//   1225 ERROR_CONNECTION_REFUSED  nothing listens at the address, or engine_sim
//                                  did not accept the connection
#pragma once

#if defined(_WIN32)
#include <windows.h>
#define QRN_WFAPI_CALL WINAPI
#define QRN_WFAPI_EXPORT
#else
#include <cstdint>
typedef void* HANDLE;
typedef std::uint32_t DWORD;
typedef std::uint32_t ULONG;
typedef ULONG* PULONG;
typedef int BOOL;
typedef char* LPSTR;
typedef char* PCHAR;
#define QRN_WFAPI_CALL
#define QRN_WFAPI_EXPORT __attribute__((visibility("default")))
#endif

extern "C" {

// hServer: NULL (the current server); SessionId: (DWORD)-1 (the current
// session); both are taken as given. NULL on failure.
QRN_WFAPI_EXPORT HANDLE QRN_WFAPI_CALL WFVirtualChannelOpen(HANDLE hServer, DWORD SessionId,
                                                            LPSTR pVirtualName);
QRN_WFAPI_EXPORT BOOL QRN_WFAPI_CALL WFVirtualChannelClose(HANDLE hChannelHandle);
// One packet per call. TimeOutMs 0: return at once; (ULONG)-1: wait for data.
QRN_WFAPI_EXPORT BOOL QRN_WFAPI_CALL WFVirtualChannelRead(HANDLE hChannelHandle, ULONG TimeOutMs,
                                                          PCHAR pBuffer, ULONG BufferSize,
                                                          PULONG pBytesRead);
// More than 4996 bytes leave as several packets.
QRN_WFAPI_EXPORT BOOL QRN_WFAPI_CALL WFVirtualChannelWrite(HANDLE hChannelHandle, PCHAR pBuffer,
                                                           ULONG Length, PULONG pBytesWritten);
// Drops every packet received on the channel and not read yet.
QRN_WFAPI_EXPORT BOOL QRN_WFAPI_CALL WFVirtualChannelPurgeInput(HANDLE hChannelHandle);

}  // extern "C"

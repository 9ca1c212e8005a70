// Basic types and status codes of our stand-in for the operating system.
//
// The display channel and the link above it were designed around a Windows
// driver: handles, error codes, alertable waits and completion routines.  We
// keep that shape (names and values) so the channel reads like its design,
// and implement it in portable C++ in os/, the same on Linux and in the
// Windows build.
#pragma once

#include <cstdint>
#include <string>

namespace os {

using DWORD = std::uint32_t;
using BOOL = int;
using UINT = std::uint32_t;

// An open object of the driver layer.  0 is "no handle held"; the invalid
// value is what a failed open returns (and what discovery leaves behind when
// it finds nothing to open).
using HANDLE = std::intptr_t;
inline constexpr HANDLE kNoHandle = 0;
inline constexpr HANDLE INVALID_HANDLE_VALUE = -1;

inline bool IsOpenHandle(HANDLE h) { return h != kNoHandle && h != INVALID_HANDLE_VALUE; }

inline constexpr DWORD INFINITE = 0xFFFFFFFF;

// Error codes, with the values the channel's logic was written against.
inline constexpr DWORD ERROR_SUCCESS = 0;
inline constexpr DWORD ERROR_FILE_NOT_FOUND = 2;
inline constexpr DWORD ERROR_INVALID_HANDLE = 6;
inline constexpr DWORD ERROR_GEN_FAILURE = 31;
inline constexpr DWORD ERROR_INVALID_PARAMETER = 87;
inline constexpr DWORD ERROR_INSUFFICIENT_BUFFER = 122;
inline constexpr DWORD ERROR_NO_MORE_ITEMS = 259;
inline constexpr DWORD ERROR_OPERATION_ABORTED = 995;
inline constexpr DWORD ERROR_DEVICE_NOT_CONNECTED = 1167;
inline constexpr DWORD ERROR_ACCESS_DENIED = 5;
inline constexpr DWORD ERROR_BUSY = 170;
inline constexpr DWORD ERROR_SEM_TIMEOUT = 121;

// Results of waits.
inline constexpr DWORD WAIT_OBJECT_0 = 0;
inline constexpr DWORD WAIT_IO_COMPLETION = 192;
inline constexpr DWORD WAIT_TIMEOUT = 258;
inline constexpr DWORD WAIT_FAILED = 0xFFFFFFFF;

// A device-interface class identifier.
struct GUID {
  std::uint32_t Data1;
  std::uint16_t Data2;
  std::uint16_t Data3;
  std::uint8_t Data4[8];
  friend bool operator==(const GUID&, const GUID&) = default;
};

// "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}", lower case.
std::string GuidToString(const GUID& g);

// The last error of the calling thread, as set by the functions of this layer.
DWORD GetLastError();
void SetLastError(DWORD error);

}  // namespace os

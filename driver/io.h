// Windows-shaped calls over the driver layer: device-interface enumeration,
// opening, control calls and overlapped I/O with completion routines.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "driver/driver.h"
#include "os/sync.h"
#include "os/types.h"

namespace os {

// ---- Device-interface enumeration --------------------------------------

struct DeviceInfoSet;
using HDEVINFO = DeviceInfoSet*;
inline constexpr DWORD DIGCF_PRESENT = 0x02;
inline constexpr DWORD DIGCF_DEVICEINTERFACE = 0x10;

struct SP_DEVICE_INTERFACE_DATA {
  DWORD cbSize = sizeof(SP_DEVICE_INTERFACE_DATA);
  GUID InterfaceClassGuid{};
  DWORD Flags = 0;
  DWORD index = 0;  // which member of the set this describes
};

// Returns nullptr (where Windows returns INVALID_HANDLE_VALUE) when there is
// no driver.
HDEVINFO SetupDiGetClassDevs(const GUID* interfaceClass, DWORD flags);
BOOL SetupDiEnumDeviceInterfaces(HDEVINFO set, const GUID* interfaceClass, DWORD memberIndex,
                                 SP_DEVICE_INTERFACE_DATA* data);
// First call with buffer nullptr and size 0 learns the size (fails with
// ERROR_INSUFFICIENT_BUFFER and sets *requiredSize); the second fills the
// buffer with the NUL-terminated device path.
BOOL SetupDiGetDeviceInterfaceDetail(HDEVINFO set, const SP_DEVICE_INTERFACE_DATA* data, char* devicePath,
                                     DWORD size, DWORD* requiredSize);
BOOL SetupDiDestroyDeviceInfoList(HDEVINFO set);

// ---- Handles and control calls -----------------------------------------

inline constexpr DWORD FILE_FLAG_OVERLAPPED = 0x40000000;

HANDLE CreateFile(const char* path, DWORD flagsAndAttributes);
BOOL CloseHandle(HANDLE h);
BOOL DeviceIoControl(HANDLE h, DWORD code, const void* in, DWORD inSize, void* out, DWORD outSize,
                     DWORD* returned);

// ---- Overlapped I/O with completion routines ----------------------------

struct OVERLAPPED;
using LPOVERLAPPED_COMPLETION_ROUTINE = void (*)(DWORD error, DWORD transferred, OVERLAPPED* overlapped);

// The control block of one transfer.  The caller keeps it (and the buffer)
// alive until the completion routine has run or CancelIo has returned.
struct OVERLAPPED {
  void* owner = nullptr;  // the caller's back-pointer
};

// The completion routine runs on the calling thread inside one of its later
// alertable waits (WaitForSingleObjectEx / SleepEx with alertable set).
BOOL ReadFileEx(HANDLE h, void* buffer, DWORD length, OVERLAPPED* overlapped,
                LPOVERLAPPED_COMPLETION_ROUTINE routine);
BOOL WriteFileEx(HANDLE h, const void* buffer, DWORD length, OVERLAPPED* overlapped,
                 LPOVERLAPPED_COMPLETION_ROUTINE routine);
// Cancels the transfers outstanding on h.  On return the driver no longer
// touches their buffers; their completion routines are queued to their
// threads as usual (with ERROR_OPERATION_ABORTED).
BOOL CancelIo(HANDLE h);

}  // namespace os

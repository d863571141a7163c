#pragma once
// The handle count of this process, under Wine too, for tests that no request leaves a
// handle behind. Link with ntdll.

#include <gtest/gtest.h>
#include <windows.h>

#include <vector>

#include <winternl.h>

namespace patu::testing {

// This process's entries in the system's handle table.
inline DWORD table_count() {
  std::vector<unsigned char> buffer(1 << 16);
  ULONG needed = 0;
  NTSTATUS status;
  while ((status = NtQuerySystemInformation(SystemHandleInformation, buffer.data(),
                                            static_cast<ULONG>(buffer.size()), &needed)) ==
         static_cast<NTSTATUS>(0xC0000004L)) {  // STATUS_INFO_LENGTH_MISMATCH
    buffer.resize(buffer.size() * 2);
  }
  EXPECT_EQ(status, 0);
  const auto* table = reinterpret_cast<const SYSTEM_HANDLE_INFORMATION*>(buffer.data());
  DWORD count = 0;
  // The table keeps 16 bits of the process id.
  for (ULONG i = 0; i < table->Count; ++i) {
    if ((table->Handle[i].OwnerPid & 0xFFFF) == (GetCurrentProcessId() & 0xFFFF)) ++count;
  }
  return count;
}

inline DWORD process_count() {
  DWORD count = 0;
  EXPECT_TRUE(GetProcessHandleCount(GetCurrentProcess(), &count));
  return count;
}

// The process's handle count: GetProcessHandleCount where it counts. Wine 8 answers 0
// whatever the process holds; there the process's entries in the system's handle table are
// counted instead.
using Counter = DWORD (*)();
inline Counter handle_counter(const char*& name) {
  const DWORD before = process_count();
  const HANDLE event = CreateEventA(nullptr, TRUE, TRUE, nullptr);
  const bool counts = process_count() == before + 1;
  CloseHandle(event);
  name = counts ? "GetProcessHandleCount" : "the system's handle table";
  return counts ? process_count : table_count;
}

}  // namespace patu::testing

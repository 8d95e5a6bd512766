#pragma once

#include <cstdint>
#include <string>
#include <vector>

// What the test process holds, counted the way that works under Wine too
// (where GetProcessHandleCount and GetProcessMemoryInfo answer 0): handles by
// probing the handle values, threads from a snapshot filtered to this
// process, memory from the Linux side of the process.
struct ProcessResources {
  std::int64_t handles = 0;
  std::int64_t threads = 0;
  std::int64_t residentKiB = 0;  // VmRSS
  std::int64_t dataKiB = 0;      // VmData

  static ProcessResources Measure();

  // Open handles: every value 4, 8, ... up to 0x20000 that GetHandleInformation
  // accepts (the probe ends early after 4096 closed values in a row).
  static std::int64_t CountHandles();
  // The values CountHandles counts, in ascending order.
  static std::vector<std::uintptr_t> OpenHandles();
  static std::int64_t CountThreads();
  // VmRSS and VmData in KiB; zeros when the status file cannot be read.
  static void ReadMemory(std::int64_t& residentKiB, std::int64_t& dataKiB);
};

// Later minus earlier, field by field.
ProcessResources operator-(const ProcessResources& later, const ProcessResources& earlier);

// "handles +0, threads +0, resident +12 KiB, data +0 KiB".
std::string Describe(const ProcessResources& delta);

// The handles open now that were not open in `earlier` (both ascending),
// each with its object type: "0x1a4 Event, 0x1a8 Thread", or "none".
std::string DescribeNewHandles(const std::vector<std::uintptr_t>& earlier);

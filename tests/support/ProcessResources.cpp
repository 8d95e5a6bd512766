#include "support/ProcessResources.h"

#include <windows.h>
#include <tlhelp32.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "common/UniqueHandle.h"

namespace {

constexpr std::uintptr_t kLastProbedHandle = 0x20000;
constexpr std::uintptr_t kClosedStretch = 0x4000;

// The number after "name:" in a line of the status file, in KiB.
bool ParseStatusField(const char* line, const char* name, std::int64_t& value) {
  const std::size_t length = std::strlen(name);
  if (std::strncmp(line, name, length) != 0 || line[length] != ':') return false;
  long long parsed = 0;
  if (std::sscanf(line + length + 1, "%lld", &parsed) != 1) return false;
  value = parsed;
  return true;
}

// The process id on the Linux side, straight from the kernel: no Windows
// interface tells it.
long LinuxProcessId() {
#if defined(__x86_64__)
  long result;
  __asm__ volatile("syscall" : "=a"(result) : "a"(39L) : "rcx", "r11", "memory");
  return result;
#elif defined(__i386__)
  long result;
  __asm__ volatile("int $0x80" : "=a"(result) : "a"(20L) : "memory");
  return result;
#else
  return -1;
#endif
}

// Whether a status file's name (the first 15 bytes of the program's file
// name, after blanks) is this program's, so another process's figures are
// never taken for ours.
bool IsOwnProgramName(const char* statusName) {
  while (*statusName == ' ' || *statusName == '\t') ++statusName;
  char path[MAX_PATH];
  const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
  if (length == 0 || length == MAX_PATH) return false;
  const char* name = path;
  for (const char* p = path; *p != '\0'; ++p) {
    if (*p == '\\' || *p == '/') name = p + 1;
  }
  constexpr std::size_t kCommandBytes = 15;
  const std::size_t compared = std::min(std::strlen(name), kCommandBytes);
  return compared > 0 && std::strncmp(statusName, name, compared) == 0;
}

// The object type of a handle ("Event", "Key", ...), from ntdll's
// NtQueryObject, found at run time; "?" where it cannot be told.
std::string HandleTypeName(std::uintptr_t value) {
  using QueryObject = LONG(WINAPI*)(HANDLE, int, void*, ULONG, ULONG*);
  static const auto query = reinterpret_cast<QueryObject>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQueryObject")));
  if (query == nullptr) return "?";
  constexpr int kObjectTypeInformation = 2;
  // The information starts with the type's name as a counted string
  // (length in bytes, then the buffer pointer).
  alignas(8) unsigned char info[1024] = {};
  ULONG written = 0;
  if (query(reinterpret_cast<HANDLE>(value), kObjectTypeInformation, info, sizeof info, &written) < 0) return "?";
  USHORT bytes = 0;
  std::memcpy(&bytes, info, sizeof bytes);
  const wchar_t* name = nullptr;
  std::memcpy(&name, info + sizeof(void*), sizeof name);
  if (name == nullptr) return "?";
  std::string narrow;
  for (USHORT i = 0; i < bytes / sizeof(wchar_t); ++i) narrow.push_back(static_cast<char>(name[i]));
  return narrow;
}

}  // namespace

ProcessResources ProcessResources::Measure() {
  ProcessResources now;
  now.handles = CountHandles();
  now.threads = CountThreads();
  ReadMemory(now.residentKiB, now.dataKiB);
  return now;
}

std::int64_t ProcessResources::CountHandles() { return static_cast<std::int64_t>(OpenHandles().size()); }

std::vector<std::uintptr_t> ProcessResources::OpenHandles() {
  std::vector<std::uintptr_t> open;
  std::uintptr_t lastOpen = 0;
  for (std::uintptr_t value = 4; value <= kLastProbedHandle; value += 4) {
    // Handle values are handed out lowest free first, so a long stretch of
    // closed values means the rest of the table is empty too.
    if (value - lastOpen > kClosedStretch) break;
    DWORD flags = 0;
    if (GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) {
      open.push_back(value);
      lastOpen = value;
    }
  }
  return open;
}

std::int64_t ProcessResources::CountThreads() {
  const UniqueHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
  if (!snapshot) return -1;
  const DWORD self = GetCurrentProcessId();
  THREADENTRY32 entry{};
  entry.dwSize = sizeof entry;
  std::int64_t count = 0;
  for (BOOL more = Thread32First(snapshot.get(), &entry); more; more = Thread32Next(snapshot.get(), &entry)) {
    if (entry.th32OwnerProcessID == self) ++count;
    entry.dwSize = sizeof entry;
  }
  return count;
}

void ProcessResources::ReadMemory(std::int64_t& residentKiB, std::int64_t& dataKiB) {
  residentKiB = 0;
  dataKiB = 0;
  // The Windows process is a Linux process under Wine, and its status file
  // is reachable through the drive that maps the Linux root. Not as
  // /proc/self: Wine opens files in its server process, so "self" would be
  // the server.
  const long pid = LinuxProcessId();
  if (pid <= 0) return;
  char path[64];
  std::snprintf(path, sizeof path, "Z:\\proc\\%ld\\status", pid);
  std::FILE* status = std::fopen(path, "r");
  if (status == nullptr) return;
  char line[256];
  bool ours = false;
  std::int64_t resident = 0;
  std::int64_t data = 0;
  while (std::fgets(line, sizeof line, status) != nullptr) {
    if (std::strncmp(line, "Name:", 5) == 0) ours = IsOwnProgramName(line + 5);
    ParseStatusField(line, "VmRSS", resident);
    ParseStatusField(line, "VmData", data);
  }
  std::fclose(status);
  if (!ours) return;
  residentKiB = resident;
  dataKiB = data;
}

ProcessResources operator-(const ProcessResources& later, const ProcessResources& earlier) {
  ProcessResources delta;
  delta.handles = later.handles - earlier.handles;
  delta.threads = later.threads - earlier.threads;
  delta.residentKiB = later.residentKiB - earlier.residentKiB;
  delta.dataKiB = later.dataKiB - earlier.dataKiB;
  return delta;
}

std::string Describe(const ProcessResources& delta) {
  char text[160];
  std::snprintf(text, sizeof text, "handles %+lld, threads %+lld, resident %+lld KiB, data %+lld KiB",
                static_cast<long long>(delta.handles), static_cast<long long>(delta.threads),
                static_cast<long long>(delta.residentKiB), static_cast<long long>(delta.dataKiB));
  return text;
}

std::string DescribeNewHandles(const std::vector<std::uintptr_t>& earlier) {
  std::string text;
  for (const std::uintptr_t value : ProcessResources::OpenHandles()) {
    if (std::binary_search(earlier.begin(), earlier.end(), value)) continue;
    char entry[64];
    std::snprintf(entry, sizeof entry, "%s0x%llx %s", text.empty() ? "" : ", ", static_cast<unsigned long long>(value),
                  HandleTypeName(value).c_str());
    text += entry;
  }
  return text.empty() ? "none" : text;
}

#pragma once

#include <cstdint>
#include <string>

// What the panel remembers for the user between sessions, under
// HKEY_CURRENT_USER\Software\ryn\panel.
struct PanelSettings {
  std::int32_t delayMs = 100;
  std::int32_t frequencyShift = 0;
  std::int32_t zelMode = 1;
  std::int32_t volume = 100;
  bool rampEnabled = false;
  std::wstring rampFromMs = L"150";
  std::wstring rampToMs = L"60";
  std::wstring rampMinutes = L"10";
  std::wstring logPath;
  // The last loopback measurement: what the panel shows beside the
  // reported delay, and the devices' latency in ms for the session log
  // (both empty when none succeeded).
  std::wstring heardResult;
  std::wstring deviceLatencyMs;
  // The heard-delay mode: on, and the delay the user wants to hear in ms.
  bool heardMode = false;
  std::wstring heardWantedMs = L"150";
};

// The remembered settings; a value that is missing or out of range keeps
// its default.
PanelSettings LoadPanelSettings();

// Remembers the settings; nothing is lost but the memory when the key
// cannot be written.
void SavePanelSettings(const PanelSettings& settings);

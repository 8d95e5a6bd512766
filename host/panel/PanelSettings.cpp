#include "host/panel/PanelSettings.h"

#include <windows.h>

#include "common/ParameterRanges.h"
#include "common/ShiftMethod.h"
#include "common/UniqueRegistryKey.h"

namespace {

constexpr wchar_t kKeyPath[] = L"Software\\ryn\\panel";

void ReadNumber(HKEY key, const wchar_t* name, ParameterRange range, std::int32_t* value) {
  DWORD data = 0;
  DWORD size = sizeof data;
  DWORD type = 0;
  if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&data), &size) != ERROR_SUCCESS ||
      type != REG_DWORD) {
    return;
  }
  const auto number = static_cast<std::int32_t>(data);
  if (range.Contains(number)) *value = number;
}

void ReadText(HKEY key, const wchar_t* name, std::wstring* value) {
  wchar_t data[MAX_PATH + 1] = {};
  DWORD size = sizeof data - sizeof(wchar_t);
  DWORD type = 0;
  if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(data), &size) == ERROR_SUCCESS &&
      type == REG_SZ) {
    *value = data;
  }
}

void WriteNumber(HKEY key, const wchar_t* name, std::int32_t value) {
  const auto data = static_cast<DWORD>(value);
  RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&data), sizeof data);
}

void WriteText(HKEY key, const wchar_t* name, const std::wstring& value) {
  RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                 static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

}  // namespace

PanelSettings LoadPanelSettings() {
  PanelSettings settings;
  UniqueRegistryKey key;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, kKeyPath, 0, KEY_READ, key.put()) != ERROR_SUCCESS) return settings;
  ReadNumber(key.get(), L"Delay", kDelayRangeMs, &settings.delayMs);
  ReadNumber(key.get(), L"FrequencyShift", kFrequencyShiftRange, &settings.frequencyShift);
  ReadNumber(key.get(), L"Method", {ZelModeOf(ShiftMethod::PhaseVocoder), ZelModeOf(ShiftMethod::Resampling)},
             &settings.zelMode);
  ReadNumber(key.get(), L"Volume", kVolumeRangePercent, &settings.volume);
  std::int32_t ramp = settings.rampEnabled ? 1 : 0;
  ReadNumber(key.get(), L"Ramp", {0, 1}, &ramp);
  settings.rampEnabled = ramp != 0;
  ReadText(key.get(), L"RampFrom", &settings.rampFromMs);
  ReadText(key.get(), L"RampTo", &settings.rampToMs);
  ReadText(key.get(), L"RampMinutes", &settings.rampMinutes);
  ReadText(key.get(), L"LogPath", &settings.logPath);
  ReadText(key.get(), L"HeardResult", &settings.heardResult);
  ReadText(key.get(), L"DeviceLatencyMs", &settings.deviceLatencyMs);
  std::int32_t heardMode = settings.heardMode ? 1 : 0;
  ReadNumber(key.get(), L"HeardMode", {0, 1}, &heardMode);
  settings.heardMode = heardMode != 0;
  ReadText(key.get(), L"HeardWanted", &settings.heardWantedMs);
  return settings;
}

void SavePanelSettings(const PanelSettings& settings) {
  UniqueRegistryKey key;
  if (RegCreateKeyExW(HKEY_CURRENT_USER, kKeyPath, 0, nullptr, 0, KEY_WRITE, nullptr, key.put(), nullptr) !=
      ERROR_SUCCESS) {
    return;
  }
  WriteNumber(key.get(), L"Delay", settings.delayMs);
  WriteNumber(key.get(), L"FrequencyShift", settings.frequencyShift);
  WriteNumber(key.get(), L"Method", settings.zelMode);
  WriteNumber(key.get(), L"Volume", settings.volume);
  WriteNumber(key.get(), L"Ramp", settings.rampEnabled ? 1 : 0);
  WriteText(key.get(), L"RampFrom", settings.rampFromMs);
  WriteText(key.get(), L"RampTo", settings.rampToMs);
  WriteText(key.get(), L"RampMinutes", settings.rampMinutes);
  WriteText(key.get(), L"LogPath", settings.logPath);
  WriteText(key.get(), L"HeardResult", settings.heardResult);
  WriteText(key.get(), L"DeviceLatencyMs", settings.deviceLatencyMs);
  WriteNumber(key.get(), L"HeardMode", settings.heardMode ? 1 : 0);
  WriteText(key.get(), L"HeardWanted", settings.heardWantedMs);
}

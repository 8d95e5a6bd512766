#pragma once

// Identifiers of the panel's dialog and controls, shared by its resource
// script, its code and the programs that drive it.
#define IDD_PANEL 100

#define IDC_DELAY_LABEL 1000
#define IDC_DELAY 1001
#define IDC_DELAY_VALUE 1002
#define IDC_SHIFT_LABEL 1010
#define IDC_SHIFT 1011
#define IDC_SHIFT_VALUE 1012
#define IDC_METHOD_LABEL 1020
#define IDC_METHOD 1021
#define IDC_VOLUME_LABEL 1030
#define IDC_VOLUME 1031
#define IDC_VOLUME_VALUE 1032
#define IDC_RAMP_GROUP 1040
#define IDC_RAMP 1041
#define IDC_RAMP_FROM_LABEL 1042
#define IDC_RAMP_FROM 1043
#define IDC_RAMP_TO_LABEL 1044
#define IDC_RAMP_TO 1045
#define IDC_RAMP_MINUTES_LABEL 1046
#define IDC_RAMP_MINUTES 1047
#define IDC_LOG_LABEL 1050
#define IDC_LOG 1051
#define IDC_START 1060
#define IDC_REPORTED_LABEL 1070
#define IDC_REPORTED 1071
#define IDC_CLOCK_LABEL 1072
#define IDC_CLOCK 1073
#define IDC_HEARD_LABEL 1074
#define IDC_HEARD 1075
#define IDC_STATUS 1080
#define IDC_MEASURE 1090
#define IDC_MEASURE_HINT 1091
#define IDC_MEASURE_PROGRESS 1092
#define IDC_HEARD_MODE 1100
#define IDC_HEARD_WANTED 1101
#define IDC_HEARD_WANTED_UNIT 1102
#define IDC_HEARD_NOTE 1103

#ifndef RC_INVOKED
// A program that drives the panel sends this registered message with one of
// the fields below as wParam; the panel answers with what the component
// holds: the value it last accepted, or the delay it reports.
inline constexpr wchar_t kPanelStateMessage[] = L"ryn.panel.state";
enum PanelStateField {
  kPanelDelay = 0,
  kPanelFrequencyShift = 1,
  kPanelZelMode = 2,
  kPanelVolume = 3,
  kPanelReportedDelay = 4,
  // 0 stopped, 1 starting or restarting, 2 running.
  kPanelEngine = 5,
  // 1 while a loopback measurement runs, else 0.
  kPanelMeasuring = 6,
};
// The answer for a value the component has not accepted or cannot give.
inline constexpr long kPanelNoValue = -999;
#endif

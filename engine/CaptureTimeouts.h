#pragma once

#include <windows.h>

// How long the capture side waits, in milliseconds. The product runs with
// the defaults; tests shorten them so that what must not happen is shown
// not to happen within milliseconds.
struct CaptureTimeouts {
  // Beyond one segment, the first wait for a first segment: five of the shared mixers' 10 ms periods, within
  // which a started capture has moved (measured on Wine: its first segment comes 7-21 ms after one segment).
  DWORD startSlackMs = 50;
  // Cap of that wait as it doubles per replaced capture: a dead device is reopened at most every two seconds.
  DWORD maxStartWaitMs = 2000;
  // First wait for the listener's thread at a stop: a thread merely slow on a loaded machine ends within a second.
  DWORD listenerWaitMs = 1000;
  // Further wait before the thread counts as stuck: Stop fails busy after five seconds, as the README tells hosts.
  DWORD listenerGraceMs = 4000;
};

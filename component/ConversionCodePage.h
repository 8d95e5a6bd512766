#pragma once

#include <windows.h>

// The code page of every 8-bit/UTF-16 conversion at the component boundary:
// the thread's ANSI code page on Windows NT 5.0 and later, else the thread
// locale's default ANSI code page (the system's when the locale names none).
// Chosen on first use and kept for the life of the process.
UINT ConversionCodePage() noexcept;

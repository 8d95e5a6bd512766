#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Runs one fuzz input through the registry script interpreter on an
// in-memory registry and checks what must hold whatever the script says.
// Returns what broke, or an empty text.
//
// Input: byte 0 holds flags (bit 0 register mode, bit 1 two-byte code page,
// bit 2 unregister again after a successful register run, bits 3-4 the
// injected error); byte 1, when not 0, makes registry call number byte 1 - 1
// fail; the rest is the script.
std::string RunRegistryScriptFuzzInput(const std::uint8_t* data, std::size_t size);

#pragma once

#include <cstdint>

// The platform numbers the registry script code needs, spelled out so that
// the portable sources compile without the platform headers. The names differ
// from the platform's macros so both can be used in one translation unit.

// Results (HRESULT).
inline constexpr std::int32_t kSOk = 0;
inline constexpr std::int32_t kEFail = static_cast<std::int32_t>(0x80004005u);
inline constexpr std::int32_t kEOutOfMemory = static_cast<std::int32_t>(0x8007000Eu);
inline constexpr std::int32_t kEInvalidArg = static_cast<std::int32_t>(0x80070057u);
inline constexpr std::int32_t kDispEException = static_cast<std::int32_t>(0x80020009u);
inline constexpr std::int32_t kDispETypeMismatch = static_cast<std::int32_t>(0x80020005u);
inline constexpr std::int32_t kDispEOverflow = static_cast<std::int32_t>(0x8002000Au);

// Registry value types.
inline constexpr std::uint32_t kRegSz = 1;
inline constexpr std::uint32_t kRegBinary = 3;
inline constexpr std::uint32_t kRegDword = 4;
inline constexpr std::uint32_t kRegMultiSz = 7;

// Win32 error codes.
inline constexpr std::int32_t kErrorSuccess = 0;
inline constexpr std::int32_t kErrorFileNotFound = 2;
inline constexpr std::int32_t kErrorAccessDenied = 5;
inline constexpr std::int32_t kErrorInvalidHandle = 6;
inline constexpr std::int32_t kErrorOutOfMemory = 14;
inline constexpr std::int32_t kErrorInvalidParameter = 87;
inline constexpr std::int32_t kErrorNoMoreItems = 259;
inline constexpr std::int32_t kErrorKeyDeleted = 1018;

inline constexpr bool Failed(std::int32_t result) { return result < 0; }

// A registry function's error as a result: 0x80070000 OR its low 16 bits when
// it is positive, the value itself otherwise.
inline constexpr std::int32_t ResultFromWin32(std::int32_t error) {
  return error > 0 ? static_cast<std::int32_t>(0x80070000u | (static_cast<std::uint32_t>(error) & 0xFFFFu)) : error;
}

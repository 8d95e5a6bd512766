#pragma once

#include <cstdint>

// Stand-in for the platform's VarUI4FromStr where there is no platform:
// optional blanks around plain decimal digits. DISP_E_OVERFLOW above
// 4294967295, DISP_E_TYPEMISMATCH for anything else.
std::int32_t ConvertDecimalToUInt32(const char* text, std::uint32_t* value) noexcept;

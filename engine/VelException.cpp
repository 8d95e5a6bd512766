#include "engine/VelException.h"

namespace {

const char* const kDescriptions[] = {
    "The capturing device is busy",
    "Could not create secondary DirectX buffer",
    "Could not create DirectX capture buffer",
    "Could not set DirectX notifications",
    "Unsupported parameter",
    "Invalid parameter",
    "Could not set the parameter",
    "Could not create DirectX primary buffer",
    "Could not initialize DirectX",
};

}  // namespace

std::int32_t CVelException::GetHResult() const noexcept {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(code) | 0x80040000u);
}

const char* CVelException::GetDescription() const noexcept {
  // Unsigned difference: codes below the first also fall to the default.
  const std::uint32_t index = static_cast<std::uint32_t>(code) - static_cast<std::uint32_t>(ERR_CAPTURE_BUSY);
  if (index <= 8) return kDescriptions[index];
  return "General application error";
}

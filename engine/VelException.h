#pragma once

#include <cstdint>

// Engine error codes. Each becomes the host-visible failure 0x80040000 | code.
enum : std::int32_t {
  ERR_CAPTURE_BUSY = 8193,
  ERR_SECONDARY_BUFFER = 8194,
  ERR_CAPTURE_BUFFER = 8195,
  ERR_NOTIFICATIONS = 8196,
  ERR_UNSUPPORTED_PARAMETER = 8197,
  ERR_INVALID_PARAMETER = 8198,
  ERR_SET_PARAMETER = 8199,
  ERR_PRIMARY_BUFFER = 8200,
  ERR_DIRECTX_INIT = 8201,
};

// The engine's only exception type, thrown by value. The component boundary
// turns it into a failed HRESULT and an error object; the engine never
// catches it.
class CVelException {
 public:
  explicit CVelException(std::int32_t code) noexcept : code(code) {}
  CVelException(const CVelException&) noexcept = default;
  CVelException& operator=(const CVelException&) noexcept = default;
  virtual ~CVelException() = default;

  std::int32_t GetCode() const noexcept { return code; }
  // 0x80040000 OR code: severity set, facility 4. No range check.
  std::int32_t GetHResult() const noexcept;
  // The fixed text of the code; "General application error" for any other.
  const char* GetDescription() const noexcept;

 private:
  std::int32_t code;
};

#pragma once

#include <windows.h>

#include <new>

#include "component/ComError.h"
#include "engine/VelException.h"

// Installs an error object for the calling thread: GUID of IVelComponent, the
// registered ProgID of VelRyn as source, and the 8-bit text (converted with
// the conversion code page) as description; "Unknown Error" when the text is
// missing. Nothing is installed when the platform cannot create the object.
void SetErrorObject(const char* description) noexcept;

// Reports an engine failure; returns its result (0x80040000 OR code).
HRESULT ReportVelException(const CVelException& error) noexcept;

// Reports a COM error with its message text; returns its result unchanged.
HRESULT ReportComError(const ryn::_com_error& error) noexcept;

// Runs the body of a host method: S_OK when it returns, otherwise the failure
// it raised, with an error object. Out of memory gives E_OUTOFMEMORY, any
// other exception E_FAIL; nothing escapes.
template <typename Body>
HRESULT ReportFailures(Body&& body) noexcept {
  try {
    body();
    return S_OK;
  } catch (const CVelException& error) {
    return ReportVelException(error);
  } catch (const ryn::_com_error& error) {
    return ReportComError(error);
  } catch (const std::bad_alloc&) {
    return ReportComError(ryn::_com_error(E_OUTOFMEMORY));
  } catch (...) {
    return ReportComError(ryn::_com_error(E_FAIL));
  }
}

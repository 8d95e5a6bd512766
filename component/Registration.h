#pragma once

#include <windows.h>

// Registration of the module: the class entries from the registry script
// resource ("REGISTRY" 102), then the type library (resource 1 of the module,
// or the ".tlb" file beside it). Each returns the first failure, else S_OK.
HRESULT RegisterServer() noexcept;
HRESULT UnregisterServer() noexcept;

#pragma once

#include <windows.h>

#include "component/CriticalSection.h"

// Module-wide state of the in-process server: instance handle, lock count,
// the cached class object of VelRyn, the module critical section and the
// termination list. DllMain calls Initialize on process attach and Terminate
// on process detach.
namespace module {

void Initialize(HINSTANCE instance) noexcept;
void Terminate() noexcept;

HINSTANCE Instance() noexcept;

// Live objects, outside holds on the class object and LockServer(TRUE) each
// hold one lock; the module may unload when none is held.
void Lock() noexcept;
void Unlock() noexcept;
LONG LockCount() noexcept;

// Guards the creation of the class object and first loads of type information.
CriticalSection& Section() noexcept;

// Routines run once each, in list order, at module termination.
using TerminationRoutine = void (*)(void* context) noexcept;
HRESULT AddTerminationRoutine(TerminationRoutine routine, void* context) noexcept;

}  // namespace module

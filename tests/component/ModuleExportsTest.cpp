// The exports of ryn.dll called directly: the class object, its lock
// accounting and DllCanUnloadNow; and the module freed by COM while its
// engine runs or has just stopped, on real devices.

#include <windows.h>
#include <oleauto.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

#include "component/ComTestSupport.h"
#include "common/UniqueLibrary.h"
#include "ryn_h.h"
#include "support/ProcessResources.h"
#include "support/TestRun.h"


namespace {

void* const kMarker = reinterpret_cast<void*>(static_cast<std::uintptr_t>(0xDEADBEEF));

using CanUnloadNow = HRESULT(WINAPI*)();
using GetClassObject = HRESULT(WINAPI*)(REFCLSID, REFIID, void**);

class ModuleExports : public ::testing::Test {
 protected:
  void SetUp() override {
    library.reset(LoadLibraryW(RYN_DLL_PATH));
    ASSERT_TRUE(library) << "LoadLibrary failed: " << GetLastError();
    canUnloadNow = comtest::Export<CanUnloadNow>(library.get(), "DllCanUnloadNow");
    getClassObject = comtest::Export<GetClassObject>(library.get(), "DllGetClassObject");
    ASSERT_NE(nullptr, canUnloadNow);
    ASSERT_NE(nullptr, getClassObject);
    ASSERT_HR(S_OK, canUnloadNow()) << "a previous test left the module locked";
  }
  void TearDown() override { EXPECT_HR(S_OK, canUnloadNow()) << "the test left the module locked"; }

  ComPtr<IClassFactory> Factory() {
    ComPtr<IClassFactory> factory;
    const HRESULT hr = getClassObject(CLSID_VelRyn, IID_IClassFactory, reinterpret_cast<void**>(factory.put()));
    EXPECT_HR(S_OK, hr);
    return factory;
  }

  UniqueLibrary library;
  CanUnloadNow canUnloadNow = nullptr;
  GetClassObject getClassObject = nullptr;
};

TEST_F(ModuleExports, ExportsByOrdinal) {
  const char* names[] = {"DllCanUnloadNow", "DllGetClassObject", "DllRegisterServer", "DllUnregisterServer"};
  for (WORD ordinal = 1; ordinal <= 4; ++ordinal) {
    EXPECT_EQ(GetProcAddress(library.get(), names[ordinal - 1]),
              GetProcAddress(library.get(), MAKEINTRESOURCEA(ordinal)))
        << names[ordinal - 1];
  }
}

TEST_F(ModuleExports, UnknownClassIsNotAvailable) {
  void* object = kMarker;
  EXPECT_HR(CLASS_E_CLASSNOTAVAILABLE, getClassObject(IID_IVelComponent, IID_IClassFactory, &object));
  EXPECT_EQ(nullptr, object);
  EXPECT_HR(E_POINTER, getClassObject(CLSID_VelRyn, IID_IClassFactory, nullptr));
  object = kMarker;
  EXPECT_HR(E_NOINTERFACE, getClassObject(CLSID_VelRyn, IID_IDispatch, &object));
  EXPECT_EQ(nullptr, object);
}

TEST_F(ModuleExports, OneCachedClassObjectLocksTheModuleWhileHeldOutside) {
  ComPtr<IClassFactory> first = Factory();
  ComPtr<IClassFactory> second = Factory();
  ASSERT_TRUE(first && second);
  EXPECT_EQ(first.get(), second.get());
  // The module's cache holds one reference, each client one.
  EXPECT_EQ(4u, first->AddRef());
  EXPECT_EQ(3u, first->Release());
  EXPECT_HR(S_FALSE, canUnloadNow());
  first.reset();
  EXPECT_HR(S_FALSE, canUnloadNow());
  void* unknown = nullptr;
  ASSERT_HR(S_OK, second->QueryInterface(IID_IUnknown, &unknown));
  EXPECT_EQ(static_cast<void*>(second.get()), unknown);
  static_cast<IUnknown*>(unknown)->Release();
  void* other = kMarker;
  EXPECT_HR(E_NOINTERFACE, second->QueryInterface(IID_IDispatch, &other));
  EXPECT_EQ(nullptr, other);
  second.reset();
  EXPECT_HR(S_OK, canUnloadNow());
}

TEST_F(ModuleExports, EveryLiveObjectAndLockServerKeepTheModuleLoaded) {
  ComPtr<IUnknown> a;
  ComPtr<IUnknown> b;
  {
    ComPtr<IClassFactory> factory = Factory();
    ASSERT_TRUE(factory);
    ASSERT_HR(S_OK, factory->CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void**>(a.put())));
    ASSERT_HR(S_OK, factory->CreateInstance(nullptr, IID_IVelComponent, reinterpret_cast<void**>(b.put())));
    EXPECT_HR(S_OK, factory->LockServer(TRUE));
  }
  EXPECT_HR(S_FALSE, canUnloadNow());
  a.reset();
  EXPECT_HR(S_FALSE, canUnloadNow());
  b.reset();
  EXPECT_HR(S_FALSE, canUnloadNow()) << "LockServer(TRUE) still holds";
  {
    ComPtr<IClassFactory> factory = Factory();
    EXPECT_HR(S_OK, factory->LockServer(FALSE));
  }
  EXPECT_HR(S_OK, canUnloadNow());
}

TEST_F(ModuleExports, AggregatedObjectHoldsALock) {
  struct Outer final : IUnknown {
    STDMETHODIMP QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
  } outer;
  ComPtr<IClassFactory> factory = Factory();
  ComPtr<IUnknown> inner;
  ASSERT_HR(S_OK, factory->CreateInstance(&outer, IID_IUnknown, reinterpret_cast<void**>(inner.put())));
  factory.reset();
  EXPECT_HR(S_FALSE, canUnloadNow());
  inner.reset();
}

TEST_F(ModuleExports, CreateInstanceRefusalsLeaveNothingBehind) {
  ComPtr<IClassFactory> factory = Factory();
  ASSERT_TRUE(factory);
  EXPECT_HR(E_POINTER, factory->CreateInstance(nullptr, IID_IUnknown, nullptr));
  struct Outer final : IUnknown {
    STDMETHODIMP QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
  } outer;
  void* object = kMarker;
  EXPECT_HR(CLASS_E_NOAGGREGATION, factory->CreateInstance(&outer, IID_IDispatch, &object));
  EXPECT_EQ(nullptr, object);
  object = kMarker;
  EXPECT_HR(E_NOINTERFACE, factory->CreateInstance(nullptr, IID_IMarshal, &object));
  EXPECT_EQ(nullptr, object);
  factory.reset();
  // TearDown checks that the refused object released its lock.
}

TEST_F(ModuleExports, TheEngineManagerIsNotCounted) {
  ComPtr<IVelComponent> component;
  {
    ComPtr<IClassFactory> factory = Factory();
    ASSERT_HR(S_OK, factory->CreateInstance(nullptr, IID_IVelComponent, reinterpret_cast<void**>(component.put())));
  }
  comtest::Bstr volume(L"VOLUME");
  comtest::Variant value = comtest::Variant::I4(80);
  EXPECT_HR(S_OK, component->SetParameter(volume.get(), value.get()));
  component.reset();
  EXPECT_HR(S_OK, canUnloadNow());
}

// ---------------------------------------------------------------------------
// The module freed by COM under a running or just stopped engine, on the
// real devices of the PulseAudio fixture (ctest entry
// component_unload_real_audio).

bool ModuleLoaded() { return GetModuleHandleW(RYN_DLL_PATH) != nullptr; }

ComPtr<IVelComponent> CreateThroughCom(HRESULT& hr) {
  ComPtr<IVelComponent> component;
  hr = CoCreateInstance(CLSID_VelRyn, nullptr, CLSCTX_INPROC_SERVER, IID_IVelComponent,
                        reinterpret_cast<void**>(component.put()));
  return component;
}

class ModuleUnload : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!testrun::RealAudio()) GTEST_SKIP() << "needs the PulseAudio fixture (ctest label audio)";
    ASSERT_FALSE(ModuleLoaded()) << "the module is loaded before the test";
  }
};

// The component created from the loaded module, as COM creates it.
ComPtr<IVelComponent> CreateFrom(HMODULE module, HRESULT& hr) {
  ComPtr<IClassFactory> factory;
  ComPtr<IVelComponent> component;
  const auto getClassObject = comtest::Export<GetClassObject>(module, "DllGetClassObject");
  hr = getClassObject(CLSID_VelRyn, IID_IClassFactory, reinterpret_cast<void**>(factory.put()));
  if (SUCCEEDED(hr)) hr = factory->CreateInstance(nullptr, IID_IVelComponent, reinterpret_cast<void**>(component.put()));
  return component;
}

TEST_F(ModuleUnload, FreedWithoutStopItStaysLoadedUntilTheEngineStops) {
  HMODULE module = LoadLibraryW(RYN_DLL_PATH);
  ASSERT_NE(nullptr, module) << GetLastError();
  {
    HRESULT hr = E_UNEXPECTED;
    ComPtr<IVelComponent> component = CreateFrom(module, hr);
    ASSERT_HR(S_OK, hr);
    hr = component->Run();
    ASSERT_HR(S_OK, hr);
  }
  // Released without Stop, then freed once, as a host's final
  // CoUninitialize frees every module COM loaded, without asking
  // DllCanUnloadNow.
  ASSERT_TRUE(FreeLibrary(module));
  EXPECT_TRUE(ModuleLoaded()) << "the module was freed while its engine ran";
  // The listener's thread handles a segment every 10 ms: in a freed module
  // it faults long before this wait is over.
  Sleep(500);

  module = LoadLibraryW(RYN_DLL_PATH);
  ASSERT_NE(nullptr, module) << GetLastError();
  {
    HRESULT hr = E_UNEXPECTED;
    ComPtr<IVelComponent> component = CreateFrom(module, hr);
    ASSERT_HR(S_OK, hr);
    // The same manager as before: it measures the running engine's delay
    // once capture delivers, which a loaded machine may hold back for a
    // while. A manager made afresh measures nothing, however long it waits.
    const comtest::Bstr name(L"DELAY");
    LONG delay = -1;
    for (int waited = 0; waited <= 5000; waited += 50) {
      hr = component->GetParameter(name.get(), &delay);
      if (FAILED(hr) || delay > 0) break;
      Sleep(50);
    }
    EXPECT_HR(S_OK, hr);
    EXPECT_GT(delay, 0) << "the engine that ran is gone";
    hr = component->Stop();
    EXPECT_HR(S_OK, hr);
  }
  ASSERT_TRUE(FreeLibrary(module));
  EXPECT_FALSE(ModuleLoaded()) << "the stopped engine still holds the module";
}

// Four host threads in the multithreaded apartment create, run, stop and
// release the component and free unused modules at once, so the module is
// unloaded whenever no object is left, also just after a Stop.
TEST_F(ModuleUnload, ChurnWithImmediateUnloadingOnFourThreadsEndsUnloaded) {
  constexpr int kThreads = 4;
  constexpr DWORD kUnloadGraceMs = 5000;
  const int cycles = testrun::ShortOrLong(150, 2500);
  std::atomic<int> failures{0};
  std::atomic<HRESULT> firstFailure{S_OK};
  std::atomic<int> unloadsSeen{0};
  std::atomic<int> finished{0};
  std::atomic<bool> checked{false};
  bool unloadedAtEnd = false;
  DWORD unloadWaitMs = 0;
  const auto fail = [&](HRESULT hr) {
    HRESULT none = S_OK;
    firstFailure.compare_exchange_strong(none, hr);
    ++failures;
  };

  const ProcessResources before = ProcessResources::Measure();
  const DWORD start = GetTickCount();
  std::vector<std::thread> hosts;
  for (int t = 0; t < kThreads; ++t) {
    hosts.emplace_back([&] {
      if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) {
        fail(E_UNEXPECTED);
        return;
      }
      for (int i = 0; i < cycles; ++i) {
        HRESULT hr = E_UNEXPECTED;
        ComPtr<IVelComponent> component = CreateThroughCom(hr);
        if (FAILED(hr)) {
          fail(hr);
          continue;
        }
        if (FAILED(hr = component->Run())) fail(hr);
        if (FAILED(hr = component->Stop())) fail(hr);
        component.reset();
        CoFreeUnusedLibrariesEx(0, 0);
        if (!ModuleLoaded()) ++unloadsSeen;
      }
      // The last one to finish frees what is unused while the apartment
      // still lives, so only DllCanUnloadNow decides. Under Wine on a busy
      // machine the module has been seen loaded right after the last cycle:
      // it is asked again for a few seconds before it counts as stuck.
      if (++finished == kThreads) {
        const DWORD lastCycle = GetTickCount();
        for (;;) {
          CoFreeUnusedLibrariesEx(0, 0);
          unloadedAtEnd = !ModuleLoaded();
          if (unloadedAtEnd || GetTickCount() - lastCycle >= kUnloadGraceMs) break;
          Sleep(50);
        }
        unloadWaitMs = GetTickCount() - lastCycle;
        checked = true;
      }
      while (!checked.load()) Sleep(1);
      CoUninitialize();
    });
  }
  for (std::thread& host : hosts) host.join();

  testrun::Figure("module unload churn: %d create/Run/Stop/Release/CoFreeUnusedLibrariesEx(0, 0) cycles on %d "
                  "threads in %.1f s; the module was found unloaded right after %d of them; unloaded at the end: %s, "
                  "%lu ms after the last cycle",
                  kThreads * cycles, kThreads, (GetTickCount() - start) / 1000.0, unloadsSeen.load(),
                  unloadedAtEnd ? "yes" : "no", static_cast<unsigned long>(unloadWaitMs));
  testrun::Figure("module unload churn: process resources across the run: %s", Describe(ProcessResources::Measure() - before).c_str());
  EXPECT_EQ(0, failures.load()) << "first failure " << Hex(firstFailure.load());
  EXPECT_TRUE(unloadedAtEnd) << "the module stayed loaded with no object and no engine";
}

}  // namespace

// The exports of ryn.dll called directly: the class object, its lock
// accounting and DllCanUnloadNow.

#include <windows.h>
#include <oleauto.h>

#include <gtest/gtest.h>

#include <cstdint>

#include "component/ComTestSupport.h"
#include "component/UniqueLibrary.h"
#include "ryn_h.h"

using comtest::Hex;

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
    ASSERT_EQ(S_OK, canUnloadNow()) << "a previous test left the module locked";
  }
  void TearDown() override { EXPECT_EQ(S_OK, canUnloadNow()) << "the test left the module locked"; }

  ComPtr<IClassFactory> Factory() {
    ComPtr<IClassFactory> factory;
    const HRESULT hr = getClassObject(CLSID_VelRyn, IID_IClassFactory, reinterpret_cast<void**>(factory.put()));
    EXPECT_EQ(S_OK, hr) << Hex(hr);
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
  EXPECT_EQ(CLASS_E_CLASSNOTAVAILABLE, getClassObject(IID_IVelComponent, IID_IClassFactory, &object));
  EXPECT_EQ(nullptr, object);
  EXPECT_EQ(E_POINTER, getClassObject(CLSID_VelRyn, IID_IClassFactory, nullptr));
  object = kMarker;
  EXPECT_EQ(E_NOINTERFACE, getClassObject(CLSID_VelRyn, IID_IDispatch, &object));
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
  EXPECT_EQ(S_FALSE, canUnloadNow());
  first.reset();
  EXPECT_EQ(S_FALSE, canUnloadNow());
  void* unknown = nullptr;
  ASSERT_EQ(S_OK, second->QueryInterface(IID_IUnknown, &unknown));
  EXPECT_EQ(static_cast<void*>(second.get()), unknown);
  static_cast<IUnknown*>(unknown)->Release();
  void* other = kMarker;
  EXPECT_EQ(E_NOINTERFACE, second->QueryInterface(IID_IDispatch, &other));
  EXPECT_EQ(nullptr, other);
  second.reset();
  EXPECT_EQ(S_OK, canUnloadNow());
}

TEST_F(ModuleExports, EveryLiveObjectAndLockServerKeepTheModuleLoaded) {
  ComPtr<IUnknown> a;
  ComPtr<IUnknown> b;
  {
    ComPtr<IClassFactory> factory = Factory();
    ASSERT_TRUE(factory);
    ASSERT_EQ(S_OK, factory->CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void**>(a.put())));
    ASSERT_EQ(S_OK, factory->CreateInstance(nullptr, IID_IVelComponent, reinterpret_cast<void**>(b.put())));
    EXPECT_EQ(S_OK, factory->LockServer(TRUE));
  }
  EXPECT_EQ(S_FALSE, canUnloadNow());
  a.reset();
  EXPECT_EQ(S_FALSE, canUnloadNow());
  b.reset();
  EXPECT_EQ(S_FALSE, canUnloadNow()) << "LockServer(TRUE) still holds";
  {
    ComPtr<IClassFactory> factory = Factory();
    EXPECT_EQ(S_OK, factory->LockServer(FALSE));
  }
  EXPECT_EQ(S_OK, canUnloadNow());
}

TEST_F(ModuleExports, AggregatedObjectHoldsALock) {
  struct Outer final : IUnknown {
    STDMETHODIMP QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
  } outer;
  ComPtr<IClassFactory> factory = Factory();
  ComPtr<IUnknown> inner;
  ASSERT_EQ(S_OK, factory->CreateInstance(&outer, IID_IUnknown, reinterpret_cast<void**>(inner.put())));
  factory.reset();
  EXPECT_EQ(S_FALSE, canUnloadNow());
  inner.reset();
}

TEST_F(ModuleExports, CreateInstanceRefusalsLeaveNothingBehind) {
  ComPtr<IClassFactory> factory = Factory();
  ASSERT_TRUE(factory);
  EXPECT_EQ(E_POINTER, factory->CreateInstance(nullptr, IID_IUnknown, nullptr));
  struct Outer final : IUnknown {
    STDMETHODIMP QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
  } outer;
  void* object = kMarker;
  EXPECT_EQ(CLASS_E_NOAGGREGATION, factory->CreateInstance(&outer, IID_IDispatch, &object));
  EXPECT_EQ(nullptr, object);
  object = kMarker;
  EXPECT_EQ(E_NOINTERFACE, factory->CreateInstance(nullptr, IID_IMarshal, &object));
  EXPECT_EQ(nullptr, object);
  factory.reset();
  // TearDown checks that the refused object released its lock.
}

TEST_F(ModuleExports, TheEngineManagerIsNotCounted) {
  ComPtr<IVelComponent> component;
  {
    ComPtr<IClassFactory> factory = Factory();
    ASSERT_EQ(S_OK, factory->CreateInstance(nullptr, IID_IVelComponent, reinterpret_cast<void**>(component.put())));
  }
  comtest::Bstr volume(L"VOLUME");
  comtest::Variant value = comtest::Variant::I4(80);
  EXPECT_EQ(S_OK, component->SetParameter(volume.get(), value.get()));
  component.reset();
  EXPECT_EQ(S_OK, canUnloadNow());
}

}  // namespace

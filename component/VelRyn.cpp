#include "component/VelRyn.h"

#include <new>

#include "component/ComValues.h"
#include "component/ErrorReporting.h"
#include "component/Module.h"
#include "engine/RynManager.h"

CVelRyn::CVelRyn(IUnknown* outer) noexcept : outer(outer), inner(*this) { module::Lock(); }

CVelRyn::~CVelRyn() { module::Unlock(); }

HRESULT CVelRyn::CreateInstance(IUnknown* outer, REFIID iid, void** object) noexcept {
  if (object == nullptr) return E_POINTER;
  *object = nullptr;
  auto* created = new (std::nothrow) CVelRyn(outer);
  if (created == nullptr) return E_OUTOFMEMORY;
  IUnknown* identity = outer != nullptr ? static_cast<IUnknown*>(&created->inner)
                                        : static_cast<IUnknown*>(static_cast<IVelComponent*>(created));
  // The extra reference keeps the object alive through the query and
  // destroys it when the query fails.
  identity->AddRef();
  const HRESULT hr = identity->QueryInterface(iid, object);
  identity->Release();
  return hr;
}

HRESULT CVelRyn::QueryTable(REFIID iid, void** object) noexcept {
  IUnknown* found = nullptr;
  if (IsEqualIID(iid, IID_IDispatch) || IsEqualIID(iid, IID_IVelComponent)) {
    found = static_cast<IVelComponent*>(this);
  } else if (IsEqualIID(iid, IID_IVelProducer)) {
    found = static_cast<IVelProducer*>(this);
  } else if (IsEqualIID(iid, IID_IVelConsumer)) {
    found = static_cast<IVelConsumer*>(this);
  } else if (IsEqualIID(iid, IID_ISupportErrorInfo)) {
    found = static_cast<ISupportErrorInfo*>(this);
  } else if (IsEqualIID(iid, IID_IRynEngineState)) {
    found = static_cast<IRynEngineState*>(this);
  }
  *object = found;
  if (found == nullptr) return E_NOINTERFACE;
  found->AddRef();
  return S_OK;
}

ULONG CVelRyn::AddRefOwn() noexcept { return static_cast<ULONG>(InterlockedIncrement(&refCount)); }

ULONG CVelRyn::ReleaseOwn() noexcept {
  const LONG count = InterlockedDecrement(&refCount);
  if (count == 0) delete this;
  return static_cast<ULONG>(count);
}

STDMETHODIMP CVelRyn::QueryInterface(REFIID iid, void** object) {
  if (outer != nullptr) return outer->QueryInterface(iid, object);
  if (object == nullptr) return E_POINTER;
  if (IsEqualIID(iid, IID_IUnknown)) {
    *object = static_cast<IVelComponent*>(this);
    AddRefOwn();
    return S_OK;
  }
  return QueryTable(iid, object);
}

STDMETHODIMP_(ULONG) CVelRyn::AddRef() { return outer != nullptr ? outer->AddRef() : AddRefOwn(); }

STDMETHODIMP_(ULONG) CVelRyn::Release() { return outer != nullptr ? outer->Release() : ReleaseOwn(); }

STDMETHODIMP CVelRyn::CInnerUnknown::QueryInterface(REFIID iid, void** object) {
  if (object == nullptr) return E_POINTER;
  if (IsEqualIID(iid, IID_IUnknown)) {
    *object = static_cast<IUnknown*>(this);
    AddRef();
    return S_OK;
  }
  return owner.QueryTable(iid, object);
}

STDMETHODIMP_(ULONG) CVelRyn::CInnerUnknown::AddRef() { return owner.AddRefOwn(); }

STDMETHODIMP_(ULONG) CVelRyn::CInnerUnknown::Release() { return owner.ReleaseOwn(); }

STDMETHODIMP CVelRyn::Run() {
  return ReportFailures([] { CRynManager::GetInstance().Start(); });
}

STDMETHODIMP CVelRyn::Stop() {
  return ReportFailures([] { CRynManager::GetInstance().Stop(); });
}

STDMETHODIMP CVelRyn::SetParameter(BSTR name, VARIANT value) {
  return ReportFailures([&] {
    const UniqueBstr ownedName = UniqueBstr::CopyOf(name);
    const UniqueVariant ownedValue = UniqueVariant::CopyOf(value);
    if (ownedName.Equals(L"DELAY")) {
      CRynManager::GetInstance().SetDelay(ownedValue.ToInt32());
    } else if (ownedName.Equals(L"FREQUENCY_SHIFT")) {
      CRynManager::GetInstance().SetFrequencyShift(ownedValue.ToInt32());
    } else if (ownedName.Equals(L"VOLUME")) {
      CRynManager::GetInstance().SetVolume(ownedValue.ToInt32());
    } else if (ownedName.Equals(L"ZEL_MODE")) {
      CRynManager::GetInstance().SetZelMode(ownedValue.ToInt32());
    } else {
      throw CVelException(ERR_UNSUPPORTED_PARAMETER);
    }
  });
}

STDMETHODIMP CVelRyn::GetParameter(BSTR name, LONG* value) {
  return ReportFailures([&] {
    // Reported like every other failure, so that the host never reads an
    // error object left over from an earlier call.
    if (value == nullptr) ryn::RaiseComError(E_POINTER);
    const UniqueBstr ownedName = UniqueBstr::CopyOf(name);
    if (!ownedName.Equals(L"DELAY")) throw CVelException(ERR_UNSUPPORTED_PARAMETER);
    *value = CRynManager::GetInstance().GetReportedDelay();
  });
}

STDMETHODIMP CVelRyn::GetEngineState(LONG* state) {
  if (state == nullptr) return E_POINTER;
  const CRynManager* manager = CRynManager::FindInstance();
  if (manager == nullptr || !manager->IsRunning()) {
    *state = RYN_ENGINE_STOPPED;
  } else {
    *state = manager->GetFirstBlockTicks() == 0 ? RYN_ENGINE_STARTING : RYN_ENGINE_RUNNING;
  }
  return S_OK;
}

STDMETHODIMP CVelRyn::InterfaceSupportsErrorInfo(REFIID iid) {
  if (IsEqualIID(iid, IID_IVelComponent) || IsEqualIID(iid, IID_IVelProducer) ||
      IsEqualIID(iid, IID_IVelConsumer)) {
    return S_OK;
  }
  return S_FALSE;
}

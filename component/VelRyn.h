#pragma once

#include <windows.h>
#include <oaidl.h>

#include "component/DispatchImpl.h"
#include "ryn_h.h"

// The component class the host creates. It keeps no audio state: every method
// forwards to the module's one engine manager and turns each failure into a
// failed result with an error object. Can be aggregated: then its interfaces
// delegate IUnknown to the outer object, and a separate non-delegating
// IUnknown owns the object's life.
class CVelRyn final : public CDispatchImpl<IVelComponent, &IID_IVelComponent>,
                      public CDispatchImpl<IVelProducer, &IID_IVelProducer>,
                      public CDispatchImpl<IVelConsumer, &IID_IVelConsumer>,
                      public ISupportErrorInfo,
                      public IRynEngineState {
 public:
  // Creates a plain object when outer is null, an aggregated one otherwise,
  // and asks it for iid; an object that does not answer is destroyed again.
  static HRESULT CreateInstance(IUnknown* outer, REFIID iid, void** object) noexcept;

  CVelRyn(const CVelRyn&) = delete;
  CVelRyn& operator=(const CVelRyn&) = delete;

  // IUnknown of every interface.
  STDMETHODIMP QueryInterface(REFIID iid, void** object) override;
  STDMETHODIMP_(ULONG) AddRef() override;
  STDMETHODIMP_(ULONG) Release() override;

  // IVelComponent
  STDMETHODIMP Run() override;
  STDMETHODIMP Stop() override;
  STDMETHODIMP SetParameter(BSTR name, VARIANT value) override;
  STDMETHODIMP GetParameter(BSTR name, LONG* value) override;

  // ISupportErrorInfo
  STDMETHODIMP InterfaceSupportsErrorInfo(REFIID iid) override;

  // IRynEngineState: a RynEngineState value.
  STDMETHODIMP GetEngineState(LONG* state) override;

 private:
  // The non-delegating IUnknown of an aggregated object.
  class CInnerUnknown final : public IUnknown {
   public:
    explicit CInnerUnknown(CVelRyn& owner) noexcept : owner(owner) {}
    STDMETHODIMP QueryInterface(REFIID iid, void** object) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;

   private:
    CVelRyn& owner;
  };

  explicit CVelRyn(IUnknown* outer) noexcept;
  ~CVelRyn();

  // The interface table; IUnknown is answered by the caller.
  HRESULT QueryTable(REFIID iid, void** object) noexcept;
  ULONG AddRefOwn() noexcept;
  ULONG ReleaseOwn() noexcept;

  IUnknown* const outer;  // null unless aggregated; not owned
  CInnerUnknown inner;
  LONG refCount = 0;
};

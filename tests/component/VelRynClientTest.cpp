// A COM client of the registered ryn.dll: creation, identity, aggregation,
// reference counts, IDispatch, parameters and error objects.

#include <windows.h>
#include <oleauto.h>

#include <gtest/gtest.h>

#include <cstdint>

#include "component/ComTestSupport.h"
#include "ryn_h.h"

using comtest::Bstr;
using comtest::ErrorObject;
using comtest::TakeErrorObject;
using comtest::Variant;

namespace {

void* const kMarker = reinterpret_cast<void*>(static_cast<std::uintptr_t>(0xDEADBEEF));
constexpr LONG kLongMarker = 0x5A5A5A5A;

ComPtr<IVelComponent> CreateByClsid() {
  ComPtr<IVelComponent> component;
  const HRESULT hr = CoCreateInstance(CLSID_VelRyn, nullptr, CLSCTX_INPROC_SERVER, IID_IVelComponent,
                                      reinterpret_cast<void**>(component.put()));
  EXPECT_HR(S_OK, hr);
  return component;
}

ULONG RefCount(IUnknown* object) {
  object->AddRef();
  return object->Release();
}

void ExpectErrorObject(const wchar_t* description) {
  const ErrorObject error = TakeErrorObject();
  ASSERT_TRUE(error.present);
  EXPECT_TRUE(IsEqualGUID(IID_IVelComponent, error.guid));
  EXPECT_TRUE(error.hasSource);
  EXPECT_EQ(L"Ryn.VelRyn.1", error.source);
  EXPECT_EQ(description, error.description);
}

class VelRynClient : public ::testing::Test {
 protected:
  void SetUp() override {
    SetErrorInfo(0, nullptr);
    component = CreateByClsid();
    ASSERT_TRUE(component);
  }
  HRESULT Set(const wchar_t* name, Variant value) {
    const Bstr text(name);
    return component->SetParameter(text.get(), value.get());
  }
  ComPtr<IVelComponent> component;
};

TEST(VelRynCreation, ByProgIdAndByClsidGiveTheSameClass) {
  CLSID clsid = GUID_NULL;
  ASSERT_HR(S_OK, CLSIDFromProgID(L"Ryn.VelRyn.1", &clsid));
  EXPECT_TRUE(IsEqualCLSID(CLSID_VelRyn, clsid));
  ASSERT_HR(S_OK, CLSIDFromProgID(L"Ryn.VelRyn", &clsid));
  EXPECT_TRUE(IsEqualCLSID(CLSID_VelRyn, clsid));

  ComPtr<IDispatch> byProgId;
  HRESULT hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                                reinterpret_cast<void**>(byProgId.put()));
  ASSERT_HR(S_OK, hr);
  EXPECT_EQ(1u, RefCount(byProgId.get()));
  EXPECT_TRUE(CreateByClsid());
}

TEST(VelRynCreation, ExactReferenceCounts) {
  IVelComponent* component = nullptr;
  ASSERT_HR(S_OK, CoCreateInstance(CLSID_VelRyn, nullptr, CLSCTX_INPROC_SERVER, IID_IVelComponent,
                                   reinterpret_cast<void**>(&component)));
  EXPECT_EQ(2u, component->AddRef());
  EXPECT_EQ(1u, component->Release());
  IVelProducer* producer = nullptr;
  ASSERT_HR(S_OK, component->QueryInterface(IID_IVelProducer, reinterpret_cast<void**>(&producer)));
  EXPECT_EQ(3u, producer->AddRef());
  EXPECT_EQ(2u, producer->Release());
  EXPECT_EQ(1u, producer->Release());
  EXPECT_EQ(0u, component->Release());
}

TEST_F(VelRynClient, QueryInterfaceTable) {
  void* unknown = kMarker;
  ASSERT_HR(S_OK, component->QueryInterface(IID_IUnknown, &unknown));
  EXPECT_EQ(static_cast<void*>(component.get()), unknown);
  void* dispatch = kMarker;
  ASSERT_HR(S_OK, component->QueryInterface(IID_IDispatch, &dispatch));
  EXPECT_EQ(static_cast<void*>(component.get()), dispatch);
  EXPECT_EQ(3u, RefCount(component.get()));
  static_cast<IUnknown*>(unknown)->Release();
  static_cast<IUnknown*>(dispatch)->Release();

  for (const IID* iid : {&IID_IVelComponent, &IID_IVelProducer, &IID_IVelConsumer, &IID_ISupportErrorInfo}) {
    void* found = kMarker;
    ASSERT_HR(S_OK, component->QueryInterface(*iid, &found));
    ASSERT_NE(nullptr, found);
    ComPtr<IUnknown> held = ComPtr<IUnknown>::Attach(static_cast<IUnknown*>(found));
    void* identity = nullptr;
    ASSERT_HR(S_OK, held->QueryInterface(IID_IUnknown, &identity));
    EXPECT_EQ(static_cast<void*>(component.get()), identity);
    static_cast<IUnknown*>(identity)->Release();
  }
  EXPECT_EQ(1u, RefCount(component.get()));

  void* marshal = kMarker;
  EXPECT_HR(E_NOINTERFACE, component->QueryInterface(IID_IMarshal, &marshal));
  EXPECT_EQ(nullptr, marshal);
  EXPECT_HR(E_POINTER, component->QueryInterface(IID_IUnknown, nullptr));
}

TEST_F(VelRynClient, SupportsErrorInfoForItsOwnInterfacesOnly) {
  ComPtr<ISupportErrorInfo> support;
  ASSERT_HR(S_OK, component->QueryInterface(IID_ISupportErrorInfo, reinterpret_cast<void**>(support.put())));
  EXPECT_HR(S_OK, support->InterfaceSupportsErrorInfo(IID_IVelComponent));
  EXPECT_HR(S_OK, support->InterfaceSupportsErrorInfo(IID_IVelProducer));
  EXPECT_HR(S_OK, support->InterfaceSupportsErrorInfo(IID_IVelConsumer));
  EXPECT_HR(S_FALSE, support->InterfaceSupportsErrorInfo(IID_IDispatch));
  EXPECT_HR(S_FALSE, support->InterfaceSupportsErrorInfo(IID_IUnknown));
  EXPECT_HR(S_FALSE, support->InterfaceSupportsErrorInfo(IID_ISupportErrorInfo));
}

// An outer object that aggregates VelRyn and counts its own references.
class Outer final : public IUnknown {
 public:
  STDMETHODIMP QueryInterface(REFIID iid, void** object) override {
    if (IsEqualIID(iid, IID_IUnknown)) {
      *object = static_cast<IUnknown*>(this);
      AddRef();
      return S_OK;
    }
    return inner ? inner->QueryInterface(iid, object) : E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++count; }
  STDMETHODIMP_(ULONG) Release() override { return --count; }
  ULONG count = 1;
  ComPtr<IUnknown> inner;
};

TEST(VelRynAggregation, InnerDelegatesToOuterAndKeepsItsOwnIdentity) {
  Outer outer;
  HRESULT hr = CoCreateInstance(CLSID_VelRyn, &outer, CLSCTX_INPROC_SERVER, IID_IUnknown,
                                reinterpret_cast<void**>(outer.inner.put()));
  ASSERT_HR(S_OK, hr);
  EXPECT_EQ(1u, outer.count);
  IUnknown* inner = outer.inner.get();
  EXPECT_EQ(2u, inner->AddRef());
  EXPECT_EQ(1u, inner->Release());

  IVelComponent* component = nullptr;
  ASSERT_HR(S_OK, inner->QueryInterface(IID_IVelComponent, reinterpret_cast<void**>(&component)));
  EXPECT_EQ(2u, outer.count) << "the interface's reference goes to the outer object";
  EXPECT_EQ(1u, RefCount(inner));

  void* identity = nullptr;
  ASSERT_HR(S_OK, component->QueryInterface(IID_IUnknown, &identity));
  EXPECT_EQ(static_cast<void*>(&outer), identity);
  outer.Release();
  void* innerIdentity = nullptr;
  ASSERT_HR(S_OK, inner->QueryInterface(IID_IUnknown, &innerIdentity));
  EXPECT_EQ(static_cast<void*>(inner), innerIdentity);
  inner->Release();

  ComPtr<ISupportErrorInfo> support;
  EXPECT_HR(S_OK, component->QueryInterface(IID_ISupportErrorInfo, reinterpret_cast<void**>(support.put())));
  EXPECT_EQ(3u, outer.count);
  support.reset();
  EXPECT_EQ(1u, component->Release());
  EXPECT_EQ(1u, outer.count);
  EXPECT_EQ(0u, outer.inner.get()->Release());
  outer.inner.detach();
}

TEST(VelRynAggregation, AnyInterfaceButIUnknownIsRefused) {
  Outer outer;
  void* object = kMarker;
  EXPECT_EQ(CLASS_E_NOAGGREGATION,
            CoCreateInstance(CLSID_VelRyn, &outer, CLSCTX_INPROC_SERVER, IID_IDispatch, &object));
  EXPECT_EQ(nullptr, object);
  EXPECT_EQ(1u, outer.count);
}

TEST_F(VelRynClient, DispatchNamesAndTypeInformation) {
  UINT count = 0;
  ASSERT_HR(S_OK, component->GetTypeInfoCount(&count));
  EXPECT_EQ(1u, count);

  ComPtr<ITypeInfo> info;
  ASSERT_HR(S_OK, component->GetTypeInfo(0, LOCALE_USER_DEFAULT, info.put()));
  TYPEATTR* attributes = nullptr;
  ASSERT_HR(S_OK, info->GetTypeAttr(&attributes));
  EXPECT_TRUE(IsEqualGUID(IID_IVelComponent, attributes->guid));
  info->ReleaseTypeAttr(attributes);
  ITypeInfo* none = static_cast<ITypeInfo*>(kMarker);
  EXPECT_HR(DISP_E_BADINDEX, component->GetTypeInfo(1, LOCALE_USER_DEFAULT, &none));
  EXPECT_EQ(nullptr, none);

  const wchar_t* methods[] = {L"Run", L"Stop", L"SetParameter", L"GetParameter"};
  for (DISPID expected = 1; expected <= 4; ++expected) {
    LPOLESTR name = const_cast<LPOLESTR>(methods[expected - 1]);
    DISPID id = DISPID_UNKNOWN;
    EXPECT_HR(S_OK, component->GetIDsOfNames(IID_NULL, &name, 1, LOCALE_USER_DEFAULT, &id)) << methods[expected - 1];
    EXPECT_EQ(expected, id) << methods[expected - 1];
  }
  // Not in the case-sensitive cache: answered by the type information.
  LPOLESTR lower = const_cast<LPOLESTR>(L"getparameter");
  DISPID id = DISPID_UNKNOWN;
  EXPECT_HR(S_OK, component->GetIDsOfNames(IID_NULL, &lower, 1, LOCALE_USER_DEFAULT, &id));
  EXPECT_EQ(4, id);
  // A method with its parameter name also goes to the type information.
  LPOLESTR withParameter[] = {const_cast<LPOLESTR>(L"SetParameter"), const_cast<LPOLESTR>(L"vValue")};
  DISPID ids[2] = {DISPID_UNKNOWN, DISPID_UNKNOWN};
  EXPECT_HR(S_OK, component->GetIDsOfNames(IID_NULL, withParameter, 2, LOCALE_USER_DEFAULT, ids));
  EXPECT_EQ(3, ids[0]);
  EXPECT_EQ(1, ids[1]);
  LPOLESTR unknown = const_cast<LPOLESTR>(L"Start");
  EXPECT_HR(DISP_E_UNKNOWNNAME, component->GetIDsOfNames(IID_NULL, &unknown, 1, LOCALE_USER_DEFAULT, &id));
}

TEST_F(VelRynClient, MarkerInterfacesDispatchTheirOwnTypeInformation) {
  ComPtr<IVelProducer> producer;
  ASSERT_HR(S_OK, component->QueryInterface(IID_IVelProducer, reinterpret_cast<void**>(producer.put())));
  ComPtr<ITypeInfo> info;
  ASSERT_HR(S_OK, producer->GetTypeInfo(0, LOCALE_USER_DEFAULT, info.put()));
  TYPEATTR* attributes = nullptr;
  ASSERT_HR(S_OK, info->GetTypeAttr(&attributes));
  EXPECT_TRUE(IsEqualGUID(IID_IVelProducer, attributes->guid));
  info->ReleaseTypeAttr(attributes);
  LPOLESTR name = const_cast<LPOLESTR>(L"Run");
  DISPID id = 0;
  EXPECT_HR(DISP_E_UNKNOWNNAME, producer->GetIDsOfNames(IID_NULL, &name, 1, LOCALE_USER_DEFAULT, &id));

  ComPtr<IVelConsumer> consumer;
  ASSERT_HR(S_OK, component->QueryInterface(IID_IVelConsumer, reinterpret_cast<void**>(consumer.put())));
  ASSERT_HR(S_OK, consumer->GetTypeInfo(0, LOCALE_USER_DEFAULT, info.put()));
  ASSERT_HR(S_OK, info->GetTypeAttr(&attributes));
  EXPECT_TRUE(IsEqualGUID(IID_IVelConsumer, attributes->guid));
  info->ReleaseTypeAttr(attributes);
}

TEST_F(VelRynClient, InvokeReachesTheFourMethods) {
  // SetParameter("VOLUME", 60): arguments are passed last to first.
  VARIANT arguments[2];
  V_VT(&arguments[0]) = VT_I4;
  V_I4(&arguments[0]) = 60;
  V_VT(&arguments[1]) = VT_BSTR;
  Bstr volume(L"VOLUME");
  V_BSTR(&arguments[1]) = volume.get();
  DISPPARAMS params = {arguments, nullptr, 2, 0};
  HRESULT hr = component->Invoke(3, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, nullptr, nullptr,
                                 nullptr);
  EXPECT_HR(S_OK, hr);

  VARIANT nameArgument;
  V_VT(&nameArgument) = VT_BSTR;
  Bstr delay(L"DELAY");
  V_BSTR(&nameArgument) = delay.get();
  DISPPARAMS getParams = {&nameArgument, nullptr, 1, 0};
  Variant result;
  hr = component->Invoke(4, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD | DISPATCH_PROPERTYGET, &getParams,
                         &result.get(), nullptr, nullptr);
  EXPECT_HR(S_OK, hr);
  EXPECT_EQ(VT_I4, V_VT(&result.get()));

  DISPPARAMS noParams = {nullptr, nullptr, 0, 0};
  EXPECT_HR(S_OK, component->Invoke(2, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &noParams, nullptr, nullptr,
                                    nullptr));

  // A failing method comes back as an exception with the error object's content.
  Bstr lower(L"delay");
  V_BSTR(&arguments[1]) = lower.get();
  EXCEPINFO exception = {};
  hr = component->Invoke(3, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, nullptr, &exception, nullptr);
  EXPECT_HR(DISP_E_EXCEPTION, hr);
  EXPECT_EQ(static_cast<SCODE>(0x80042005), exception.scode) << Hex(exception.scode);
  EXPECT_STREQ(L"Unsupported parameter", exception.bstrDescription);
  EXPECT_STREQ(L"Ryn.VelRyn.1", exception.bstrSource);
  SysFreeString(exception.bstrDescription);
  SysFreeString(exception.bstrSource);
  SysFreeString(exception.bstrHelpFile);
}

TEST_F(VelRynClient, SetParameterConvertsValuesOfKnownNames) {
  EXPECT_HR(S_OK, Set(L"VOLUME", Variant::I4(50)));
  EXPECT_HR(S_OK, Set(L"VOLUME", Variant::I2(40)));
  EXPECT_HR(S_OK, Set(L"VOLUME", Variant::R8(75.4)));
  EXPECT_HR(S_OK, Set(L"VOLUME", Variant::Text(L"50")));
  EXPECT_HR(S_OK, Set(L"VOLUME", Variant::OfType(VT_EMPTY)));
  EXPECT_HR(S_OK, Set(L"FREQUENCY_SHIFT", Variant::I4(0)));
  EXPECT_HR(S_OK, Set(L"ZEL_MODE", Variant::I4(1)));
  EXPECT_HR(S_OK, Set(L"DELAY", Variant::I4(40)));
  EXPECT_HR(S_OK, Set(L"VOLUME", Variant::I4(100)));
}

TEST_F(VelRynClient, SuccessLeavesTheThreadErrorObjectAlone) {
  ComPtr<ICreateErrorInfo> creator;
  ASSERT_HR(S_OK, CreateErrorInfo(creator.put()));
  creator->SetDescription(const_cast<LPOLESTR>(L"left by the caller"));
  ComPtr<IErrorInfo> info;
  ASSERT_HR(S_OK, creator->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(info.put())));
  SetErrorInfo(0, info.get());
  EXPECT_HR(S_OK, Set(L"VOLUME", Variant::I4(100)));
  EXPECT_EQ(L"left by the caller", TakeErrorObject().description);
}

TEST_F(VelRynClient, TextThatIsNoNumberFailsWithTheConversionResult) {
  // The system's text for the result, or the fallback where it has none.
  const std::wstring expected = comtest::ExpectedDescription(DISP_E_TYPEMISMATCH, L"Unknown error 0x80020005");
  HRESULT hr = Set(L"VOLUME", Variant::Text(L"abc"));
  EXPECT_HR(DISP_E_TYPEMISMATCH, hr);
  ExpectErrorObject(expected.c_str());

  hr = Set(L"DELAY", Variant::OfType(VT_NULL));
  EXPECT_HR(DISP_E_TYPEMISMATCH, hr);
  ExpectErrorObject(expected.c_str());
}

TEST_F(VelRynClient, ValueOutOfRangeIsAnInvalidParameter) {
  HRESULT hr = Set(L"DELAY", Variant::I4(30));
  EXPECT_HR(static_cast<HRESULT>(0x80042006), hr);
  ExpectErrorObject(L"Invalid parameter");
  hr = Set(L"DELAY", Variant::OfType(VT_EMPTY));
  EXPECT_HR(static_cast<HRESULT>(0x80042006), hr);
  ExpectErrorObject(L"Invalid parameter");
}

TEST_F(VelRynClient, OnlyExactNamesAreKnown) {
  struct Case {
    const char* what;
    Bstr name;
  };
  Case cases[] = {
      {"lower case", Bstr(L"delay")},
      {"null", Bstr()},
      {"empty", Bstr(L"")},
      {"embedded NUL", Bstr(L"DELAY\0X", 7)},
      {"prefix", Bstr(L"DELA")},
  };
  for (Case& c : cases) {
    Variant value = Variant::I4(100);
    HRESULT hr = component->SetParameter(c.name.get(), value.get());
    EXPECT_HR(static_cast<HRESULT>(0x80042005), hr) << c.what;
    ExpectErrorObject(L"Unsupported parameter");
    LONG got = kLongMarker;
    hr = component->GetParameter(c.name.get(), &got);
    EXPECT_HR(static_cast<HRESULT>(0x80042005), hr) << c.what;
    EXPECT_EQ(kLongMarker, got) << c.what;
    ExpectErrorObject(L"Unsupported parameter");
  }
}

TEST_F(VelRynClient, UnknownNameIsReportedBeforeTheValueIsConverted) {
  const HRESULT hr = Set(L"PITCH", Variant::Text(L"abc"));
  EXPECT_HR(static_cast<HRESULT>(0x80042005), hr);
  ExpectErrorObject(L"Unsupported parameter");
}

TEST_F(VelRynClient, ValueThatCannotBeCopiedFailsWithTheCopyResult) {
  Variant broken = Variant::OfType(0x7FFF);
  Bstr name(L"VOLUME");
  const HRESULT hr = component->SetParameter(name.get(), broken.get());
  EXPECT_TRUE(FAILED(hr)) << Hex(hr);
  EXPECT_HR(DISP_E_BADVARTYPE, hr);
  V_VT(&broken.get()) = VT_EMPTY;
}

TEST_F(VelRynClient, GetParameterReadsOnlyTheDelay) {
  Bstr delay(L"DELAY");
  LONG value = kLongMarker;
  ASSERT_HR(S_OK, component->GetParameter(delay.get(), &value));
  EXPECT_EQ(0, value) << "no delay has been measured in this process";
  EXPECT_FALSE(TakeErrorObject().present);

  Bstr volume(L"VOLUME");
  value = kLongMarker;
  EXPECT_EQ(static_cast<HRESULT>(0x80042005), component->GetParameter(volume.get(), &value));
  EXPECT_EQ(kLongMarker, value);
  ExpectErrorObject(L"Unsupported parameter");

  EXPECT_HR(E_POINTER, component->GetParameter(delay.get(), nullptr));
}

TEST_F(VelRynClient, RunWithoutASoundServerCannotInitializeDirectX) {
  HRESULT hr = component->Run();
  EXPECT_HR(static_cast<HRESULT>(0x80042009), hr);
  ExpectErrorObject(L"Could not initialize DirectX");
  hr = component->Stop();
  EXPECT_HR(S_OK, hr);
  EXPECT_FALSE(TakeErrorObject().present);
}

}  // namespace

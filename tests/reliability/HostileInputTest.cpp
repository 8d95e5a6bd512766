// Randomised SetParameter and GetParameter calls with every VARTYPE (arrays,
// values by reference, dispatch objects, records, NaN and infinities, huge
// and odd strings) and random names, on a running engine. Each answer must be
// the documented one: the platform's own copy and conversion decide a
// value's fate, then the name and the range do; every failure carries an
// error object, success none; the stored parameters never leave their
// ranges; nothing handed in stays referenced.

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "engine/RynManager.h"
#include "reliability/ReliabilitySupport.h"
#include "support/HResultCheck.h"
#include "support/FakeDirectSound.h"
#include "support/StdoutLineCounter.h"

namespace {

using reliability::Figure;
using reliability::kInvalid;
using reliability::kParameters;
using reliability::kUnsupported;
using reliability::Parameter;


// ---------------------------------------------------------------------------
// Objects a host may hand in, counting their references.

class CountedUnknown : public IUnknown {
 public:
  virtual ~CountedUnknown() = default;
  STDMETHODIMP QueryInterface(REFIID iid, void** object) override {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (!IsEqualIID(iid, IID_IUnknown)) return E_NOINTERFACE;
    *object = this;
    AddRef();
    return S_OK;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++references; }
  STDMETHODIMP_(ULONG) Release() override { return --references; }
  ULONG References() const { return references.load(); }

 private:
  std::atomic<ULONG> references{1};
};

// An automation object whose default property answers a fixed value, or
// fails. The test owns it; it is never destroyed through Release.
class ValueObject final : public IDispatch {
 public:
  ValueObject(VARIANT answer, HRESULT result) : answer(answer), result(result) {}
  ~ValueObject() { VariantClear(&answer); }
  ValueObject(const ValueObject&) = delete;
  ValueObject& operator=(const ValueObject&) = delete;

  STDMETHODIMP QueryInterface(REFIID iid, void** object) override {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, IID_IDispatch)) return E_NOINTERFACE;
    *object = static_cast<IDispatch*>(this);
    AddRef();
    return S_OK;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++references; }
  STDMETHODIMP_(ULONG) Release() override { return --references; }
  STDMETHODIMP GetTypeInfoCount(UINT* count) override {
    if (count == nullptr) return E_POINTER;
    *count = 0;
    return S_OK;
  }
  STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo** info) override {
    if (info != nullptr) *info = nullptr;
    return DISP_E_BADINDEX;
  }
  STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return DISP_E_UNKNOWNNAME; }
  STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS*, VARIANT* out, EXCEPINFO*, UINT*) override {
    ++invocations;
    if (id != DISPID_VALUE || (flags & DISPATCH_PROPERTYGET) == 0) return DISP_E_MEMBERNOTFOUND;
    if (FAILED(result)) return result;
    if (out == nullptr) return E_POINTER;
    return VariantCopy(out, &answer);
  }
  ULONG References() const { return references.load(); }
  int Invocations() const { return invocations.load(); }

 private:
  VARIANT answer;
  HRESULT result;
  std::atomic<ULONG> references{1};
  std::atomic<int> invocations{0};
};

// Type information for records of one 32-bit integer.
class Int32RecordInfo final : public IRecordInfo {
 public:
  STDMETHODIMP QueryInterface(REFIID iid, void** object) override {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, IID_IRecordInfo)) return E_NOINTERFACE;
    *object = static_cast<IRecordInfo*>(this);
    AddRef();
    return S_OK;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++references; }
  STDMETHODIMP_(ULONG) Release() override { return --references; }
  STDMETHODIMP RecordInit(PVOID record) override {
    if (record == nullptr) return E_INVALIDARG;
    *static_cast<LONG*>(record) = 0;
    return S_OK;
  }
  STDMETHODIMP RecordClear(PVOID) override { return S_OK; }
  STDMETHODIMP RecordCopy(PVOID from, PVOID to) override {
    if (from == nullptr || to == nullptr) return E_INVALIDARG;
    *static_cast<LONG*>(to) = *static_cast<LONG*>(from);
    return S_OK;
  }
  STDMETHODIMP GetGuid(GUID* guid) override {
    if (guid == nullptr) return E_INVALIDARG;
    *guid = GUID_NULL;
    return S_OK;
  }
  STDMETHODIMP GetName(BSTR* name) override {
    if (name == nullptr) return E_INVALIDARG;
    *name = SysAllocString(L"Int32Record");
    return *name != nullptr ? S_OK : E_OUTOFMEMORY;
  }
  STDMETHODIMP GetSize(ULONG* size) override {
    if (size == nullptr) return E_INVALIDARG;
    *size = sizeof(LONG);
    return S_OK;
  }
  STDMETHODIMP GetTypeInfo(ITypeInfo** info) override {
    if (info != nullptr) *info = nullptr;
    return E_NOTIMPL;
  }
  STDMETHODIMP GetField(PVOID, LPCOLESTR, VARIANT*) override { return E_NOTIMPL; }
  STDMETHODIMP GetFieldNoCopy(PVOID, LPCOLESTR, VARIANT*, PVOID*) override { return E_NOTIMPL; }
  STDMETHODIMP PutField(ULONG, PVOID, LPCOLESTR, VARIANT*) override { return E_NOTIMPL; }
  STDMETHODIMP PutFieldNoCopy(ULONG, PVOID, LPCOLESTR, VARIANT*) override { return E_NOTIMPL; }
  STDMETHODIMP GetFieldNames(ULONG*, BSTR*) override { return E_NOTIMPL; }
  BOOL STDMETHODCALLTYPE IsMatchingType(IRecordInfo* other) override { return other == this; }
  PVOID STDMETHODCALLTYPE RecordCreate() override { return CoTaskMemAlloc(sizeof(LONG)); }
  STDMETHODIMP RecordCreateCopy(PVOID source, PVOID* copy) override {
    if (copy == nullptr) return E_INVALIDARG;
    *copy = RecordCreate();
    if (*copy == nullptr) return E_OUTOFMEMORY;
    return RecordCopy(source, *copy);
  }
  STDMETHODIMP RecordDestroy(PVOID record) override {
    CoTaskMemFree(record);
    return S_OK;
  }
  ULONG References() const { return references.load(); }

 private:
  std::atomic<ULONG> references{1};
};

// ---------------------------------------------------------------------------
// Hostile values.

// A VARIANT with everything it refers to; the outer VARIANT of a by-reference
// value points into `target`, which owns what is referred to.
struct HostileValue {
  VARIANT value;
  VARIANT target;
  LONG record = 0;
  std::string what;

  HostileValue() {
    VariantInit(&value);
    VariantInit(&target);
  }
  HostileValue(const HostileValue&) = delete;
  HostileValue& operator=(const HostileValue&) = delete;
  ~HostileValue() {
    if ((V_VT(&value) & VT_BYREF) == 0 && V_VT(&value) != VT_RECORD) VariantClear(&value);
    VariantClear(&target);
  }
};

class ValueMaker {
 public:
  explicit ValueMaker(unsigned seed) : random(seed) {
    for (const LONG number : {45L, 0L, 7L}) {
      VARIANT answer;
      VariantInit(&answer);
      V_VT(&answer) = VT_I4;
      V_I4(&answer) = number;
      objects.push_back(std::make_unique<ValueObject>(answer, S_OK));
    }
    VARIANT text;
    VariantInit(&text);
    V_VT(&text) = VT_BSTR;
    V_BSTR(&text) = SysAllocString(L"60");
    objects.push_back(std::make_unique<ValueObject>(text, S_OK));
    VARIANT nan;
    VariantInit(&nan);
    V_VT(&nan) = VT_R8;
    V_R8(&nan) = std::numeric_limits<double>::quiet_NaN();
    objects.push_back(std::make_unique<ValueObject>(nan, S_OK));
    VARIANT nothing;
    VariantInit(&nothing);
    objects.push_back(std::make_unique<ValueObject>(nothing, DISP_E_EXCEPTION));
    objects.push_back(std::make_unique<ValueObject>(nothing, E_OUTOFMEMORY));
  }

  // What was handed in is held by nobody afterwards.
  bool NothingHeld() const {
    for (const auto& object : objects) {
      if (object->References() != 1) return false;
    }
    return unknown.References() == 1 && recordInfo.References() == 1;
  }
  int Invocations() const {
    int total = 0;
    for (const auto& object : objects) total += object->Invocations();
    return total;
  }

  std::unique_ptr<HostileValue> Make() {
    auto hostile = std::make_unique<HostileValue>();
    const unsigned kind = random() % 100;
    if (kind < 55) {
      Base(hostile->value, hostile->what);
    } else if (kind < 75) {
      ByReference(*hostile);
    } else if (kind < 85) {
      Array(hostile->value, hostile->what);
    } else if (kind < 90) {
      Record(*hostile);
    } else {
      Malformed(hostile->value, hostile->what);
    }
    return hostile;
  }

  std::wstring Name() {
    static const wchar_t* const kNames[] = {
        L"DELAY", L"FREQUENCY_SHIFT", L"VOLUME", L"ZEL_MODE", L"delay", L"Volume", L"DELA", L"DELAYS",
        L" DELAY", L"ZEL_MODE ", L"FREQUENCY-SHIFT", L"", L"\x0394\x0395LAY", L"%MODULE%", L"DELAY'"};
    const unsigned kind = random() % 20;
    if (kind < 12) return kParameterNames[random() % 4];
    if (kind < 17) return kNames[random() % (sizeof kNames / sizeof kNames[0])];
    if (kind == 17) return std::wstring(L"DELAY") + L'\0' + L"X";
    if (kind == 18) return RandomText(1 + random() % 40);
    return std::wstring(1 + random() % (1 << 20), L'D');
  }

  std::mt19937& Random() { return random; }

 private:
  static constexpr const wchar_t* kParameterNames[] = {L"DELAY", L"FREQUENCY_SHIFT", L"VOLUME", L"ZEL_MODE"};

  std::wstring RandomText(std::size_t length) {
    std::wstring text;
    for (std::size_t i = 0; i < length; ++i) text += static_cast<wchar_t>(1 + random() % 0xFFFE);
    return text;
  }

  LONGLONG Integer() {
    static const LONGLONG kEdges[] = {0,   1,   -1,  2,   3,    39,    40,         41,          100,        101,
                                      219, 220, 221, -10, -11,  10,    11,         127,         -128,       255,
                                      256, 32767, -32768, 65535, 65536, 2147483647LL, -2147483647LL - 1, 4294967295LL,
                                      4294967296LL, 9223372036854775807LL, -9223372036854775807LL - 1};
    if (random() % 2 == 0) return kEdges[random() % (sizeof kEdges / sizeof kEdges[0])];
    return static_cast<LONGLONG>(random()) - (1LL << 31);
  }

  double Real() {
    static const double kEdges[] = {std::numeric_limits<double>::quiet_NaN(),
                                    -std::numeric_limits<double>::quiet_NaN(),
                                    std::numeric_limits<double>::infinity(),
                                    -std::numeric_limits<double>::infinity(),
                                    std::numeric_limits<double>::denorm_min(),
                                    std::numeric_limits<double>::max(),
                                    -0.0,
                                    0.5,
                                    1.5,
                                    39.5,
                                    40.5,
                                    219.5,
                                    220.5,
                                    -10.5,
                                    100.49999999999999,
                                    2147483647.5,
                                    -2147483648.5,
                                    1e300};
    if (random() % 2 == 0) return kEdges[random() % (sizeof kEdges / sizeof kEdges[0])];
    return std::uniform_real_distribution<double>(-300, 300)(random);
  }

  BSTR Text() {
    static const wchar_t* const kTexts[] = {L"40",  L" 100 ", L"-10",    L"1e2",   L"&H64",  L"0x64",  L"abc",
                                            L"",    L"2.5",   L"1,000",  L"+7",    L"--1",   L"NaN",   L"Infinity",
                                            L"\x0664\x0660", L"99999999999999999999", L"True", L"#1/1/2000#"};
    const unsigned kind = random() % 11;
    if (kind < 7) return SysAllocString(kTexts[random() % (sizeof kTexts / sizeof kTexts[0])]);
    if (kind == 10) return SysAllocStringLen(L"40\0junk", 7);  // digits, an embedded NUL, more text
    if (kind == 7) return nullptr;
    if (kind == 8) {
      // Huge: a number of millions of digits, or blanks around a small one.
      const std::size_t length = 1 + random() % (4u << 20);
      std::wstring huge = random() % 2 == 0 ? std::wstring(length, L'9') : std::wstring(length, L' ') + L"50";
      return SysAllocStringLen(huge.data(), static_cast<UINT>(huge.size()));
    }
    const std::wstring text = RandomText(1 + random() % 30);
    return SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
  }

  void Base(VARIANT& value, std::string& what) {
    static const VARTYPE kTypes[] = {VT_EMPTY, VT_NULL, VT_I2,    VT_I4,    VT_R4,  VT_R8,   VT_CY,  VT_DATE,
                                     VT_BSTR,  VT_DISPATCH, VT_ERROR, VT_BOOL, VT_UNKNOWN, VT_DECIMAL, VT_I1, VT_UI1,
                                     VT_UI2,   VT_UI4,  VT_I8,    VT_UI8,   VT_INT, VT_UINT};
    const VARTYPE type = kTypes[random() % (sizeof kTypes / sizeof kTypes[0])];
    Fill(value, type);
    what = "VT " + std::to_string(type);
  }

  void Fill(VARIANT& value, VARTYPE type) {
    VariantInit(&value);
    V_VT(&value) = type;
    switch (type) {
      case VT_I2: V_I2(&value) = static_cast<SHORT>(Integer()); break;
      case VT_I4: V_I4(&value) = static_cast<LONG>(Integer()); break;
      case VT_R4: V_R4(&value) = static_cast<float>(Real()); break;
      case VT_R8: V_R8(&value) = Real(); break;
      case VT_CY: V_CY(&value).int64 = Integer() * (random() % 2 == 0 ? 10000 : 1); break;
      case VT_DATE: V_DATE(&value) = Real(); break;
      case VT_BSTR: V_BSTR(&value) = Text(); break;
      case VT_DISPATCH:
        V_DISPATCH(&value) = random() % 8 == 0 ? nullptr : objects[random() % objects.size()].get();
        if (V_DISPATCH(&value) != nullptr) V_DISPATCH(&value)->AddRef();
        break;
      case VT_ERROR: V_ERROR(&value) = static_cast<SCODE>(random()); break;
      case VT_BOOL: V_BOOL(&value) = random() % 3 == 0 ? static_cast<VARIANT_BOOL>(0x1234)
                                                       : (random() % 2 == 0 ? VARIANT_TRUE : VARIANT_FALSE);
        break;
      case VT_UNKNOWN:
        V_UNKNOWN(&value) = random() % 4 == 0 ? nullptr
                            : random() % 2 == 0 ? static_cast<IUnknown*>(objects[random() % objects.size()].get())
                                                : static_cast<IUnknown*>(&unknown);
        if (V_UNKNOWN(&value) != nullptr) V_UNKNOWN(&value)->AddRef();
        break;
      case VT_DECIMAL: {
        DECIMAL& decimal = V_DECIMAL(&value);
        decimal.Lo64 = static_cast<ULONGLONG>(Integer());
        decimal.Hi32 = random() % 4 == 0 ? static_cast<ULONG>(random()) : 0;
        decimal.scale = static_cast<BYTE>(random() % 31);  // above 28 is malformed
        decimal.sign = random() % 2 == 0 ? 0 : DECIMAL_NEG;
        V_VT(&value) = VT_DECIMAL;  // the DECIMAL overlays the type field
        break;
      }
      case VT_I1: V_I1(&value) = static_cast<CHAR>(Integer()); break;
      case VT_UI1: V_UI1(&value) = static_cast<BYTE>(Integer()); break;
      case VT_UI2: V_UI2(&value) = static_cast<USHORT>(Integer()); break;
      case VT_UI4: V_UI4(&value) = static_cast<ULONG>(Integer()); break;
      case VT_I8: V_I8(&value) = Integer(); break;
      case VT_UI8: V_UI8(&value) = static_cast<ULONGLONG>(Integer()); break;
      case VT_INT: V_INT(&value) = static_cast<INT>(Integer()); break;
      case VT_UINT: V_UINT(&value) = static_cast<UINT>(Integer()); break;
      default: break;
    }
  }

  void ByReference(HostileValue& hostile) {
    if (random() % 5 == 0) {
      // A VARIANT by reference, holding a value of its own (maybe one by
      // reference again, which the platform refuses).
      VARTYPE inner = 0;
      Base(hostile.target, hostile.what);
      inner = V_VT(&hostile.target);
      V_VT(&hostile.value) = VT_BYREF | VT_VARIANT;
      V_VARIANTREF(&hostile.value) = &hostile.target;
      hostile.what = "VT_BYREF|VT_VARIANT of VT " + std::to_string(inner);
      return;
    }
    Base(hostile.target, hostile.what);
    const VARTYPE type = V_VT(&hostile.target);
    if (type == VT_EMPTY || type == VT_NULL) {
      // Not valid by reference: the platform says so.
      V_VT(&hostile.value) = VT_BYREF | type;
      V_BYREF(&hostile.value) = &hostile.record;
    } else {
      V_VT(&hostile.value) = VT_BYREF | type;
      V_BYREF(&hostile.value) = type == VT_DECIMAL ? static_cast<void*>(&V_DECIMAL(&hostile.target))
                                                   : static_cast<void*>(&V_I4(&hostile.target));
    }
    hostile.what = "VT_BYREF|VT " + std::to_string(type);
  }

  void Array(VARIANT& value, std::string& what) {
    static const VARTYPE kElements[] = {VT_I4, VT_BSTR, VT_VARIANT, VT_R8, VT_UI1};
    const VARTYPE element = kElements[random() % (sizeof kElements / sizeof kElements[0])];
    const ULONG count = random() % 4;
    VariantInit(&value);
    V_VT(&value) = VT_ARRAY | element;
    what = "VT_ARRAY|VT " + std::to_string(element) + " of " + std::to_string(count);
    if (random() % 6 == 0) {
      V_ARRAY(&value) = nullptr;
      what += " (null)";
      return;
    }
    SAFEARRAY* array = SafeArrayCreateVector(element, 0, count);
    for (LONG i = 0; array != nullptr && i < static_cast<LONG>(count); ++i) {
      if (element == VT_I4) {
        LONG number = 50;
        SafeArrayPutElement(array, &i, &number);
      } else if (element == VT_BSTR) {
        BSTR text = SysAllocString(L"50");
        SafeArrayPutElement(array, &i, text);
        SysFreeString(text);
      } else if (element == VT_VARIANT) {
        VARIANT item;
        Fill(item, VT_I4);
        SafeArrayPutElement(array, &i, &item);
        VariantClear(&item);
      }
    }
    V_ARRAY(&value) = array;
  }

  void Record(HostileValue& hostile) {
    hostile.record = static_cast<LONG>(Integer());
    V_VT(&hostile.value) = VT_RECORD;
    V_RECORDINFO(&hostile.value) = &recordInfo;
    V_RECORD(&hostile.value) = &hostile.record;
    hostile.what = "VT_RECORD";
  }

  // Types that have no place in a VARIANT, with no data behind them.
  void Malformed(VARIANT& value, std::string& what) {
    static const VARTYPE kTypes[] = {VT_VARIANT, VT_VOID,    VT_HRESULT,        VT_PTR,      VT_SAFEARRAY,
                                     VT_CARRAY,  VT_USERDEFINED, VT_LPSTR,      VT_LPWSTR,   VT_FILETIME,
                                     VT_BLOB,    VT_STREAM,  VT_CLSID,          15,          0x7FFF,
                                     VT_VECTOR | VT_I4, VT_RESERVED | VT_I4, VT_BSTR_BLOB, VT_INT_PTR, VT_UINT_PTR};
    VariantInit(&value);
    const VARTYPE type = random() % 4 == 0 ? static_cast<VARTYPE>(random() & 0x3FFF & ~VT_ARRAY)
                                           : kTypes[random() % (sizeof kTypes / sizeof kTypes[0])];
    V_VT(&value) = type;
    V_I8(&value) = 0;
    what = "malformed VT " + std::to_string(type);
  }

  std::mt19937 random;
  std::vector<std::unique_ptr<ValueObject>> objects;
  CountedUnknown unknown;
  Int32RecordInfo recordInfo;
};

// What the documented algorithm answers: the platform copies the value (its
// failure is the answer), the name must be one of the four, the platform
// converts the value, and the manager checks the range.
struct Prediction {
  HRESULT result;
  int parameter;  // index into kParameters, -1 for an unknown name
  LONG converted;
};

Prediction Predict(const std::wstring& name, const VARIANT& value) {
  Prediction prediction{S_OK, -1, 0};
  VARIANT copy;
  VariantInit(&copy);
  prediction.result = VariantCopy(&copy, const_cast<VARIANT*>(&value));
  if (FAILED(prediction.result)) return prediction;
  for (int i = 0; i < 4; ++i) {
    if (name == kParameters[i].name) prediction.parameter = i;
  }
  if (prediction.parameter < 0) {
    prediction.result = kUnsupported;
  } else if (V_VT(&copy) == VT_I4) {
    prediction.converted = V_I4(&copy);
  } else {
    VARIANT converted;
    VariantInit(&converted);
    prediction.result = VariantChangeType(&converted, &copy, 0, VT_I4);
    if (SUCCEEDED(prediction.result)) prediction.converted = V_I4(&converted);
    VariantClear(&converted);
  }
  VariantClear(&copy);
  if (SUCCEEDED(prediction.result) && prediction.parameter >= 0) {
    const Parameter& parameter = kParameters[prediction.parameter];
    if (prediction.converted < parameter.min || prediction.converted > parameter.max) prediction.result = kInvalid;
  }
  return prediction;
}

class HostileInput : public ::testing::Test {
 protected:
  void SetUp() override {
    component = reliability::CreateComponent();
    ASSERT_TRUE(component);
    CRynManager& manager = CRynManager::GetInstance();
    manager.Stop();
    manager.SetDelay(40);
    manager.SetFrequencyShift(0);
    manager.SetVolume(100);
    manager.SetZelMode(1);
    ASSERT_HR(S_OK, component->Run());
  }
  void TearDown() override {
    CRynManager::GetInstance().Stop();
    devices.DiscardReleased();
    EXPECT_EQ(0u, devices.LiveReferences());
  }

  StdoutLineCounter out;
  fakeds::FakeAudioDevices devices;
  ComPtr<IVelComponent> component;
};

bool StoredInRange(const CRynManager& manager) {
  for (const Parameter& parameter : kParameters) {
    const std::int32_t stored = parameter.stored(manager);
    if (stored < parameter.min || stored > parameter.max) return false;
  }
  return true;
}

TEST_F(HostileInput, EveryValueAndNameGetsTheDocumentedAnswer) {
  CRynManager& manager = CRynManager::GetInstance();
  const int calls = reliability::ShortOrLong(20000, 200000);
  ValueMaker maker(20240607u);
  std::int32_t expected[4] = {40, 0, 100, 1};
  int accepted = 0;
  int failures = 0;
  int gets = 0;
  int problems = 0;
  std::vector<HRESULT> results;
  for (int call = 0; call < calls && problems < 20; ++call) {
    const std::wstring name = maker.Name();
    const comtest::Bstr nameText(name.data(), static_cast<UINT>(name.size()));
    if (maker.Random()() % 5 == 0) {
      LONG value = 0x5A5A5A5A;
      const bool nullOut = maker.Random()() % 50 == 0;
      const HRESULT hr = component->GetParameter(nameText.get(), nullOut ? nullptr : &value);
      const comtest::ErrorObject error = comtest::TakeErrorObject();
      ++gets;
      const HRESULT wanted = nullOut ? E_POINTER : name == L"DELAY" ? S_OK : kUnsupported;
      if (hr != wanted || (FAILED(hr) != error.present) || (FAILED(hr) && value != 0x5A5A5A5A)) {
        ADD_FAILURE() << "GetParameter(" << name.size() << " characters): " << Hex(hr) << ", wanted " << Hex(wanted)
                      << (error.present ? " with" : " without") << " an error object";
        ++problems;
      }
      continue;
    }
    const std::unique_ptr<HostileValue> value = maker.Make();
    const Prediction prediction = Predict(name, value->value);
    const HRESULT hr = component->SetParameter(nameText.get(), value->value);
    const comtest::ErrorObject error = comtest::TakeErrorObject();
    if (SUCCEEDED(hr)) {
      ++accepted;
      expected[prediction.parameter] = prediction.converted;
    } else {
      ++failures;
      if (std::find(results.begin(), results.end(), hr) == results.end()) results.push_back(hr);
    }
    const bool rightObject = FAILED(hr) ? error.present && IsEqualGUID(IID_IVelComponent, error.guid) &&
                                              !error.description.empty()
                                        : !error.present;
    if (hr != prediction.result || !rightObject || !StoredInRange(manager)) {
      ADD_FAILURE() << "SetParameter(" << name.size() << " characters, " << value->what << "): " << Hex(hr)
                    << ", documented " << Hex(prediction.result) << (error.present ? " with" : " without")
                    << " an error object";
      ++problems;
    }
    if (call % 64 == 0) devices.DiscardReleased();
  }
  EXPECT_TRUE(maker.NothingHeld()) << "an object handed in is still referenced";
  for (int i = 0; i < 4; ++i) EXPECT_EQ(expected[i], kParameters[i].stored(manager)) << i;
  EXPECT_TRUE(manager.IsRunning());

  std::string distinct;
  for (const HRESULT hr : results) distinct += " " + Hex(hr);
  Figure("hostile input: %d calls (%d GetParameter), %d accepted, %d refused with an error object, %d default-value "
         "calls on host objects; distinct failures:%s; parameters out of range: 0, references kept: 0",
         calls, gets, accepted, failures, maker.Invocations(), distinct.c_str());
}

// A failure that left no error object of its own would let the host read an
// older call's error as this one's.
TEST_F(HostileInput, NullOutPointerReplacesAnOlderErrorObject) {
  const comtest::Bstr unknown(L"PITCH");
  comtest::Variant value = comtest::Variant::I4(1);
  ASSERT_EQ(kUnsupported, component->SetParameter(unknown.get(), value.get()));
  const comtest::Bstr delay(L"DELAY");
  const HRESULT hr = component->GetParameter(delay.get(), nullptr);
  EXPECT_HR(E_POINTER, hr);
  const comtest::ErrorObject error = comtest::TakeErrorObject();
  ASSERT_TRUE(error.present);
  EXPECT_TRUE(IsEqualGUID(IID_IVelComponent, error.guid));
  EXPECT_NE(L"Unsupported parameter", error.description);
}

}  // namespace

// The VelRyn object inside the test program: its parameters reach the
// program's own engine manager, whose state the tests read back.

#include "component/VelRyn.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "component/ComTestSupport.h"
#include "engine/RynManager.h"
#include "support/FakeDirectSound.h"
#include "support/StdoutCapture.h"

using comtest::Bstr;
using comtest::TakeErrorObject;
using comtest::Variant;

namespace {

// Armed by a test: the next allocation on the arming thread fails.
thread_local bool failNextAllocation = false;

}  // namespace

// The replacement pair allocates with malloc and frees with free; GCC cannot
// see that they belong together.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(std::size_t size) {
  if (failNextAllocation) {
    failNextAllocation = false;
    throw std::bad_alloc();
  }
  if (void* block = std::malloc(size == 0 ? 1 : size)) return block;
  throw std::bad_alloc();
}
void operator delete(void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }
#pragma GCC diagnostic pop

namespace {

class VelRynObject : public ::testing::Test {
 protected:
  void SetUp() override {
    SetErrorInfo(0, nullptr);
    ASSERT_HR(S_OK, CVelRyn::CreateInstance(nullptr, IID_IVelComponent, reinterpret_cast<void**>(component.put())));
    CRynManager& manager = CRynManager::GetInstance();
    manager.SetDelay(40);
    manager.SetFrequencyShift(0);
    manager.SetVolume(100);
    manager.SetZelMode(1);
  }
  HRESULT Set(const wchar_t* name, Variant value) {
    const Bstr text(name);
    return component->SetParameter(text.get(), value.get());
  }
  ComPtr<IVelComponent> component;
  CRynManager& manager = CRynManager::GetInstance();
};

TEST_F(VelRynObject, EachNameSetsItsParameter) {
  EXPECT_HR(S_OK, Set(L"DELAY", Variant::I4(100)));
  EXPECT_EQ(100, manager.GetDelay());
  EXPECT_HR(S_OK, Set(L"FREQUENCY_SHIFT", Variant::I2(-3)));
  EXPECT_EQ(-3, manager.GetFrequencyShift());
  EXPECT_HR(S_OK, Set(L"VOLUME", Variant::R8(75.4)));
  EXPECT_EQ(75, manager.GetVolume());
  EXPECT_HR(S_OK, Set(L"ZEL_MODE", Variant::Text(L"2")));
  EXPECT_EQ(ShiftMethod::Resampling, manager.GetZelMode());
  EXPECT_HR(S_OK, Set(L"VOLUME", Variant::Text(L"50")));
  EXPECT_EQ(50, manager.GetVolume());
  EXPECT_HR(S_OK, Set(L"VOLUME", Variant::OfType(VT_EMPTY)));
  EXPECT_EQ(0, manager.GetVolume());
  EXPECT_FALSE(TakeErrorObject().present);
}

TEST_F(VelRynObject, ValueByReferenceIsConverted) {
  LONG delay = 180;
  VARIANT value;
  V_VT(&value) = VT_I4 | VT_BYREF;
  V_I4REF(&value) = &delay;
  const Bstr name(L"DELAY");
  EXPECT_HR(S_OK, component->SetParameter(name.get(), value));
  EXPECT_EQ(180, manager.GetDelay());
}

TEST_F(VelRynObject, FailedCallsLeaveTheParametersUnchanged) {
  EXPECT_EQ(static_cast<HRESULT>(0x80042005), Set(L"delay", Variant::I4(100)));
  EXPECT_EQ(static_cast<HRESULT>(0x80042006), Set(L"DELAY", Variant::I4(30)));
  EXPECT_EQ(static_cast<HRESULT>(0x80042006), Set(L"DELAY", Variant::I4(221)));
  EXPECT_HR(DISP_E_TYPEMISMATCH, Set(L"DELAY", Variant::Text(L"abc")));
  EXPECT_HR(DISP_E_OVERFLOW, Set(L"DELAY", Variant::R8(1e12)));
  EXPECT_EQ(40, manager.GetDelay());
  EXPECT_EQ(static_cast<HRESULT>(0x80042006), Set(L"VOLUME", Variant::I4(101)));
  EXPECT_EQ(static_cast<HRESULT>(0x80042006), Set(L"ZEL_MODE", Variant::I4(3)));
  EXPECT_EQ(static_cast<HRESULT>(0x80042006), Set(L"FREQUENCY_SHIFT", Variant::I4(11)));
  EXPECT_EQ(100, manager.GetVolume());
  EXPECT_EQ(ShiftMethod::PhaseVocoder, manager.GetZelMode());
  EXPECT_EQ(0, manager.GetFrequencyShift());
}

TEST_F(VelRynObject, OverflowReportsTheSystemTextOrTheFallback) {
  EXPECT_HR(DISP_E_OVERFLOW, Set(L"VOLUME", Variant::R8(1e12)));
  EXPECT_EQ(comtest::ExpectedDescription(DISP_E_OVERFLOW, L"Unknown error 0x8002000A"), TakeErrorObject().description);
}

TEST_F(VelRynObject, OutOfMemoryInRunIsReported) {
  failNextAllocation = true;
  const HRESULT hr = component->Run();
  failNextAllocation = false;
  EXPECT_HR(E_OUTOFMEMORY, hr);
  EXPECT_EQ(comtest::ExpectedDescription(E_OUTOFMEMORY, L"Unknown error 0x8007000E"), TakeErrorObject().description);
  EXPECT_FALSE(manager.IsRunning());
}

TEST_F(VelRynObject, AggregatedObjectAnswersFromItsNonDelegatingUnknown) {
  struct Outer final : IUnknown {
    STDMETHODIMP QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
    STDMETHODIMP_(ULONG) AddRef() override { return ++count; }
    STDMETHODIMP_(ULONG) Release() override { return --count; }
    ULONG count = 1;
  } outer;
  IUnknown* inner = nullptr;
  ASSERT_HR(S_OK, CVelRyn::CreateInstance(&outer, IID_IUnknown, reinterpret_cast<void**>(&inner)));
  void* object = nullptr;
  EXPECT_HR(E_NOINTERFACE, inner->QueryInterface(IID_IMarshal, &object));
  EXPECT_EQ(nullptr, object);
  EXPECT_HR(E_POINTER, inner->QueryInterface(IID_IUnknown, nullptr));
  ASSERT_HR(S_OK, inner->QueryInterface(IID_IVelConsumer, &object));
  EXPECT_EQ(2u, outer.count);
  // Through the aggregated interface every query goes to the outer object.
  void* fromOuter = nullptr;
  EXPECT_HR(E_NOINTERFACE, static_cast<IVelConsumer*>(object)->QueryInterface(IID_IVelComponent, &fromOuter));
  static_cast<IUnknown*>(object)->Release();
  EXPECT_EQ(1u, outer.count);
  EXPECT_EQ(0u, inner->Release());
}

// The engine on scripted devices: Run and Stop reach the manager, and device
// failures come back with their engine codes.
class VelRynOnFakeDevices : public VelRynObject {
 protected:
  void TearDown() override {
    manager.Stop();
    EXPECT_EQ(0u, devices.LiveReferences());
  }
  ComPtr<IVelComponent> Another() {
    ComPtr<IVelComponent> other;
    EXPECT_HR(S_OK, CVelRyn::CreateInstance(nullptr, IID_IVelComponent, reinterpret_cast<void**>(other.put())));
    return other;
  }
  void ExpectError(const wchar_t* description) {
    const comtest::ErrorObject error = TakeErrorObject();
    ASSERT_TRUE(error.present);
    EXPECT_TRUE(IsEqualGUID(IID_IVelComponent, error.guid));
    EXPECT_EQ(description, error.description);
  }
  StdoutCapture out;
  fakeds::FakeAudioDevices devices;
};

TEST_F(VelRynOnFakeDevices, RunAndStopAreAcceptedInEitherState) {
  EXPECT_HR(S_OK, component->Run());
  EXPECT_TRUE(manager.IsRunning());
  EXPECT_HR(S_OK, component->Run());
  EXPECT_EQ(1, devices.Created().playbackDevices);
  EXPECT_HR(S_OK, component->Stop());
  EXPECT_FALSE(manager.IsRunning());
  EXPECT_HR(S_OK, component->Stop());
  EXPECT_FALSE(TakeErrorObject().present);
}

TEST_F(VelRynOnFakeDevices, TwoObjectsSteerOneEngine) {
  ComPtr<IVelComponent> other = Another();
  ASSERT_HR(S_OK, component->Run());
  EXPECT_HR(S_OK, other->Stop());
  EXPECT_FALSE(manager.IsRunning());

  ASSERT_HR(S_OK, other->Run());
  other.reset();
  EXPECT_TRUE(manager.IsRunning()) << "releasing an object leaves the engine running";
  EXPECT_HR(S_OK, component->Stop());
  EXPECT_FALSE(manager.IsRunning());
}

TEST_F(VelRynOnFakeDevices, RunningEngineKeepsTheModuleLoaded) {
  ASSERT_HR(S_OK, component->Run());
  component.reset();
  EXPECT_HR(S_FALSE, DllCanUnloadNow()) << "no object is left, but the capture thread runs module code";
  manager.Stop();
  EXPECT_HR(S_OK, DllCanUnloadNow());
}

TEST_F(VelRynOnFakeDevices, ParametersWhileRunning) {
  ASSERT_HR(S_OK, component->Run());
  EXPECT_HR(S_OK, Set(L"VOLUME", Variant::I4(60)));
  EXPECT_EQ(1, devices.Created().playbackDevices) << "volume needs no restart";
  EXPECT_HR(S_OK, Set(L"DELAY", Variant::I4(120)));
  EXPECT_EQ(2, devices.Created().playbackDevices) << "a new delay restarts the engine";
  EXPECT_TRUE(manager.IsRunning());
  EXPECT_EQ(120, manager.GetDelay());
}

// A restarted engine is "starting" until its first block has been played
// and measured, although GetParameter("DELAY") answers from the previous
// measurement meanwhile.
TEST_F(VelRynOnFakeDevices, EngineStateTellsAStartFromARunningEngine) {
  ComPtr<IRynEngineState> state;
  HRESULT hr = component->QueryInterface(IID_IRynEngineState, reinterpret_cast<void**>(state.put()));
  ASSERT_HR(S_OK, hr);
  const auto stateNow = [&] {
    LONG value = -1;
    const HRESULT result = state->GetEngineState(&value);
    EXPECT_HR(S_OK, result);
    return value;
  };
  const auto playOneBlock = [&] {
    const std::uint64_t before = manager.GetCapturedBlockCount();
    ASSERT_TRUE(devices.CaptureBuffer()->DeliverSegment(0, std::uint8_t{3}));
    ASSERT_TRUE(devices.WaitUntil([&] { return manager.GetCapturedBlockCount() > before; }));
  };
  EXPECT_EQ(RYN_ENGINE_STOPPED, stateNow());
  ASSERT_HR(S_OK, component->Run());
  EXPECT_EQ(RYN_ENGINE_STARTING, stateNow());
  playOneBlock();
  EXPECT_EQ(RYN_ENGINE_RUNNING, stateNow());

  ASSERT_HR(S_OK, Set(L"DELAY", Variant::I4(200)));
  EXPECT_EQ(RYN_ENGINE_STARTING, stateNow());
  LONG reported = 0;
  EXPECT_HR(S_OK, component->GetParameter(Bstr(L"DELAY").get(), &reported));
  EXPECT_NE(0, reported) << "the previous measurement still answers";
  playOneBlock();
  EXPECT_EQ(RYN_ENGINE_RUNNING, stateNow());
  ASSERT_HR(S_OK, component->Stop());
  EXPECT_EQ(RYN_ENGINE_STOPPED, stateNow());
  EXPECT_HR(E_POINTER, state->GetEngineState(nullptr));
}

TEST_F(VelRynOnFakeDevices, DeviceFailuresInRunCarryTheirEngineCodes) {
  struct Case {
    HRESULT fakeds::Script::*step;
    HRESULT expected;
    const wchar_t* description;
  } cases[] = {
      {&fakeds::Script::createPlayback, static_cast<HRESULT>(0x80042009), L"Could not initialize DirectX"},
      {&fakeds::Script::createPrimaryBuffer, static_cast<HRESULT>(0x80042008), L"Could not create DirectX primary buffer"},
      {&fakeds::Script::createSecondaryBuffer, static_cast<HRESULT>(0x80042002), L"Could not create secondary DirectX buffer"},
      {&fakeds::Script::createCapture, static_cast<HRESULT>(0x80042009), L"Could not initialize DirectX"},
      {&fakeds::Script::createCaptureBuffer, static_cast<HRESULT>(0x80042003), L"Could not create DirectX capture buffer"},
  };
  for (const Case& c : cases) {
    devices.script = fakeds::Script();
    devices.script.*c.step = DSERR_GENERIC;
    const HRESULT hr = component->Run();
    EXPECT_HR(c.expected, hr);
    ExpectError(c.description);
    EXPECT_FALSE(manager.IsRunning());
  }
}

TEST_F(VelRynOnFakeDevices, FailedRestartInSetParameterIsReported) {
  ASSERT_HR(S_OK, component->Run());
  devices.script.createCapture = DSERR_NODRIVER;
  const HRESULT hr = Set(L"ZEL_MODE", Variant::I4(2));
  EXPECT_HR(static_cast<HRESULT>(0x80042009), hr);
  ExpectError(L"Could not initialize DirectX");
}

TEST_F(VelRynOnFakeDevices, VolumeRefusedByTheDeviceIsReported) {
  ASSERT_HR(S_OK, component->Run());
  devices.PrimaryBuffer()->SetVolumeResult(DSERR_GENERIC);
  const HRESULT hr = Set(L"VOLUME", Variant::I4(20));
  EXPECT_HR(static_cast<HRESULT>(0x80042007), hr);
  ExpectError(L"Could not set the parameter");
}

}  // namespace

#include "component/ComError.h"

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>

#include "component/ComTestSupport.h"

namespace {

using comtest::SystemMessageText;
using ryn::_com_error;

TEST(ComErrorMessageText, SystemTextWithoutItsLineEnd) {
  // Every platform has a text for these, ending in a line end.
  for (const HRESULT result : {E_INVALIDARG, E_OUTOFMEMORY}) {
    const std::optional<std::string> system = SystemMessageText(result);
    ASSERT_TRUE(system) << Hex(result);
    const _com_error error(result);
    ASSERT_NE(nullptr, error.MessageText()) << Hex(result);
    EXPECT_EQ(*system, error.MessageText()) << Hex(result);
    EXPECT_EQ(std::string(error.MessageText()).find_first_of("\r\n"), std::string::npos) << Hex(result);
  }
}

// The tests' HRESULT check names both results in hex, each with its text.
TEST(HResultCheck, AMismatchNamesBothResultsWithTheirSystemText) {
  const std::string invalid = "0x80070057 (" + *SystemMessageText(E_INVALIDARG) + ")";
  EXPECT_NONFATAL_FAILURE(EXPECT_HR(S_OK, E_INVALIDARG), "E_INVALIDARG is " + invalid);
  EXPECT_NONFATAL_FAILURE(EXPECT_HR(E_INVALIDARG, S_OK), "expected E_INVALIDARG = " + invalid);
  EXPECT_HR(E_INVALIDARG, E_INVALIDARG);
}

// Where the system has no text; the platform's own text where it has one.
TEST(ComErrorMessageText, FallbacksWhenTheSystemHasNoText) {
  struct Case {
    HRESULT result;
    const char* fallback;
  } cases[] = {
      {static_cast<HRESULT>(0x80040200), "Unknown error 0x80040200"},
      {static_cast<HRESULT>(0x80040201), "IDispatch error #1"},
      {static_cast<HRESULT>(0x8004FFFF), "IDispatch error #65023"},
      {static_cast<HRESULT>(0xA0001234), "Unknown error 0xA0001234"},
      {DISP_E_TYPEMISMATCH, "Unknown error 0x80020005"},
      {DISP_E_OVERFLOW, "Unknown error 0x8002000A"},
      {static_cast<HRESULT>(0x80042005), "IDispatch error #7685"},
  };
  for (const Case& c : cases) {
    const _com_error error(c.result);
    ASSERT_NE(nullptr, error.MessageText()) << Hex(c.result);
    EXPECT_EQ(SystemMessageText(c.result).value_or(c.fallback), error.MessageText()) << Hex(c.result);
  }
}

TEST(ComErrorMessageText, MadeOnceAndKept) {
  const _com_error error(E_INVALIDARG);
  const char* first = error.MessageText();
  EXPECT_EQ(first, error.MessageText());
  const _com_error fallback(static_cast<HRESULT>(0x80040201));
  const char* made = fallback.MessageText();
  EXPECT_EQ(made, fallback.MessageText());
}

TEST(ComErrorCopy, MakesItsOwnMessage) {
  const std::string invalid = SystemMessageText(E_INVALIDARG).value_or("");
  ASSERT_FALSE(invalid.empty());
  auto original = std::make_unique<_com_error>(E_INVALIDARG);
  const char* originalText = original->MessageText();
  const _com_error copy(*original);
  EXPECT_HR(E_INVALIDARG, copy.Error());
  const char* copyText = copy.MessageText();
  EXPECT_NE(originalText, copyText);
  EXPECT_EQ(invalid, copyText);
  original.reset();
  EXPECT_EQ(invalid, copy.MessageText());

  _com_error assigned(E_FAIL);
  const char* before = assigned.MessageText();
  assigned = copy;
  EXPECT_HR(E_INVALIDARG, assigned.Error());
  EXPECT_EQ(invalid, assigned.MessageText());
  EXPECT_NE(before, nullptr);
}

// Counts the references the exception holds on its error information.
class CountedErrorInfo final : public IErrorInfo {
 public:
  STDMETHODIMP QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
  STDMETHODIMP_(ULONG) AddRef() override { return ++count; }
  STDMETHODIMP_(ULONG) Release() override { return --count; }
  STDMETHODIMP GetGUID(GUID*) override { return E_NOTIMPL; }
  STDMETHODIMP GetSource(BSTR*) override { return E_NOTIMPL; }
  STDMETHODIMP GetDescription(BSTR*) override { return E_NOTIMPL; }
  STDMETHODIMP GetHelpFile(BSTR*) override { return E_NOTIMPL; }
  STDMETHODIMP GetHelpContext(DWORD*) override { return E_NOTIMPL; }
  ULONG count = 1;
};

TEST(ComErrorCopy, HoldsOneReferenceToTheErrorInformationPerException) {
  CountedErrorInfo info;
  {
    const _com_error error(E_FAIL, &info);
    EXPECT_EQ(2u, info.count);
    EXPECT_EQ(&info, error.ErrorInfo());
    {
      const _com_error copy(error);
      EXPECT_EQ(3u, info.count);
      EXPECT_EQ(&info, copy.ErrorInfo());
    }
    EXPECT_EQ(2u, info.count);
    _com_error other(E_INVALIDARG);
    other = error;
    EXPECT_EQ(3u, info.count);
    other = _com_error(E_INVALIDARG);
    EXPECT_EQ(2u, info.count);
  }
  EXPECT_EQ(1u, info.count);
  EXPECT_EQ(nullptr, _com_error(E_FAIL).ErrorInfo());
}

TEST(ComErrorRaise, ThrowsByDefault) {
  try {
    ryn::RaiseComError(DISP_E_OVERFLOW);
    FAIL() << "RaiseComError returned";
  } catch (const _com_error& error) {
    EXPECT_HR(DISP_E_OVERFLOW, error.Error());
  }
}

HRESULT lastRaised = S_OK;

struct Raised {
  HRESULT result;
};

void RecordingRaiser(HRESULT result, IErrorInfo*) {
  lastRaised = result;
  throw Raised{result};
}

TEST(ComErrorRaise, GoesThroughTheProcessWideRoutine) {
  const ryn::ComErrorRaiser previous = ryn::SetComErrorRaiser(&RecordingRaiser);
  EXPECT_EQ(&ryn::ThrowComError, previous);
  EXPECT_THROW(ryn::RaiseComError(E_OUTOFMEMORY), Raised);
  EXPECT_HR(E_OUTOFMEMORY, lastRaised);
  EXPECT_EQ(&RecordingRaiser, ryn::SetComErrorRaiser(previous));
}

TEST(ComErrorLastError, Win32ErrorBecomesAResult) {
  SetLastError(ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(static_cast<HRESULT>(0x80070002), ryn::HResultFromLastError());
  SetLastError(0);
  EXPECT_HR(S_OK, ryn::HResultFromLastError());
  SetLastError(0x80001234);
  EXPECT_EQ(static_cast<HRESULT>(0x80001234), ryn::HResultFromLastError());
}

}  // namespace

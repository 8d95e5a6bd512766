#include "component/ErrorReporting.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "component/ComTestSupport.h"
#include "ryn_h.h"

namespace {

using comtest::TakeErrorObject;

class ErrorReporting : public ::testing::Test {
 protected:
  void SetUp() override { SetErrorInfo(0, nullptr); }
};

TEST_F(ErrorReporting, ErrorObjectNamesTheInterfaceAndTheRegisteredProgId) {
  SetErrorObject("Could not set the parameter");
  const comtest::ErrorObject error = TakeErrorObject();
  ASSERT_TRUE(error.present);
  EXPECT_TRUE(IsEqualGUID(IID_IVelComponent, error.guid));
  EXPECT_EQ(L"Ryn.VelRyn.1", error.source);
  EXPECT_EQ(L"Could not set the parameter", error.description);
}

TEST_F(ErrorReporting, MissingTextIsAnUnknownError) {
  SetErrorObject(nullptr);
  EXPECT_EQ(L"Unknown Error", TakeErrorObject().description);
}

TEST_F(ErrorReporting, TextIsConvertedWithTheConversionCodePage) {
  SetErrorObject("caf\xc3\xa9");
  const std::wstring description = TakeErrorObject().description;
  wchar_t expected[8] = {};
  ASSERT_NE(0, MultiByteToWideChar(CP_THREAD_ACP, 0, "caf\xc3\xa9", -1, expected, 8));
  EXPECT_EQ(expected, description);
}

TEST_F(ErrorReporting, EveryFailureOfABodyBecomesAResult) {
  EXPECT_HR(S_OK, ReportFailures([] {}));
  EXPECT_FALSE(TakeErrorObject().present);

  EXPECT_EQ(static_cast<HRESULT>(0x80042009), ReportFailures([] { throw CVelException(ERR_DIRECTX_INIT); }));
  EXPECT_EQ(L"Could not initialize DirectX", TakeErrorObject().description);

  EXPECT_EQ(static_cast<HRESULT>(0x8004200A), ReportFailures([] { throw CVelException(8202); }));
  EXPECT_EQ(L"General application error", TakeErrorObject().description);

  EXPECT_HR(E_INVALIDARG, ReportFailures([] { throw ryn::_com_error(E_INVALIDARG); }));
  EXPECT_EQ(comtest::ExpectedDescription(E_INVALIDARG, L"Unknown error 0x80070057"), TakeErrorObject().description);

  EXPECT_HR(E_OUTOFMEMORY, ReportFailures([] { throw std::bad_alloc(); }));
  EXPECT_EQ(comtest::ExpectedDescription(E_OUTOFMEMORY, L"Unknown error 0x8007000E"), TakeErrorObject().description);

  EXPECT_HR(E_FAIL, ReportFailures([] { throw std::runtime_error("unexpected"); }));
  EXPECT_TRUE(TakeErrorObject().present);
  EXPECT_HR(E_FAIL, ReportFailures([] { throw 42; }));
}

}  // namespace

#include "component/ComValues.h"

#include <gtest/gtest.h>

#include "component/ComError.h"
#include "component/ComTestSupport.h"

namespace {

using comtest::Variant;

TEST(UniqueBstr, CopyKeepsTheWholeLength) {
  const comtest::Bstr source(L"DELAY\0X", 7);
  const UniqueBstr copy = UniqueBstr::CopyOf(source.get());
  ASSERT_NE(nullptr, copy.get());
  EXPECT_NE(source.get(), copy.get());
  EXPECT_EQ(7u, copy.Length());
  EXPECT_FALSE(copy.Equals(L"DELAY"));
  EXPECT_EQ(nullptr, UniqueBstr::CopyOf(nullptr).get());
}

TEST(UniqueBstr, EqualsIsExactAndCaseSensitive) {
  const comtest::Bstr delay(L"DELAY");
  const UniqueBstr copy = UniqueBstr::CopyOf(delay.get());
  EXPECT_TRUE(copy.Equals(L"DELAY"));
  EXPECT_FALSE(copy.Equals(L"delay"));
  EXPECT_FALSE(copy.Equals(L"DELAYS"));
  EXPECT_FALSE(copy.Equals(L"DELA"));
  EXPECT_FALSE(UniqueBstr().Equals(L"DELAY"));
  const comtest::Bstr empty(L"");
  EXPECT_FALSE(UniqueBstr::CopyOf(empty.get()).Equals(L"DELAY"));
}

TEST(UniqueVariant, ToInt32ConvertsWhatThePlatformConverts) {
  EXPECT_EQ(42, UniqueVariant::CopyOf(Variant::I4(42).get()).ToInt32());
  EXPECT_EQ(-3, UniqueVariant::CopyOf(Variant::I2(-3).get()).ToInt32());
  EXPECT_EQ(75, UniqueVariant::CopyOf(Variant::R8(75.4).get()).ToInt32());
  EXPECT_EQ(50, UniqueVariant::CopyOf(Variant::Text(L"50").get()).ToInt32());
  EXPECT_EQ(0, UniqueVariant::CopyOf(Variant::OfType(VT_EMPTY).get()).ToInt32());

  LONG referenced = 120;
  VARIANT byReference;
  V_VT(&byReference) = VT_I4 | VT_BYREF;
  V_I4REF(&byReference) = &referenced;
  EXPECT_EQ(120, UniqueVariant::CopyOf(byReference).ToInt32());
}

TEST(UniqueVariant, FailedConversionRaisesItsResult) {
  struct Case {
    const char* what;
    Variant value;
    HRESULT result;
  } cases[] = {
      {"letters", Variant::Text(L"abc"), DISP_E_TYPEMISMATCH},
      {"null", Variant::OfType(VT_NULL), DISP_E_TYPEMISMATCH},
      {"too large", Variant::R8(1e12), DISP_E_OVERFLOW},
  };
  for (Case& c : cases) {
    const UniqueVariant value = UniqueVariant::CopyOf(c.value.get());
    try {
      value.ToInt32();
      ADD_FAILURE() << c.what << ": no error";
    } catch (const ryn::_com_error& error) {
      EXPECT_HR(c.result, error.Error()) << c.what;
    }
  }
}

TEST(UniqueVariant, FailedCopyRaisesItsResult) {
  Variant broken = Variant::OfType(0x7FFF);
  try {
    UniqueVariant::CopyOf(broken.get());
    ADD_FAILURE() << "no error";
  } catch (const ryn::_com_error& error) {
    EXPECT_HR(DISP_E_BADVARTYPE, error.Error());
  }
  V_VT(&broken.get()) = VT_EMPTY;
}

}  // namespace

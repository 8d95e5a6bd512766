#include "engine/VelException.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace {

struct CodeRow {
  std::int32_t code;
  std::uint32_t result;
  const char* text;
};

const CodeRow kRows[] = {
    {ERR_CAPTURE_BUSY, 0x80042001u, "The capturing device is busy"},
    {ERR_SECONDARY_BUFFER, 0x80042002u, "Could not create secondary DirectX buffer"},
    {ERR_CAPTURE_BUFFER, 0x80042003u, "Could not create DirectX capture buffer"},
    {ERR_NOTIFICATIONS, 0x80042004u, "Could not set DirectX notifications"},
    {ERR_UNSUPPORTED_PARAMETER, 0x80042005u, "Unsupported parameter"},
    {ERR_INVALID_PARAMETER, 0x80042006u, "Invalid parameter"},
    {ERR_SET_PARAMETER, 0x80042007u, "Could not set the parameter"},
    {ERR_PRIMARY_BUFFER, 0x80042008u, "Could not create DirectX primary buffer"},
    {ERR_DIRECTX_INIT, 0x80042009u, "Could not initialize DirectX"},
};

TEST(VelException, EveryEngineCodeHasItsResultAndText) {
  for (const CodeRow& row : kRows) {
    const CVelException error(row.code);
    EXPECT_EQ(static_cast<std::uint32_t>(error.GetHResult()), row.result) << "code " << row.code;
    EXPECT_STREQ(error.GetDescription(), row.text) << "code " << row.code;
  }
}

TEST(VelException, CodesOutsideTheTableFallToTheGeneralText) {
  const CVelException below(8192);
  const CVelException above(8202);
  EXPECT_STREQ(below.GetDescription(), "General application error");
  EXPECT_STREQ(above.GetDescription(), "General application error");
  EXPECT_EQ(static_cast<std::uint32_t>(below.GetHResult()), 0x80042000u);
  EXPECT_EQ(static_cast<std::uint32_t>(above.GetHResult()), 0x8004200Au);
  EXPECT_STREQ(CVelException(0).GetDescription(), "General application error");
  EXPECT_STREQ(CVelException(-1).GetDescription(), "General application error");
}

TEST(VelException, ResultIsAPlainOrWithoutRangeCheck) {
  EXPECT_EQ(static_cast<std::uint32_t>(CVelException(0).GetHResult()), 0x80040000u);
  EXPECT_EQ(static_cast<std::uint32_t>(CVelException(0x12345).GetHResult()), 0x80052345u);
}

TEST(VelException, CopyReportsTheSameCodeResultAndText) {
  const CVelException original(ERR_NOTIFICATIONS);
  const CVelException copy(original);
  EXPECT_EQ(copy.GetCode(), original.GetCode());
  EXPECT_EQ(copy.GetHResult(), original.GetHResult());
  EXPECT_STREQ(copy.GetDescription(), original.GetDescription());
}

}  // namespace

#pragma once

// EXPECT_HR / ASSERT_HR compare two HRESULTs; a mismatch prints both in hex
// with the system's text for each, so a failure says what came back without
// a rerun under a debugger.

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

// "0x80070057".
inline std::string Hex(HRESULT hr) {
  char text[16];
  std::snprintf(text, sizeof(text), "0x%08lX", static_cast<unsigned long>(hr));
  return text;
}

// "0x80070057 (The parameter is incorrect.)", or the hex alone for codes the
// system has no text for.
inline std::string DescribeHResult(HRESULT hr) {
  char* text = nullptr;
  const DWORD length = FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
      static_cast<DWORD>(hr), 0, reinterpret_cast<char*>(&text), 0, nullptr);
  std::string described = Hex(hr);
  if (length > 0 && text != nullptr) {
    std::string message(text, length);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' || message.back() == ' ')) {
      message.pop_back();
    }
    described += " (" + message + ")";
  }
  if (text != nullptr) LocalFree(text);
  return described;
}

inline ::testing::AssertionResult SameHResult(const char* expectedExpression, const char* actualExpression,
                                              HRESULT expected, HRESULT actual) {
  if (expected == actual) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << actualExpression << " is " << DescribeHResult(actual) << ", expected "
                                       << expectedExpression << " = " << DescribeHResult(expected);
}

// The expressions are quoted here, before S_OK and its kind expand into casts.
#define EXPECT_HR(expected, actual) \
  GTEST_ASSERT_(::SameHResult(#expected, #actual, expected, actual), GTEST_NONFATAL_FAILURE_)
#define ASSERT_HR(expected, actual) \
  GTEST_ASSERT_(::SameHResult(#expected, #actual, expected, actual), GTEST_FATAL_FAILURE_)

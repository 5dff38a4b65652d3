// What the tests of the update service's host share: its names, its program, and a fixture that
// deletes the service's registration before and after each test (also one that an interrupted
// run left behind).
#pragma once

#include "testsupport.h"

#include <gtest/gtest.h>

#include <string>

namespace ustest {

inline const wchar_t kServiceName[] = L"CINDRAVALEUS";
inline const char kDisplayName[] = "Cindravale Client Update Service";
inline const char kBanner[] = "\r\nInstalling [Cindravale Client Update Service (25.10.0.74)].\r\n";

inline std::wstring Program() { return test::ProgramPath(L"CindravaleUS"); }

class UpdateServiceHost : public ::testing::Test {
 protected:
  void SetUp() override { test::DeleteServiceIfPresent(kServiceName); }
  void TearDown() override { test::DeleteServiceIfPresent(kServiceName); }
};

}  // namespace ustest

// Names and texts that the service control manager and the event log show for both services.
#include "servicehost.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(ServiceNames, ServiceNameIsTheUpperCaseBaseName) {
  struct Case {
    const char* path;
    const char* name;
  } cases[] = {
      {"C:\\Program Files\\Vennacor\\CindravaleUS.exe", "CINDRAVALEUS"},
      {"C:/Program Files/Vennacor/CindravaleSVC.exe", "CINDRAVALESVC"},
      {"C:\\x\\Name.With.Dots.exe", "NAME.WITH.DOTS"},  // only the last extension goes
      {"C:\\x\\noextension", "NOEXTENSION"},
      {"C:\\dotted.folder\\prog", "PROG"},              // a dot in a folder is not an extension
      {"C:\\x\\\xC3\xA9t\xC3\xA9.exe", "\xC3\x89T\xC3\x89"},  // non-ASCII letters by the Windows mapping
  };
  for (const Case& c : cases) EXPECT_EQ(std::string(ServiceNameFromPath(Str(c.path)).c_str()), c.name) << c.path;
}

TEST(ServiceNames, NamesAreCutTo255Characters) {
  std::string longName(300, 'a');
  Str name = ServiceNameFromPath(Str(("C:\\" + longName + ".exe").c_str()));
  EXPECT_EQ(name.Length(), 255u);
  EXPECT_EQ(std::string(name.c_str()), std::string(255, 'A'));

  std::string words(300, 'w');
  EXPECT_EQ(DisplayNameFor(words.c_str()).Length(), 255u);
  EXPECT_EQ(std::string(DisplayNameFor("Client Update Service").c_str()), "Cindravale Client Update Service");
}

TEST(ServiceNames, ImagePathIsQuotedOnlyWhenItHoldsABlank) {
  struct Case {
    const char* programPath;
    const char* imagePath;
  } cases[] = {
      {"C:\\Program Files\\Vennacor\\CindravaleUS.exe", "\"C:\\Program Files\\Vennacor\\CindravaleUS.exe\""},
      {"C:\\Vennacor\\Cindravale US.exe", "\"C:\\Vennacor\\Cindravale US.exe\""},  // a blank in the file name
      {"C:\\Vennacor\\CindravaleUS.exe", "C:\\Vennacor\\CindravaleUS.exe"},          // as registered before
  };
  for (const Case& c : cases)
    EXPECT_EQ(std::string(ServiceImagePath(Str(c.programPath)).c_str()), c.imagePath) << c.programPath;
}

TEST(ServiceNames, FunctionFailureTextEndsInExactlyOneFullStop) {
  // ERROR_SERVICE_EXISTS has a system text; its wording differs between Windows and Wine.
  std::string text = FunctionFailureText("CreateService", ERROR_SERVICE_EXISTS).c_str();
  EXPECT_EQ(text.rfind("Function [CreateService] failed with code [00000431]: ", 0), 0u) << text;
  EXPECT_EQ(text.back(), '.');
  EXPECT_NE(text.substr(text.size() - 2), "..");
  // A code without a system text still ends with the full stop.
  EXPECT_EQ(std::string(FunctionFailureText("X", 0x2000FFFF).c_str()).substr(0, 40),
            "Function [X] failed with code [2000FFFF]");
  EXPECT_EQ(std::string(FunctionFailureText("X", 0x2000FFFF).c_str()).back(), '.');
}

}  // namespace

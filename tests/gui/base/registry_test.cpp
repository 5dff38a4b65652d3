// Registry paths and value operations against real keys of the prefix. Several test programs
// share one prefix at the same time, so every key name carries this process's id.
#include "registry.h"

#include "testsupport.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

namespace {

std::string Unique(const char* stem) {
  return std::string(stem) + "-" + std::to_string(::GetCurrentProcessId()) + "-" +
         testing::UnitTest::GetInstance()->current_test_info()->name();
}

// ---------------------------------------------------------------------------------------------
// Parsing

struct ParseCase {
  const char* path;
  const char* subkey;
  const char* machine;
  const char* root;
  const char* key;
};

class ParsePath : public testing::TestWithParam<ParseCase> {};

TEST_P(ParsePath, SplitsMachineRootAndSubkey) {
  const ParseCase& c = GetParam();
  RegistryPath parsed = ParseRegistryPath(Str(c.path), Str(c.subkey));
  EXPECT_STREQ(c.machine, parsed.machine.c_str()) << c.path;
  EXPECT_STREQ(c.root, parsed.root.c_str()) << c.path;
  if (*c.root) {
    EXPECT_STREQ(c.key, parsed.subkey.c_str()) << c.path;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Syntax, ParsePath,
    testing::Values(
        ParseCase{"HKEY_LOCAL_MACHINE\\Software\\X", "", "", "HKEY_LOCAL_MACHINE", "Software\\X"},
        ParseCase{"HKEY_LOCAL_MACHINE\\Software\\X\\", "", "", "HKEY_LOCAL_MACHINE", "Software\\X"},
        ParseCase{"HKEY_LOCAL_MACHINE", "", "", "HKEY_LOCAL_MACHINE", ""},
        ParseCase{"HKEY_LOCAL_MACHINE\\", "", "", "HKEY_LOCAL_MACHINE", ""},
        ParseCase{"HKEY_LOCAL_MACHINE\\Software", "Sub\\Key\\", "", "HKEY_LOCAL_MACHINE", "Software\\Sub\\Key"},
        ParseCase{"HKEY_LOCAL_MACHINE", "Software", "", "HKEY_LOCAL_MACHINE", "Software"},
        ParseCase{"", "HKEY_USERS\\.DEFAULT", "", "HKEY_USERS", ".DEFAULT"},
        ParseCase{"HKEY_CLASSES_ROOT\\CLSID", "", "", "HKEY_CLASSES_ROOT", "CLSID"},
        ParseCase{"HKEY_CURRENT_CONFIG", "", "", "HKEY_CURRENT_CONFIG", ""},
        ParseCase{"HKEY_PERFORMANCE_DATA", "", "", "HKEY_PERFORMANCE_DATA", ""},
        ParseCase{"HKEY_DYN_DATA", "", "", "HKEY_DYN_DATA", ""},
        // root names are exact, letter case included
        ParseCase{"hkey_local_machine\\Software", "", "", "", ""},
        ParseCase{"HKLM\\Software", "", "", "", ""},
        ParseCase{"HKEY_LOCAL_MACHINEX\\Software", "", "", "", ""},
        ParseCase{"", "", "", "", ""},
        // machines: "." is this machine, an empty name or a missing root is no path
        ParseCase{"\\\\.\\HKEY_LOCAL_MACHINE\\Software\\X", "", "", "HKEY_LOCAL_MACHINE", "Software\\X"},
        ParseCase{"\\\\buildhost\\HKEY_USERS", "", "buildhost", "HKEY_USERS", ""},
        ParseCase{"\\\\\\HKEY_USERS", "", "", "", ""},
        ParseCase{"\\\\buildhost", "", "", "", ""},
        // virtual roots
        ParseCase{"HKEY_COMPANY\\Update", "", "", "HKEY_CURRENT_USER", "Software\\Vennacor\\Update"},
        ParseCase{"HKEY_COMPANY", "", "", "HKEY_CURRENT_USER", "Software\\Vennacor"},
        ParseCase{"HKEY_ENVIRONMENT\\LOGTYPE", "", "", "HKEY_CURRENT_USER", "Software\\Vennacor\\Environment\\LOGTYPE"},
        ParseCase{"HKEY_ENVIRONMENT", "THRESHOLD", "", "HKEY_CURRENT_USER", "Software\\Vennacor\\Environment\\THRESHOLD"},
        ParseCase{"HKEY_APPLICATION\\Window", "", "", "HKEY_CURRENT_USER", "Software\\Vennacor\\REGISTRY_TEST\\Window"},
        ParseCase{"hkey_company\\Update", "", "", "", ""}));

TEST(ParsePath, ThisMachinesOwnNameIsTheLocalRegistry) {
  wchar_t own[256];
  DWORD n = 256;
  ASSERT_TRUE(::GetComputerNameExW(ComputerNameNetBIOS, own, &n));
  std::string path = "\\\\" + test::Narrow(own) + "\\HKEY_LOCAL_MACHINE\\Software";
  RegistryPath parsed = ParseRegistryPath(Str(path.c_str()));
  EXPECT_TRUE(parsed.machine.IsEmpty());
  EXPECT_STREQ("HKEY_LOCAL_MACHINE", parsed.root.c_str());
  // Wine's RegConnectRegistryW refuses "\\." (53); the local root must be used without it.
  RegistryKey key;
  EXPECT_TRUE(OpenRegistryKey(Str("\\\\.\\HKEY_LOCAL_MACHINE\\Software"), RegistryRead, RegistryViewDefault, &key));
  EXPECT_TRUE(OpenRegistryKey(Str(path.c_str()), RegistryRead, RegistryViewDefault, &key));
}

TEST(OpenRegistryKey, AnotherMachineGoesThroughTheRemoteRegistry) {
  // Wine has no remote registry and answers ERROR_BAD_NETPATH at once; Windows tries the
  // network. Either way the failure is the connect call's own error.
  RegistryKey key;
  ::SetLastError(0);
  EXPECT_FALSE(OpenRegistryKey(Str("\\\\cindravale-no-such-host\\HKEY_LOCAL_MACHINE\\Software"), RegistryRead,
                               RegistryViewDefault, &key));
  EXPECT_NE(0u, ::GetLastError());
  EXPECT_FALSE(key.IsValid());
}

TEST(OpenRegistryKey, RootWithoutSubkeyIsThePredefinedKeyAndIsNotClosed) {
  RegistryKey key;
  ASSERT_TRUE(OpenRegistryKey(Str("HKEY_LOCAL_MACHINE"), RegistryRead, RegistryViewDefault, &key));
  EXPECT_EQ(HKEY_LOCAL_MACHINE, key.Get());
  EXPECT_FALSE(key.MustClose());
  ASSERT_TRUE(OpenRegistryKey(Str("HKEY_LOCAL_MACHINE\\Software"), RegistryRead, RegistryViewDefault, &key));
  EXPECT_TRUE(key.MustClose());
  ::SetLastError(0);
  EXPECT_FALSE(OpenRegistryKey(Str("hkey_local_machine\\Software"), RegistryRead, RegistryViewDefault, &key));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), ::GetLastError());
  EXPECT_FALSE(key.IsValid());
}

// ---------------------------------------------------------------------------------------------
// Values below a per-test key of HKEY_CURRENT_USER

class RegistryValues : public testing::Test {
 protected:
  void SetUp() override {
    relative_ = "Software\\CindravaleTest\\" + Unique("values");
    path_ = "HKEY_CURRENT_USER\\" + relative_;
  }
  void TearDown() override { ::RegDeleteTreeW(HKEY_CURRENT_USER, test::Widen(relative_).c_str()); }

  Str Path() const { return Str(path_.c_str()); }
  // Stores raw data the way another program might have left it.
  void Raw(const wchar_t* name, DWORD type, const void* data, DWORD size) {
    RegKey key;
    ASSERT_EQ(ERROR_SUCCESS, ::RegCreateKeyExW(HKEY_CURRENT_USER, test::Widen(relative_).c_str(), 0, nullptr, 0,
                                               KEY_ALL_ACCESS, nullptr, key.Receive(), nullptr));
    ASSERT_EQ(ERROR_SUCCESS, ::RegSetValueExW(key.Get(), name, 0, type, static_cast<const BYTE*>(data), size));
  }

  std::string relative_;
  std::string path_;
};

TEST_F(RegistryValues, TextAndNumbersRoundTrip) {
  const char* text = "Gr\xC3\xBC\xC3\x9F" "e \xE2\x82\xAC";
  ASSERT_TRUE(WriteRegistryText(Path(), Str("Sub"), Str("Text"), Str(text)));
  EXPECT_STREQ(text, ReadRegistryText(Path(), Str("Sub"), Str("Text"), Str("default")).c_str());
  EXPECT_STREQ(text, ReadRegistryText(Concat(Path(), Str("\\Sub\\")), Str(), Str("Text"), Str()).c_str());

  ASSERT_TRUE(WriteRegistryNumber(Path(), Str(), Str("Dword"), 0xFFFFFFFEu, RegistryNumberDword));
  ASSERT_TRUE(WriteRegistryNumber(Path(), Str(), Str("Decimal"), 4000, RegistryNumberText));
  EXPECT_EQ(0xFFFFFFFEu, ReadRegistryNumber(Path(), Str(), Str("Dword"), 7, RegistryNumberDword));
  EXPECT_EQ(4000u, ReadRegistryNumber(Path(), Str(), Str("Decimal"), 7, RegistryNumberText));
  EXPECT_STREQ("4000", ReadRegistryText(Path(), Str(), Str("Decimal"), Str()).c_str());
  EXPECT_TRUE(RegistryValueExists(Path(), Str("Dword")));
  EXPECT_FALSE(RegistryValueExists(Path(), Str("Missing")));
}

TEST_F(RegistryValues, NumbersInTheWrongFormGiveTheDefault) {
  DWORD one = 1;
  Raw(L"Dword", REG_DWORD, &one, 4);
  Raw(L"Text1", REG_SZ, L"1", 4);
  Raw(L"Blanks", REG_SZ, L" 42 ", 10);
  Raw(L"TooBig", REG_SZ, L"4294967296", 22);
  Raw(L"Negative", REG_SZ, L"-1", 6);
  Raw(L"Word", REG_SZ, L"12abc", 12);
  uint64_t wide = 5;
  Raw(L"Qword", REG_QWORD, &wide, 8);
  struct {
    const char* name;
    RegistryNumberForm form;
    uint32_t expected;
  } cases[] = {
      {"Text1", RegistryNumberDword, 99}, {"Text1", RegistryNumberText, 1},  {"Dword", RegistryNumberDword, 1},
      {"Dword", RegistryNumberText, 99},  {"Blanks", RegistryNumberText, 42}, {"TooBig", RegistryNumberText, 99},
      {"Negative", RegistryNumberText, 99}, {"Word", RegistryNumberText, 99}, {"Qword", RegistryNumberDword, 99},
      {"Missing", RegistryNumberDword, 99}, {"Missing", RegistryNumberText, 99},
  };
  for (const auto& c : cases)
    EXPECT_EQ(c.expected, ReadRegistryNumber(Path(), Str(), Str(c.name), 99, c.form)) << c.name << " form " << c.form;
}

TEST_F(RegistryValues, TextIsReadFromStringExpandAndBinaryValuesOnly) {
  Raw(L"Expand", REG_EXPAND_SZ, L"%SystemRoot%\\x.dll", 38);
  // Another program may store text without its terminator, or with an odd size.
  Raw(L"Unterminated", REG_SZ, L"abcXXXX", 6);
  Raw(L"Binary", REG_BINARY, L"hi!", 6);
  Raw(L"Odd", REG_SZ, "a\0b\0c", 5);
  DWORD number = 3;
  Raw(L"Dword", REG_DWORD, &number, 4);
  Raw(L"Empty", REG_SZ, L"", 2);
  Raw(L"BadUtf16", REG_SZ, L"\xD800x", 6);

  wchar_t root[MAX_PATH];
  ASSERT_GT(::GetEnvironmentVariableW(L"SystemRoot", root, MAX_PATH), 0u);
  std::string expanded = test::Narrow(root) + "\\x.dll";
  struct {
    const char* name;
    std::string expected;
  } cases[] = {
      {"Expand", expanded}, {"Unterminated", "abc"}, {"Binary", "hi!"}, {"Odd", "ab"},
      {"Dword", "default"}, {"Empty", ""},           {"BadUtf16", "default"}, {"Missing", "default"},
  };
  for (const auto& c : cases)
    EXPECT_STREQ(c.expected.c_str(), ReadRegistryText(Path(), Str(), Str(c.name), Str("default")).c_str()) << c.name;
}

TEST_F(RegistryValues, ADefaultValueWithoutTextCountsAsMissing) {
  // A default value of fewer than 2 bytes holds no text, not even a terminator.
  Raw(L"", REG_SZ, L"", 0);
  EXPECT_FALSE(RegistryValueExists(Path(), Str()));
  ::SetLastError(0);
  EXPECT_STREQ("default", ReadRegistryText(Path(), Str(), Str(), Str("default")).c_str());
  EXPECT_EQ(static_cast<DWORD>(ERROR_NOT_FOUND), ::GetLastError());
  Raw(L"", REG_BINARY, "", 0);
  EXPECT_FALSE(RegistryValueExists(Path(), Str()));
  // A named value of no text is there and reads as the empty text.
  Raw(L"Named", REG_SZ, L"", 0);
  EXPECT_TRUE(RegistryValueExists(Path(), Str("Named")));
  EXPECT_STREQ("", ReadRegistryText(Path(), Str(), Str("Named"), Str("default")).c_str());

  ASSERT_TRUE(WriteRegistryText(Path(), Str(), Str(), Str("x")));
  EXPECT_TRUE(RegistryValueExists(Path(), Str()));
  EXPECT_STREQ("x", ReadRegistryText(Path(), Str(), Str(), Str("default")).c_str());
}

TEST_F(RegistryValues, PathsWithoutAKnownRootNeverReachTheRegistry) {
  std::string lower = "hkey_current_user\\" + relative_;
  ::SetLastError(0);
  EXPECT_FALSE(WriteRegistryText(Str(lower.c_str()), Str(), Str("V"), Str("x")));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), ::GetLastError());
  EXPECT_STREQ("default", ReadRegistryText(Str(lower.c_str()), Str(), Str("V"), Str("default")).c_str());
  EXPECT_EQ(5u, ReadRegistryNumber(Str(lower.c_str()), Str(), Str("V"), 5, RegistryNumberDword));
  RegistryKey key;
  EXPECT_FALSE(OpenRegistryKey(Path(), RegistryRead, RegistryViewDefault, &key)) << "nothing may have been created";
}

TEST_F(RegistryValues, IllFormedUtf8IsRefusedInsteadOfWrittenEmpty) {
  ::SetLastError(0);
  EXPECT_FALSE(WriteRegistryText(Path(), Str(), Str("V"), Str("\xC3")));
  EXPECT_EQ(static_cast<DWORD>(ERROR_NO_UNICODE_TRANSLATION), ::GetLastError());
  EXPECT_FALSE(WriteRegistryText(Path(), Str(), Str("\xFF"), Str("x")));
  EXPECT_FALSE(RegistryValueExists(Path(), Str()));
  EXPECT_FALSE(RegistryValueExists(Path(), Str("V")));
}

TEST_F(RegistryValues, TheLocalMachineByDotReadsTheSameKey) {
  ASSERT_TRUE(WriteRegistryText(Path(), Str(), Str("V"), Str("here")));
  std::string dotted = "\\\\.\\" + path_;
  EXPECT_STREQ("here", ReadRegistryText(Str(dotted.c_str()), Str(), Str("V"), Str()).c_str());
}

TEST_F(RegistryValues, SubkeysAreEnumeratedByIndex) {
  const char* names[] = {"alpha", "Beta", "\xC3\xA9t\xC3\xA9"};
  for (const char* name : names) ASSERT_TRUE(WriteRegistryText(Path(), Str(name), Str("V"), Str("x")));
  std::set<std::string> seen;
  for (uint32_t i = 0; i < 3; ++i) seen.insert(SubkeyNameAt(Path(), i).c_str());
  EXPECT_EQ((std::set<std::string>{"alpha", "Beta", "\xC3\xA9t\xC3\xA9"}), seen);
  EXPECT_TRUE(SubkeyNameAt(Path(), 3).IsEmpty());
  EXPECT_TRUE(SubkeyNameAt(Concat(Path(), Str("\\missing")), 0).IsEmpty());
}

TEST(VirtualRoots, CompanyRootIsBelowTheCurrentUsersVennacorKey) {
  std::string name = Unique("company");
  std::string virtualPath = "HKEY_COMPANY\\" + name;
  ASSERT_TRUE(WriteRegistryText(Str(virtualPath.c_str()), Str(), Str("V"), Str("company")));
  std::string real = "HKEY_CURRENT_USER\\Software\\Vennacor\\" + name;
  EXPECT_STREQ("company", ReadRegistryText(Str(real.c_str()), Str(), Str("V"), Str()).c_str());
  ::RegDeleteTreeW(HKEY_CURRENT_USER, test::Widen("Software\\Vennacor\\" + name).c_str());
}

// ---------------------------------------------------------------------------------------------
// GetEnvironmentSetting

TEST(GetEnvironmentSetting, TakesTheEnvironmentFirstThenTheRegistry) {
  std::string name = "CVTEST_" + std::to_string(::GetCurrentProcessId());
  std::wstring wideName = test::Widen(name);
  std::wstring key = L"Software\\Vennacor\\Environment\\" + wideName;
  Str setting(name.c_str());

  ::SetEnvironmentVariableW(wideName.c_str(), nullptr);
  EXPECT_TRUE(GetEnvironmentSetting(setting).IsEmpty()) << "neither exists";

  std::string registryPath = "HKEY_ENVIRONMENT\\" + name;
  ASSERT_TRUE(WriteRegistryText(Str(registryPath.c_str()), Str(), Str(), Str("from-registry")));
  EXPECT_STREQ("from-registry", GetEnvironmentSetting(setting).c_str());

  ::SetEnvironmentVariableW(wideName.c_str(), L"");
  EXPECT_STREQ("from-registry", GetEnvironmentSetting(setting).c_str()) << "an empty variable does not count";

  std::wstring longValue(1000, L'v');
  ::SetEnvironmentVariableW(wideName.c_str(), longValue.c_str());
  EXPECT_EQ(test::Narrow(longValue), GetEnvironmentSetting(setting).c_str());

  ::SetEnvironmentVariableW(wideName.c_str(), nullptr);
  ::RegDeleteTreeW(HKEY_CURRENT_USER, key.c_str());
  EXPECT_TRUE(GetEnvironmentSetting(Str()).IsEmpty());
}

// ---------------------------------------------------------------------------------------------
// Per-machine keys: views and the classes root

class MachineKeys : public testing::Test {
 protected:
  void TearDown() override {
    for (const std::wstring& key : cleanup_) ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, key.c_str());
    for (const std::wstring& key : userCleanup_) ::RegDeleteTreeW(HKEY_CURRENT_USER, key.c_str());
  }
  static bool Exists(HKEY root, const std::string& key) {
    RegKey opened;
    return ::RegOpenKeyExW(root, test::Widen(key).c_str(), 0, KEY_READ | KEY_WOW64_64KEY, opened.Receive()) ==
           ERROR_SUCCESS;
  }
  std::vector<std::wstring> cleanup_;
  std::vector<std::wstring> userCleanup_;
};

TEST_F(MachineKeys, TheThirtyTwoBitViewIsSeparateFromTheSixtyFourBitView) {
  std::string name = Unique("view");
  std::string path = "HKEY_LOCAL_MACHINE\\Software\\" + name;
  cleanup_ = {test::Widen("Software\\" + name), test::Widen("Software\\WOW6432Node\\" + name)};

  ASSERT_TRUE(WriteRegistryText(Str(path.c_str()), Str(), Str("V"), Str("32"), RegistryView32));
  EXPECT_STREQ("32", ReadRegistryText(Str(path.c_str()), Str(), Str("V"), Str(), RegistryView32).c_str());
  ::SetLastError(0);
  EXPECT_STREQ("none", ReadRegistryText(Str(path.c_str()), Str(), Str("V"), Str("none"), RegistryView64).c_str());
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), ::GetLastError());
  EXPECT_STREQ("none", ReadRegistryText(Str(path.c_str()), Str(), Str("V"), Str("none")).c_str())
      << "a 64-bit program's default view is the 64-bit one";
  std::string redirected = "HKEY_LOCAL_MACHINE\\Software\\WOW6432Node\\" + name;
  EXPECT_STREQ("32", ReadRegistryText(Str(redirected.c_str()), Str(), Str("V"), Str()).c_str());

  ASSERT_TRUE(WriteRegistryNumber(Str(path.c_str()), Str(), Str("N"), 64, RegistryNumberDword, RegistryView64));
  EXPECT_EQ(64u, ReadRegistryNumber(Str(path.c_str()), Str(), Str("N"), 0, RegistryNumberDword));
  EXPECT_EQ(0u, ReadRegistryNumber(Str(path.c_str()), Str(), Str("N"), 0, RegistryNumberDword, RegistryView32));
}

TEST_F(MachineKeys, ClassesAreCreatedPerMachineUnlessTheUserRegisteredTheUnit) {
  std::string machineClass = "{" + Unique("machine") + "}";
  std::string userClass = "{" + Unique("user") + "}";
  std::string plain = Unique("CindravaleTestType");
  cleanup_ = {test::Widen("Software\\Classes\\CLSID\\" + machineClass), test::Widen("Software\\Classes\\" + plain)};
  userCleanup_ = {test::Widen("Software\\Classes\\CLSID\\" + userClass)};

  // Nothing registered by the user: the machine's classes.
  std::string machinePath = "HKEY_CLASSES_ROOT\\CLSID\\" + machineClass + "\\InprocServer32";
  ASSERT_TRUE(WriteRegistryText(Str(machinePath.c_str()), Str(), Str(), Str("m.dll")));
  EXPECT_TRUE(Exists(HKEY_LOCAL_MACHINE, "Software\\Classes\\CLSID\\" + machineClass + "\\InprocServer32"));
  EXPECT_FALSE(Exists(HKEY_CURRENT_USER, "Software\\Classes\\CLSID\\" + machineClass));

  // The user's own registration of the class is extended where it is.
  RegKey user;
  ASSERT_EQ(ERROR_SUCCESS, ::RegCreateKeyExW(HKEY_CURRENT_USER, test::Widen("Software\\Classes\\CLSID\\" + userClass).c_str(),
                                             0, nullptr, 0, KEY_ALL_ACCESS, nullptr, user.Receive(), nullptr));
  std::string userPath = "HKEY_CLASSES_ROOT\\ClsId\\" + userClass + "\\InprocServer32";
  ASSERT_TRUE(WriteRegistryText(Str(userPath.c_str()), Str(), Str(), Str("u.dll")));
  EXPECT_TRUE(Exists(HKEY_CURRENT_USER, "Software\\Classes\\CLSID\\" + userClass + "\\InprocServer32"));
  EXPECT_FALSE(Exists(HKEY_LOCAL_MACHINE, "Software\\Classes\\CLSID\\" + userClass));

  // Outside the well-known subkeys the first component is the unit.
  std::string plainPath = "HKEY_CLASSES_ROOT\\" + plain + "\\shell\\open";
  ASSERT_TRUE(WriteRegistryText(Str(plainPath.c_str()), Str(), Str("V"), Str("x")));
  EXPECT_TRUE(Exists(HKEY_LOCAL_MACHINE, "Software\\Classes\\" + plain + "\\shell\\open"));
}

}  // namespace

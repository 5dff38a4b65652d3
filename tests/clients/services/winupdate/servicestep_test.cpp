// One update pass, run in-process against the machine's real drop and update folders, with
// packages signed at build time by the test root.
// ctest-property: RESOURCE_LOCK update-service
// ctest-property: FIXTURES_REQUIRED trusted-test-root
// ctest-property: TIMEOUT 300
#include "directories.h"
#include "files.h"
#include "paths.h"
#include "registry.h"
#include "servicestep.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>

namespace {

const char kPolicyKey[] = "HKEY_LOCAL_MACHINE\\Software\\Policies\\Vennacor\\NativeClient\\Cloud";
const char kSetupsKey[] = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Vennacor\\WebClient\\Setups\\Cloud";

using test::FixturePath;
std::string Utf8(const Str& s) { return s.c_str(); }

Str DropFolder() { return DropFolderPath(); }
Str UpdateFolder() { return UpdateFolderPath(); }
std::wstring InDrop(const std::string& name) { return test::Widen(Utf8(DropFolder())) + L"\\" + test::Widen(name); }
std::wstring InUpdate(const std::string& name) { return test::Widen(Utf8(UpdateFolder())) + L"\\" + test::Widen(name); }
bool Exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// Empties a folder of files and of the empty folders that tests of hostile drops leave when
// they are interrupted (a "dir.msi" would keep the drop folder from being removed).
void EmptyFolder(const Str& folder) {
  PathList files = ListFiles(folder, Str("*"));
  for (uint32_t i = 0; i < files.Length(); ++i) RemoveFile(files[i], true);
  const std::wstring wide = test::Widen(Utf8(folder));
  WIN32_FIND_DATAW entry;
  FindHandle find(FindFirstFileW((wide + L"\\*").c_str(), &entry));
  if (!find) return;
  do {
    const std::wstring name = entry.cFileName;
    if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && name != L"." && name != L"..")
      RemoveDirectoryW((wide + L"\\" + name).c_str());
  } while (FindNextFileW(find.Get(), &entry));
}

// The result line: started flag, local time to the second, code.
void ExpectResult(const std::string& name, int started, int code) {
  std::string line;
  ASSERT_TRUE(test::ReadFileBytes(InUpdate(name + ".result"), &line)) << name;
  EXPECT_TRUE(std::regex_match(line, std::regex("[01]\\|\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d: \\d")))
      << "'" << line << "'";
  EXPECT_EQ(line.substr(0, 2), std::to_string(started) + "|") << line;
  EXPECT_EQ(line.substr(line.size() - 3), ": " + std::to_string(code)) << line;
}

class UpdatePass : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!test::SigningFixturesPresent()) return;
    MakeDirectory(DropFolder(), true);
    MakeDirectory(UpdateFolder(), true);
    EmptyFolder(DropFolder());
    EmptyFolder(UpdateFolder());
    DeletePolicy();
  }
  void TearDown() override {
    DeletePolicy();
    EmptyFolder(DropFolder());
    EmptyFolder(UpdateFolder());
  }
  static void DeletePolicy() {
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, L"Software\\Policies\\Vennacor\\NativeClient\\Cloud");
  }
  // What the client does: the package first, then its announcement.
  static void Drop(const wchar_t* fixture, const std::string& name) {
    if (fixture) {
      ASSERT_TRUE(CopyFileW(FixturePath(fixture).c_str(), InDrop(name + ".msi").c_str(), FALSE));
    }
    ASSERT_TRUE(test::WriteFileBytes(InDrop(name + ".pending"), ""));
  }
};

TEST_F(UpdatePass, RejectedPackagesAreAnsweredAndRemoved) {
  struct Case {
    const wchar_t* fixture;  // null: announced without a package
    const char* name;
    int code;
  } cases[] = {
      {L"unsigned.msi", "unsigned", ResultUntrusted},
      {L"signed-other-publisher.msi", "other", ResultSignerFailed},
      {L"signed-case.msi", "lettercase", ResultSignerFailed},
      {L"signed-fullstop.msi", "fullstop", ResultSignerFailed},
      {nullptr, "nopackage", ResultNoPackage},
  };
  for (const Case& c : cases) Drop(c.fixture, c.name);
  ASSERT_TRUE(UpdateStep());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ExpectResult(c.name, 0, c.code);
    EXPECT_FALSE(Exists(InDrop(std::string(c.name) + ".pending")));
    EXPECT_FALSE(Exists(InDrop(std::string(c.name) + ".msi")));
    EXPECT_FALSE(Exists(InUpdate(std::string(c.name) + ".msi")));
  }
  // The package that was never there could not be deleted: its marker waits for the next pass.
  EXPECT_TRUE(Exists(InDrop("nopackage.removepending")));
  ASSERT_TRUE(UpdateStep());
  EXPECT_FALSE(Exists(InDrop("nopackage.removepending")));
}

// Where a fixture package of `variant` puts its payload, and what the payload says.
std::wstring PayloadPath(const char* variant) {
  return test::Widen(Utf8(GetDirectory(DirectoryProgramFiles))) + L"\\VennacorFixture\\" + test::Widen(variant) +
         L"\\payload.txt";
}
std::string PayloadText(const char* variant) { return std::string("Vennacor fixture payload: ") + variant + "\r\n"; }

// msiexec /qn /x of `package`; its exit code. Windows answers ERROR_INSTALL_ALREADY_RUNNING
// while another installation is still finishing: that is waited out for up to a minute.
DWORD Uninstall(const std::wstring& package) {
  const DWORD start = GetTickCount();
  for (;;) {
    test::ProcessResult run = test::RunProcess(L"msiexec.exe /qn /x \"" + package + L"\"", 60000);
    if (!run.finished) return WAIT_TIMEOUT;
    if (run.exitCode != ERROR_INSTALL_ALREADY_RUNNING || GetTickCount() - start > 60000) return run.exitCode;
    Sleep(500);
  }
}

// Uninstalls a package that the pass just had installed, until its payload is gone or a minute
// has passed; the last exit code. The installer the pass started may not have registered the
// product yet: Windows then answers ERROR_UNKNOWN_PRODUCT, Wine 0 and removes nothing.
DWORD UninstallJustInstalled(const std::wstring& package, const std::wstring& payload) {
  const DWORD start = GetTickCount();
  for (;;) {
    const DWORD code = Uninstall(package);
    if ((code != ERROR_SUCCESS && code != ERROR_UNKNOWN_PRODUCT) || !Exists(payload) ||
        GetTickCount() - start > 60000)
      return code;
    Sleep(500);
  }
}

// The prefix is reused from run to run: a fixture package that an earlier, interrupted run left
// installed (or only its payload) would make an installation look done before it began.
void RemoveEarlierInstallation(const wchar_t* fixture, const char* variant) {
  const DWORD code = Uninstall(FixturePath(fixture));
  EXPECT_TRUE(code == ERROR_SUCCESS || code == ERROR_UNKNOWN_PRODUCT) << "msiexec /x answered " << code;
  const std::wstring payload = PayloadPath(variant);
  DeleteFileW(payload.c_str());
  RemoveDirectoryW(payload.substr(0, payload.rfind(L'\\')).c_str());
  ASSERT_FALSE(Exists(payload));
}

bool WaitForPayload(const char* variant, DWORD timeoutMs) {
  const DWORD start = GetTickCount();
  std::string text;
  while (!(test::ReadFileBytes(PayloadPath(variant), &text) && text == PayloadText(variant))) {
    if (GetTickCount() - start > timeoutMs) return false;
    Sleep(200);
  }
  return true;
}

// The maker as the signer's organisation, or only as its organisational unit: the package is
// moved, recorded and installed either way.
TEST_F(UpdatePass, AcceptedSignersAreMovedRecordedAndInstalled) {
  struct Case {
    const wchar_t* fixture;
    const char* name;     // the name the client drops it under
    const char* variant;  // which payload its installation leaves
  } cases[] = {
      {L"signed-organisation.msi", "A.B", "organisation"},
      {L"signed-unit.msi", "unit", "unit"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string name = c.name;
    RemoveEarlierInstallation(c.fixture, c.variant);
    Drop(c.fixture, name);
    ASSERT_TRUE(UpdateStep());
    ExpectResult(name, 1, ResultStarted);
    EXPECT_FALSE(Exists(InDrop(name + ".msi")));
    EXPECT_FALSE(Exists(InDrop(name + ".pending")));
    ASSERT_TRUE(Exists(InUpdate(name + ".msi")));
    EXPECT_EQ(Utf8(ReadRegistryText(Str(kSetupsKey), Str(), Str("UpdateInstaller"), Str())),
              test::Narrow(InUpdate(name + ".msi")));

    // The installer runs on its own; its payload shows that it really installed this package.
    EXPECT_TRUE(WaitForPayload(c.variant, 60000));
    EXPECT_EQ(UninstallJustInstalled(InUpdate(name + ".msi"), PayloadPath(c.variant)),
              static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_FALSE(Exists(PayloadPath(c.variant))) << "still installed";
  }
}

TEST_F(UpdatePass, PolicyValueSwitchesThePassOff) {
  struct Case {
    DWORD type;
    std::string data;
    bool passRuns;
  } cases[] = {
      {REG_DWORD, std::string("\0\0\0\0", 4), false},
      {REG_SZ, std::string("1\0", 2), false},  // not a REG_DWORD: reads as 0
      {REG_DWORD, std::string("\2\0\0\0", 4), true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.type);
    RegKey key;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Policies\\Vennacor\\NativeClient\\Cloud", 0, nullptr, 0,
                              KEY_SET_VALUE, nullptr, key.Receive(), nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExW(key.Get(), L"AUTOUPDATE", 0, c.type, reinterpret_cast<const BYTE*>(c.data.data()),
                             static_cast<DWORD>(c.data.size())),
              ERROR_SUCCESS);
    Drop(nullptr, "policy");
    ASSERT_TRUE(test::WriteFileBytes(InDrop("old.removepending"), ""));
    EXPECT_EQ(UpdateStep(), c.passRuns);
    // Off means nothing at all happens, not even the clean-up of markers.
    EXPECT_EQ(Exists(InDrop("policy.pending")), !c.passRuns);
    EXPECT_EQ(Exists(InDrop("old.removepending")), !c.passRuns);
    EXPECT_EQ(Exists(InUpdate("policy.result")), c.passRuns);
    EmptyFolder(DropFolder());
    EmptyFolder(UpdateFolder());
  }
  (void)kPolicyKey;
}

TEST_F(UpdatePass, MissingDropFolderOnlyPreparesTheUpdateFolder) {
  ASSERT_TRUE(RemoveDirectoryW(test::Widen(Utf8(DropFolder())).c_str()));
  EXPECT_TRUE(UpdateStep());
  EXPECT_TRUE(DirectoryExists(UpdateFolder()));
  // The service makes a missing drop folder itself, with its own protection.
  EXPECT_TRUE(DirectoryExists(DropFolder()));
}

TEST_F(UpdatePass, TargetHeldOpenInTheUpdateFolderCannotBeReplaced) {
  ASSERT_TRUE(test::WriteFileBytes(InUpdate("held.msi"), "an older package"));
  FileHandle held(CreateFileW(InUpdate("held.msi").c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(held);
  Drop(L"signed-organisation.msi", "held");
  ASSERT_TRUE(UpdateStep());
  ExpectResult("held", 0, ResultNotMoved);
  EXPECT_FALSE(Exists(InDrop("held.msi")));  // the rejected package is removed from the drop folder
}

TEST_F(UpdatePass, UndeletablePackageIsMarkedAndRemovedOnceItCanBe) {
  ASSERT_TRUE(CopyFileW(FixturePath(L"unsigned.msi").c_str(), InDrop("locked.msi").c_str(), FALSE));
  ASSERT_TRUE(test::WriteFileBytes(InDrop("locked.pending"), ""));
  {
    // Open without delete sharing: the pass can neither move nor delete the package.
    FileHandle held(CreateFileW(InDrop("locked.msi").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                                nullptr));
    ASSERT_TRUE(held);
    ASSERT_TRUE(UpdateStep());
    ExpectResult("locked", 0, ResultUntrusted);
    EXPECT_TRUE(Exists(InDrop("locked.removepending")));
    ASSERT_TRUE(UpdateStep());  // still held: the marker stays
    EXPECT_TRUE(Exists(InDrop("locked.removepending")));
  }
  ASSERT_TRUE(UpdateStep());
  EXPECT_FALSE(Exists(InDrop("locked.msi")));
  EXPECT_FALSE(Exists(InDrop("locked.removepending")));
}

TEST_F(UpdatePass, InstallerOutsideTheSystemFolderIsRefused) {
  // The search finds a msiexec.exe in the program's own folder before the system's.
  std::wstring own = test::BinDir() + L"\\..\\tests\\msiexec.exe";
  wchar_t self[MAX_PATH];
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  ASSERT_TRUE(CopyFileW(self, own.c_str(), FALSE));
  Drop(L"signed-organisation.msi", "planted");
  bool ran = UpdateStep();
  DeleteFileW(own.c_str());
  ASSERT_TRUE(ran);
  ExpectResult("planted", 0, ResultNoInstaller);
  EXPECT_FALSE(Exists(InUpdate("planted.msi")));  // not started: the moved package is deleted
}

// Fixed texts: every field is zero-padded to its width (a year below 1000 too) and the code is
// written in decimal, whatever the formatter in between.
TEST(ResultLineFormat, FixedTimesGiveFixedLines) {
  struct Case {
    bool started;
    ResultCode code;
    SYSTEMTIME at;  // year, month, day of week, day, hour, minute, second, ms
    const char* expected;
  } cases[] = {
      {true, ResultStarted, {2026, 12, 4, 10, 7, 5, 9, 0}, "1|2026-12-10T07:05:09: 0"},
      {false, ResultNoPackage, {999, 1, 0, 2, 0, 0, 0, 999}, "0|0999-01-02T00:00:00: 7"},
      {false, ResultNoInstaller, {2030, 10, 0, 31, 23, 59, 59, 0}, "0|2030-10-31T23:59:59: 8"},
      {false, ResultNotStarted, {10000, 1, 0, 1, 0, 0, 0, 0}, "0|10000-01-01T00:00:00: 1"},
  };
  for (const Case& c : cases) EXPECT_EQ(Utf8(ResultLineAt(c.started, c.code, c.at)), c.expected);
}

TEST(ResultLineFormat, StartedFlagAndCode) {
  EXPECT_TRUE(std::regex_match(Utf8(ResultLine(true, ResultStarted)),
                               std::regex("1\\|\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d: 0")));
  EXPECT_TRUE(std::regex_match(Utf8(ResultLine(false, ResultNoPackage)),
                               std::regex("0\\|\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d: 7")));
}

}  // namespace

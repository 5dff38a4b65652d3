// StartUI itself, run in this process (or in a copy of this program placed in a folder named
// "x64") with the elevation check answered "not elevated". Copies of the tray stand-in play the
// tray program, each with a log of its own. These tests run beside the native service's others:
// their tray windows are on this process's desktop, not on the services' one, and the client
// keys they write are in a private stand-in for the user's registry.
#include "childrun.h"
#include "nclharness.h"
#include "trayhelpers.h"

#include <cstdio>
#include <string>

namespace {

using traytest::ElevationAnswer;
using traytest::ExpectStartedOnce;
using traytest::PlaceTray;
using traytest::TrayLog;

const wchar_t kChildMarker[] = L"TRAYSTART_TEST_CHILD";
const wchar_t kUserKeyVariable[] = L"TRAYSTART_TEST_USER_KEY";

// The user's registry as this process sees it: a key of its own below the real one. The owner
// deletes the key at the end; a child that was told its name only uses it.
class PrivateUserRegistry {
 public:
  PrivateUserRegistry(const std::wstring& subkey, bool owner) : subkey_(subkey), owner_(owner) {
    RegKey key;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, subkey.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key.Receive(),
                        nullptr) == ERROR_SUCCESS)
      active_ = RegOverridePredefKey(HKEY_CURRENT_USER, key.Get()) == ERROR_SUCCESS;
  }
  ~PrivateUserRegistry() {
    if (active_) RegOverridePredefKey(HKEY_CURRENT_USER, nullptr);
    if (owner_) RegDeleteTreeW(HKEY_CURRENT_USER, subkey_.c_str());
  }
  PrivateUserRegistry(const PrivateUserRegistry&) = delete;
  PrivateUserRegistry& operator=(const PrivateUserRegistry&) = delete;
  bool IsActive() const { return active_; }
  const std::wstring& Subkey() const { return subkey_; }

 private:
  std::wstring subkey_;
  bool owner_;
  bool active_ = false;
};

std::wstring OwnUserKey() {
  return L"Software\\Cindravale Tests\\traystart-" + std::to_wstring(GetCurrentProcessId());
}

void Register(const std::wstring& path) { ASSERT_TRUE(ncltest::WriteCompanyText(L"VennacorCloudUI", L"Path", path)); }

class TrayStart : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(registry_.IsActive()) << GetLastError();
    ncltest::EndPartnerProcesses();
    ncltest::DeleteClientKeys();
    registered_ = dir_.Join(L"registered.exe");
  }
  void TearDown() override {
    SetElevationCheck(nullptr);
    ncltest::EndPartnerProcesses();
  }

  PrivateUserRegistry registry_{OwnUserKey(), true};
  test::TempDir dir_;
  std::wstring registered_;
};

TEST_F(TrayStart, RegisteredLocationIsStartedAndASecondStartStartsNothing) {
  ASSERT_TRUE(PlaceTray(registered_));
  Register(registered_);
  ElevationAnswer answer(traytest::NotElevated);
  Str error;
  TarsaInvoker invoker;
  ASSERT_TRUE(invoker.StartUI(&error)) << error.c_str();
  ExpectStartedOnce(registered_);

  // The window exists now: the next starts, the service's among them, find it and start nothing.
  EXPECT_TRUE(invoker.StartUI(&error));
  EXPECT_TRUE(TarsaInvoker().StartUI(&error));
  EXPECT_TRUE(StartUI());
  ExpectStartedOnce(registered_);
}

TEST_F(TrayStart, WithoutAStartableLocationNothingStarts) {
  // This program is not in a folder named "x64": there is no default location.
  ASSERT_TRUE(CreateDirectoryW(dir_.Join(L"folder.exe").c_str(), nullptr));
  struct Case {
    const char* name;
    std::wstring registered;  // empty: no value
  } cases[] = {
      {"nothing registered", L""},
      {"registered file missing", dir_.Join(L"missing.exe")},
      {"registered location is a folder", dir_.Join(L"folder.exe")},
      {"registered location is no valid path", dir_.Join(L"sv?c.exe")},
  };
  ElevationAnswer answer(traytest::NotElevated);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ncltest::DeleteClientKeys();
    if (!c.registered.empty()) Register(c.registered);
    Str error;
    EXPECT_FALSE(TarsaInvoker().StartUI(&error));
    EXPECT_STREQ(error.c_str(), "No executable");
  }
  EXPECT_EQ(FindWindowExW(nullptr, nullptr, L"TARSAUIPU", nullptr), nullptr);
}

TEST_F(TrayStart, ElevatedProcessNeverStartsTheTray) {
  ASSERT_TRUE(PlaceTray(registered_));
  Register(registered_);
  ElevationAnswer answer(traytest::Elevated);
  Str error;
  EXPECT_FALSE(TarsaInvoker().StartUI(&error));
  EXPECT_EQ(std::string(error.c_str()), test::Narrow(test::SelfPath()) + " runs elevated.");
  EXPECT_TRUE(TrayLog(registered_).empty());
}

// Run by the test below in a copy of this program: the service's start, twice, from wherever
// the copy lies, with the parent's private registry. Prints what the starts answered and
// whether the tray window appeared in between.
TEST(TrayStartChild, DISABLED_StartTwice) {
  if (!test::IsChildRun("TRAYSTART_TEST_CHILD")) GTEST_SKIP() << "runs only as a child process";
  wchar_t userKey[256] = {};
  ASSERT_NE(GetEnvironmentVariableW(kUserKeyVariable, userKey, 256), 0u);
  PrivateUserRegistry registry(userKey, false);
  ASSERT_TRUE(registry.IsActive());
  SetElevationCheck(traytest::NotElevated);
  const bool first = StartUI();
  const bool windowSeen = first && traytest::WaitForTrayProcess(10000) != 0;
  const bool second = StartUI();
  printf("StartUI answered %d %d %d\n", first ? 1 : 0, windowSeen ? 1 : 0, second ? 1 : 0);
}

// The program in a folder named "x64": the tray program beside it takes the place of a
// registered location that is missing or names no file.
TEST_F(TrayStart, ProgramInAnX64FolderFallsBackToTheTrayBesideIt) {
  const std::wstring x64 = dir_.Join(L"x64");
  ASSERT_TRUE(CreateDirectoryW(x64.c_str(), nullptr));
  const std::wstring program = x64 + L"\\traystart_test.exe";
  ASSERT_TRUE(test::CopyProgram(test::SelfPath(), program));
  const std::wstring besideTray = x64 + L"\\CindravaleUI.exe";
  enum Started { None, Registered, Beside };
  struct Case {
    const char* name;
    bool registerLocation;
    bool placeRegistered;  // the registered location names an existing file
    bool placeBeside;
    Started started;
  } cases[] = {
      {"nothing registered", false, false, true, Beside},
      {"registered file missing", true, false, true, Beside},
      {"registered file present", true, true, true, Registered},
      {"nothing registered, no tray beside the program", false, false, false, None},
      {"registered file missing, no tray beside the program", true, false, false, None},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ncltest::EndPartnerProcesses();
    ncltest::DeleteClientKeys();
    for (const std::wstring& tray : {registered_, besideTray}) {
      DeleteFileW(tray.c_str());
      DeleteFileW((tray + L".log").c_str());
    }
    if (c.placeRegistered) {
      ASSERT_TRUE(PlaceTray(registered_));
    }
    if (c.registerLocation) Register(registered_);
    if (c.placeBeside) {
      ASSERT_TRUE(PlaceTray(besideTray));
    }

    test::ChildResult child = test::RunChildProgramTest(program, L"TrayStartChild.DISABLED_StartTwice",
                                                        {{kChildMarker, L"1"}, {kUserKeyVariable, registry_.Subkey()}});
    ASSERT_TRUE(child.started);
    EXPECT_EQ(child.exitCode, 0u) << child.out;
    // A start that finds no tray window says so; the second start of a started tray finds it.
    const size_t searches = test::CountOccurrences(child.debugOutput, "partner window of class [TARSAUIPU] not found");
    if (c.started == None) {
      EXPECT_NE(child.out.find("StartUI answered 0 0 0"), std::string::npos) << child.out;
      EXPECT_EQ(searches, 2u) << child.debugOutput;
      const std::string failure = "| IPC|start UI   |" + test::Narrow(besideTray) + " not found|";
      EXPECT_EQ(test::CountOccurrences(child.debugOutput, failure), 2u) << child.debugOutput;
      EXPECT_EQ(FindWindowExW(nullptr, nullptr, L"TARSAUIPU", nullptr), nullptr);
    } else {
      EXPECT_NE(child.out.find("StartUI answered 1 1 1"), std::string::npos) << child.out;
      EXPECT_EQ(searches, 1u) << child.debugOutput;
      ExpectStartedOnce(c.started == Registered ? registered_ : besideTray);
      EXPECT_TRUE(TrayLog(c.started == Registered ? besideTray : registered_).empty());
    }
  }
}

}  // namespace

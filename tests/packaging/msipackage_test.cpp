// The installer package end to end under the Windows installer: install, the registrations it
// makes, a major upgrade in place, the refused downgrade and the removal. The packages register
// CINDRAVALEUS and CINDRAVALESVC machine-wide, hence both locks.
// ctest-property: RESOURCE_LOCK update-service
// ctest-property: RESOURCE_LOCK native-service
// ctest-property: TIMEOUT 600
#include "directories.h"
#include "handles.h"
#include "files.h"
#include "servicehost.h"
#include "servicestep.h"
#include "testsupport.h"

#include <gtest/gtest.h>
#include <msi.h>
#include <msiquery.h>

#include <string>
#include <utility>
#include <vector>

namespace {

const wchar_t kEventLogKey[] = L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application";
const wchar_t kInstallFolder[] = L"Vennacor\\Cindravale Client";
const char kRefusal[] = "A newer version of Cindravale Client is already installed.";

bool UnderWine() {
  HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
  return ntdll && ::GetProcAddress(ntdll, "wine_get_version");
}
bool Exists(const std::wstring& path) { return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }
std::wstring Wide(const Str& text) { return test::Widen(text.c_str()); }

std::wstring PackagePath(const wchar_t* role) { return test::BinDir() + L"\\..\\tests\\packaging\\" + role + L".msi"; }
std::wstring InstallDir() { return Wide(GetDirectory(DirectoryProgramFiles)) + L"\\" + kInstallFolder; }

// What one package says about itself, read from its Property table.
struct PackageInfo {
  std::wstring productCode, upgradeCode, version;
  std::vector<std::pair<std::string, std::string>> launchConditions;  // condition, message
};
// An open MSI handle (database, view or record), closed when it goes.
class MsiHandle {
 public:
  MsiHandle() = default;
  MsiHandle(const MsiHandle&) = delete;
  MsiHandle& operator=(const MsiHandle&) = delete;
  ~MsiHandle() { Reset(); }
  MSIHANDLE Get() const { return handle_; }
  MSIHANDLE* Receive() {
    Reset();
    return &handle_;
  }
  void Reset() {
    if (handle_) ::MsiCloseHandle(handle_);
    handle_ = 0;
  }

 private:
  MSIHANDLE handle_ = 0;
};

std::wstring PackageProperty(MSIHANDLE database, const wchar_t* name) {
  std::wstring query = std::wstring(L"SELECT `Value` FROM `Property` WHERE `Property` = '") + name + L"'";
  MsiHandle view, record;
  std::wstring value;
  if (::MsiDatabaseOpenViewW(database, query.c_str(), view.Receive()) == ERROR_SUCCESS &&
      ::MsiViewExecute(view.Get(), 0) == ERROR_SUCCESS && ::MsiViewFetch(view.Get(), record.Receive()) == ERROR_SUCCESS) {
    wchar_t buffer[256];
    DWORD size = 256;
    if (::MsiRecordGetStringW(record.Get(), 1, buffer, &size) == ERROR_SUCCESS) value.assign(buffer, size);
  }
  return value;
}
PackageInfo ReadPackage(const std::wstring& path) {
  PackageInfo info;
  MsiHandle database;
  if (::MsiOpenDatabaseW(path.c_str(), MSIDBOPEN_READONLY, database.Receive()) != ERROR_SUCCESS) return info;
  info.productCode = PackageProperty(database.Get(), L"ProductCode");
  info.upgradeCode = PackageProperty(database.Get(), L"UpgradeCode");
  info.version = PackageProperty(database.Get(), L"ProductVersion");
  MsiHandle view;
  if (::MsiDatabaseOpenViewW(database.Get(), L"SELECT `Condition`, `Description` FROM `LaunchCondition`",
                             view.Receive()) == ERROR_SUCCESS &&
      ::MsiViewExecute(view.Get(), 0) == ERROR_SUCCESS) {
    MsiHandle record;
    while (::MsiViewFetch(view.Get(), record.Receive()) == ERROR_SUCCESS) {
      wchar_t condition[256], message[256];
      DWORD conditionSize = 256, messageSize = 256;
      ::MsiRecordGetStringW(record.Get(), 1, condition, &conditionSize);
      ::MsiRecordGetStringW(record.Get(), 2, message, &messageSize);
      info.launchConditions.emplace_back(test::Narrow(condition), test::Narrow(message));
    }
  }
  return info;
}

std::vector<std::wstring> RelatedProducts(const std::wstring& upgradeCode) {
  std::vector<std::wstring> products;
  wchar_t product[39];
  for (DWORD i = 0; ::MsiEnumRelatedProductsW(upgradeCode.c_str(), 0, i, product) == ERROR_SUCCESS; ++i)
    products.emplace_back(product);
  return products;
}
bool Installed(const std::wstring& productCode) {
  return ::MsiQueryProductStateW(productCode.c_str()) == INSTALLSTATE_DEFAULT;
}
std::wstring InstalledVersion(const std::wstring& productCode) {
  wchar_t buffer[64];
  DWORD size = 64;
  if (::MsiGetProductInfoW(productCode.c_str(), INSTALLPROPERTY_VERSIONSTRING, buffer, &size) != ERROR_SUCCESS) return L"";
  return std::wstring(buffer, size);
}

struct MsiexecRun {
  DWORD exitCode = 0;
  std::string log;  // the verbose log, as UTF-8 or ANSI text
};
// msiexec from the system folder, silent, with a verbose log.
MsiexecRun Msiexec(const std::wstring& arguments) {
  test::TempDir temp;
  std::wstring log = temp.Join(L"msiexec.log");
  wchar_t system[MAX_PATH];
  ::GetSystemDirectoryW(system, MAX_PATH);
  test::ProcessResult run =
      test::RunProcess(L"\"" + std::wstring(system) + L"\\msiexec.exe\" /qn " + arguments + L" /l*v \"" + log + L"\"", 180000);
  MsiexecRun result;
  result.exitCode = run.finished ? run.exitCode : WAIT_TIMEOUT;
  std::string bytes;
  if (test::ReadFileBytes(log, &bytes)) {
    // Windows Installer writes its log in UTF-16 with a byte-order mark.
    if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF && static_cast<unsigned char>(bytes[1]) == 0xFE)
      result.log = test::Narrow(std::wstring(reinterpret_cast<const wchar_t*>(bytes.data() + 2), (bytes.size() - 2) / 2));
    else
      result.log = bytes;
  }
  return result;
}

// One service as the package registers it and as its program names itself.
struct ServiceEntry {
  const wchar_t* name;
  const char* words;  // the program's words after the product name
  const wchar_t* program;
};
const ServiceEntry kServices[] = {
    {L"CINDRAVALEUS", "Client Update Service", L"CindravaleUS.exe"},
    {L"CINDRAVALESVC", "Native Client Service", L"CindravaleSVC.exe"},
};

std::wstring ReadRegistryString(const std::wstring& key, const wchar_t* value) {
  wchar_t buffer[1024];
  DWORD size = sizeof buffer;
  DWORD type = 0;
  if (::RegGetValueW(HKEY_LOCAL_MACHINE, key.c_str(), value, RRF_RT_REG_SZ, &type, buffer, &size) != ERROR_SUCCESS)
    return L"<missing>";
  return buffer;
}
DWORD ReadRegistryDword(const std::wstring& key, const wchar_t* value) {
  DWORD data = 0, size = sizeof data;
  if (::RegGetValueW(HKEY_LOCAL_MACHINE, key.c_str(), value, RRF_RT_REG_DWORD, nullptr, &data, &size) != ERROR_SUCCESS)
    return 0xFFFFFFFF;
  return data;
}
bool KeyExists(const std::wstring& key) {
  HKEY handle = nullptr;
  if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ, &handle) != ERROR_SUCCESS) return false;
  ::RegCloseKey(handle);
  return true;
}
// The event-log sources whose message file lies in `folder`: the package's and the programs'
// own registrations must be the same keys, or one of them would be left behind.
std::vector<std::wstring> SourcesIn(const std::wstring& folder) {
  std::vector<std::wstring> sources;
  HKEY application = nullptr;
  if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kEventLogKey, 0, KEY_READ, &application) != ERROR_SUCCESS) return sources;
  wchar_t name[256];
  for (DWORD i = 0;; ++i) {
    DWORD size = 256;
    if (::RegEnumKeyExW(application, i, name, &size, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    std::wstring file = ReadRegistryString(std::wstring(kEventLogKey) + L"\\" + name, L"EventMessageFile");
    if (CompareStringOrdinal(file.c_str(), static_cast<int>(folder.size()), folder.c_str(),
                             static_cast<int>(folder.size()), TRUE) == CSTR_EQUAL)
      sources.emplace_back(name);
  }
  ::RegCloseKey(application);
  return sources;
}

// The program an image path starts: Windows Installer quotes it, Wine's installer does not.
std::wstring ImageProgram(const std::wstring& imagePath) {
  if (imagePath.size() >= 2 && imagePath.front() == L'"') {
    size_t end = imagePath.find(L'"', 1);
    return imagePath.substr(1, end == std::wstring::npos ? std::wstring::npos : end - 1);
  }
  return imagePath;
}

// A service the package registered: looked at, started and stopped, never deleted here (the
// removal of the package does that).
class InstalledService {
 public:
  explicit InstalledService(const wchar_t* name)
      : manager_(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT)),
        service_(manager_ ? ::OpenServiceW(manager_.Get(), name, SERVICE_ALL_ACCESS) : nullptr) {}
  bool Exists() const { return static_cast<bool>(service_); }
  SC_HANDLE Get() const { return service_.Get(); }

  bool Start() {
    // The service manager refuses a start while it starts another service (its database lock).
    DWORD start = ::GetTickCount();
    for (;;) {
      if (::StartServiceW(service_.Get(), 0, nullptr)) return true;
      if (::GetLastError() != ERROR_SERVICE_DATABASE_LOCKED || ::GetTickCount() - start > 60000) return false;
      ::Sleep(100);
    }
  }
  bool Stop() {
    SERVICE_STATUS status;
    return ::ControlService(service_.Get(), SERVICE_CONTROL_STOP, &status) != FALSE;
  }
  SERVICE_STATUS_PROCESS Status() const {
    SERVICE_STATUS_PROCESS status = {};
    DWORD needed = 0;
    ::QueryServiceStatusEx(service_.Get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof status,
                           &needed);
    return status;
  }
  DWORD WaitState(DWORD want, DWORD timeoutMs) const {
    DWORD start = ::GetTickCount();
    for (;;) {
      DWORD state = Status().dwCurrentState;
      if (state == want || ::GetTickCount() - start > timeoutMs) return state;
      ::Sleep(20);
    }
  }

 private:
  ServiceHandle manager_;
  ServiceHandle service_;
};

class MsiPackage : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!Exists(test::BinDir() + L"\\..\\fixtures\\testroot.cer"))
      GTEST_SKIP() << "signing fixtures were not made (openssl, wixl or osslsigncode missing)";
    shipping_ = ReadPackage(PackagePath(L"shipping"));
    ASSERT_FALSE(shipping_.productCode.empty()) << "tests/packaging/shipping.msi is missing or unreadable";
    RemoveEverything();
    // A product left installed would turn the first installation into a maintenance run of the
    // old package, and the test would look at the old registrations.
    ASSERT_TRUE(RelatedProducts(shipping_.upgradeCode).empty());
    for (const ServiceEntry& service : kServices) ASSERT_FALSE(InstalledService(service.name).Exists());
    ASSERT_FALSE(Exists(InstallDir()));
    // A drop folder left by other tests (with markers the next update pass removes) is set
    // aside, so that this test sees who creates it, and put back afterwards.
    std::wstring drop = Wide(DropFolderPath());
    ::RemoveDirectoryW(drop.c_str());
    if (Exists(drop)) {
      ASSERT_TRUE(::MoveFileW(drop.c_str(), SetAside().c_str())) << ::GetLastError();
      setAside_ = true;
    }
  }
  void TearDown() override {
    for (const std::wstring& planted : planted_) ::DeleteFileW(planted.c_str());
    std::wstring drop = Wide(DropFolderPath());
    ::RemoveDirectoryW(drop.c_str());
    if (setAside_) {
      EXPECT_TRUE(::MoveFileW(SetAside().c_str(), drop.c_str())) << "the earlier drop folder stays in " << test::Narrow(SetAside());
    }
    RemoveEverything();
  }
  static std::wstring SetAside() { return Wide(DropFolderPath()) + L".before-package-test"; }

  // Removes every installed version of the product, then whatever an interrupted run left.
  void RemoveEverything() {
    for (const std::wstring& product : RelatedProducts(shipping_.upgradeCode)) Msiexec(L"/x " + product);
    for (const ServiceEntry& service : kServices) {
      test::DeleteServiceIfPresent(service.name);
      ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, (std::wstring(kEventLogKey) + L"\\" + Wide(DisplayNameFor(service.words))).c_str());
      ::DeleteFileW((InstallDir() + L"\\" + service.program).c_str());
    }
    ::RemoveDirectoryW(InstallDir().c_str());
  }

  // Both services registered as the programs' own "install" registers them, pointing at the
  // installed programs, with their event-log sources; nothing running.
  void ExpectRegistered() {
    for (const ServiceEntry& entry : kServices) {
      SCOPED_TRACE(test::Narrow(entry.name));
      std::wstring program = InstallDir() + L"\\" + entry.program;
      EXPECT_TRUE(Exists(program));
      InstalledService service(entry.name);
      ASSERT_TRUE(service.Exists());
      std::vector<BYTE> buffer(8192);
      DWORD needed = 0;
      auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
      ASSERT_TRUE(::QueryServiceConfigW(service.Get(), config, static_cast<DWORD>(buffer.size()), &needed));
      EXPECT_EQ(config->dwServiceType, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
      EXPECT_EQ(config->dwStartType, static_cast<DWORD>(SERVICE_DEMAND_START));
      EXPECT_EQ(config->dwErrorControl, static_cast<DWORD>(SERVICE_ERROR_NORMAL));
      EXPECT_EQ(test::Narrow(config->lpDisplayName), DisplayNameFor(entry.words).c_str());
      EXPECT_EQ(test::Narrow(config->lpServiceStartName ? config->lpServiceStartName : L""), "LocalSystem");
      std::wstring imagePath = config->lpBinaryPathName;
      EXPECT_EQ(CompareStringOrdinal(ImageProgram(imagePath).c_str(), -1, program.c_str(), -1, TRUE), CSTR_EQUAL)
          << test::Narrow(imagePath);
      // Windows Installer quotes the image path; Wine's writes it bare (a path with blanks that
      // Windows would have to guess at). The path itself is what matters here.
      if (!UnderWine()) {
        EXPECT_EQ(imagePath.front(), L'"') << test::Narrow(imagePath);
      }
      EXPECT_EQ(service.Status().dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));

      std::wstring source = std::wstring(kEventLogKey) + L"\\" + Wide(DisplayNameFor(entry.words));
      EXPECT_EQ(ReadRegistryDword(source, L"TypesSupported"), 7u);
      EXPECT_EQ(ReadRegistryDword(source, L"CategoryCount"), 7u);
      EXPECT_EQ(test::Narrow(ReadRegistryString(source, L"EventMessageFile")), test::Narrow(program));
      EXPECT_EQ(test::Narrow(ReadRegistryString(source, L"CategoryMessageFile")), test::Narrow(program));
    }
  }

  void ExpectRemoved() {
    for (const ServiceEntry& entry : kServices) {
      SCOPED_TRACE(test::Narrow(entry.name));
      EXPECT_FALSE(InstalledService(entry.name).Exists());
      EXPECT_FALSE(KeyExists(std::wstring(kEventLogKey) + L"\\" + Wide(DisplayNameFor(entry.words))));
      EXPECT_FALSE(Exists(InstallDir() + L"\\" + entry.program));
    }
    EXPECT_FALSE(Exists(InstallDir()));
    EXPECT_TRUE(SourcesIn(InstallDir()).empty());
  }

  // Starts both services; their process handles show later whether they were stopped.
  void StartBoth(std::vector<KernelHandle>& processes) {
    for (const ServiceEntry& entry : kServices) {
      InstalledService service(entry.name);
      ASSERT_TRUE(service.Exists()) << test::Narrow(entry.name);
      ASSERT_TRUE(service.Start()) << test::Narrow(entry.name);
      ASSERT_EQ(service.WaitState(SERVICE_RUNNING, 30000), static_cast<DWORD>(SERVICE_RUNNING)) << test::Narrow(entry.name);
      KernelHandle process(::OpenProcess(SYNCHRONIZE, FALSE, service.Status().dwProcessId));
      ASSERT_TRUE(process);
      processes.push_back(std::move(process));
    }
  }
  void StopBoth() {
    for (const ServiceEntry& entry : kServices) {
      InstalledService service(entry.name);
      ASSERT_TRUE(service.Exists());
      ASSERT_TRUE(service.Stop()) << test::Narrow(entry.name);
      EXPECT_EQ(service.WaitState(SERVICE_STOPPED, 40000), static_cast<DWORD>(SERVICE_STOPPED)) << test::Narrow(entry.name);
    }
  }

  // A file that must survive the removal; deleted again by the test.
  void Plant(const std::wstring& folder, const wchar_t* name) {
    std::wstring path = folder + L"\\" + name;
    ASSERT_TRUE(test::WriteFileBytes(path, "in flight")) << test::Narrow(path);
    planted_.push_back(path);
  }

  PackageInfo shipping_;
  std::vector<std::wstring> planted_;
  bool setAside_ = false;
};

TEST_F(MsiPackage, InstallRegistersBothServicesAndRemovalTakesThemAway) {
  EXPECT_EQ(test::Narrow(shipping_.version), ProgramVersion);
  MsiexecRun install = Msiexec(L"/i \"" + PackagePath(L"shipping") + L"\"");
  ASSERT_EQ(install.exitCode, 0u) << install.log;
  EXPECT_TRUE(Installed(shipping_.productCode));
  EXPECT_EQ(test::Narrow(InstalledVersion(shipping_.productCode)), ProgramVersion);
  EXPECT_EQ(RelatedProducts(shipping_.upgradeCode).size(), 1u);
  ExpectRegistered();
  // The installer leaves the drop folder to the update service, which protects a folder it
  // creates itself; one made here would carry the inherited ProgramData permissions.
  EXPECT_FALSE(Exists(Wide(DropFolderPath())));

  std::vector<KernelHandle> processes;
  StartBoth(processes);
  // Each program registers its event-log source again at start: under the same key, with the
  // same message file, or the removal would leave the program's own registration behind.
  EXPECT_EQ(SourcesIn(InstallDir()).size(), 2u);
  StopBoth();
  for (const KernelHandle& process : processes)
    EXPECT_EQ(::WaitForSingleObject(process.Get(), 10000), static_cast<DWORD>(WAIT_OBJECT_0));
  // The update service's first pass made its protected update folder.
  ASSERT_TRUE(Exists(Wide(UpdateFolderPath())));
  // ... and the drop folder, which the service makes with its protection when it is missing.
  EXPECT_TRUE(Exists(Wide(DropFolderPath())));

  // Packages may be in flight in either folder when the product is removed.
  if (!Exists(Wide(DropFolderPath()))) ASSERT_TRUE(MakeDirectory(DropFolderPath(), true));
  Plant(Wide(DropFolderPath()), L"inflight.msi");
  Plant(Wide(UpdateFolderPath()), L"earlier.msi");

  MsiexecRun removal = Msiexec(L"/x \"" + PackagePath(L"shipping") + L"\"");
  ASSERT_EQ(removal.exitCode, 0u) << removal.log;
  EXPECT_FALSE(Installed(shipping_.productCode));
  ExpectRemoved();
  for (const std::wstring& planted : planted_) EXPECT_TRUE(Exists(planted)) << test::Narrow(planted);
}

TEST_F(MsiPackage, TakesOverARegistrationMadeByTheProgramsOwnInstall) {
  // Services registered by hand from the build folder, as before the package existed.
  for (const ServiceEntry& entry : kServices) {
    test::ProcessResult install = test::RunProcess(L"\"" + test::BinDir() + L"\\" + entry.program + L"\" install", 30000);
    ASSERT_EQ(install.exitCode, 0u) << test::Narrow(entry.name);
  }
  MsiexecRun run = Msiexec(L"/i \"" + PackagePath(L"shipping") + L"\"");
  ASSERT_EQ(run.exitCode, 0u) << run.log;
  // Both now start the installed programs, and the removal takes them away.
  ExpectRegistered();
  ASSERT_EQ(Msiexec(L"/x " + shipping_.productCode).exitCode, 0u);
  ExpectRemoved();
}

TEST_F(MsiPackage, HigherVersionReplacesTheInstalledOneAndTheLowerOneIsRefused) {
  PackageInfo higher = ReadPackage(PackagePath(L"higher"));
  ASSERT_FALSE(higher.productCode.empty());
  ASSERT_NE(higher.productCode, shipping_.productCode);
  ASSERT_EQ(higher.upgradeCode, shipping_.upgradeCode);

  ASSERT_EQ(Msiexec(L"/i \"" + PackagePath(L"shipping") + L"\"").exitCode, 0u);
  std::vector<KernelHandle> processes;
  StartBoth(processes);

  MsiexecRun upgrade = Msiexec(L"/i \"" + PackagePath(L"higher") + L"\"");
  ASSERT_EQ(upgrade.exitCode, 0u) << upgrade.log;
  // The running services were stopped (their processes ended) before the programs went.
  for (const KernelHandle& process : processes)
    EXPECT_EQ(::WaitForSingleObject(process.Get(), 0), static_cast<DWORD>(WAIT_OBJECT_0));
  // One product entry: the new version replaced the old one in place.
  EXPECT_FALSE(Installed(shipping_.productCode));
  EXPECT_TRUE(Installed(higher.productCode));
  EXPECT_EQ(RelatedProducts(shipping_.upgradeCode), std::vector<std::wstring>{higher.productCode});
  EXPECT_EQ(InstalledVersion(higher.productCode), higher.version);
  ExpectRegistered();
  processes.clear();
  StartBoth(processes);
  StopBoth();

  // The lower version is refused by the installer and changes nothing.
  MsiexecRun downgrade = Msiexec(L"/i \"" + PackagePath(L"shipping") + L"\"");
  EXPECT_EQ(downgrade.exitCode, static_cast<DWORD>(ERROR_INSTALL_FAILURE));
  // The refusal is the package's launch condition, with the installer's usual text; Windows
  // Installer writes the message into the log, Wine's writes no message there with /qn.
  using Condition = std::pair<std::string, std::string>;
  EXPECT_EQ(shipping_.launchConditions,
            (std::vector<Condition>{{"NOT NEWERVERSIONFOUND", "A newer version of [ProductName] is already installed."}}));
  EXPECT_NE(downgrade.log.find("NEWERVERSIONFOUND = " + test::Narrow(higher.productCode)), std::string::npos)
      << downgrade.log;
  if (!UnderWine()) {
    EXPECT_NE(downgrade.log.find(kRefusal), std::string::npos) << downgrade.log;
  }
  EXPECT_FALSE(Installed(shipping_.productCode));
  EXPECT_EQ(RelatedProducts(shipping_.upgradeCode), std::vector<std::wstring>{higher.productCode});
  ExpectRegistered();

  ASSERT_EQ(Msiexec(L"/x " + higher.productCode).exitCode, 0u);
  ExpectRemoved();
}

TEST_F(MsiPackage, VersionDifferingOnlyInTheFourthFieldReplacesInsteadOfInstallingBeside) {
  // Windows Installer compares three version fields, so 25.10.0.75 and 25.10.0.74 are the same
  // version to it: without an inclusive upgrade range both would stay installed, two products
  // for one pair of services, and removing either would delete the services of the other.
  PackageInfo samefields = ReadPackage(PackagePath(L"samefields"));
  ASSERT_FALSE(samefields.productCode.empty());
  ASSERT_NE(samefields.productCode, shipping_.productCode);

  ASSERT_EQ(Msiexec(L"/i \"" + PackagePath(L"shipping") + L"\"").exitCode, 0u);
  MsiexecRun replace = Msiexec(L"/i \"" + PackagePath(L"samefields") + L"\"");
  ASSERT_EQ(replace.exitCode, 0u) << replace.log;
  EXPECT_EQ(RelatedProducts(shipping_.upgradeCode), std::vector<std::wstring>{samefields.productCode});
  ExpectRegistered();
  ASSERT_EQ(Msiexec(L"/x " + samefields.productCode).exitCode, 0u);
  ExpectRemoved();
}

}  // namespace

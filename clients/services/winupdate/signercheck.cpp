#include "signercheck.h"

#include "handles.h"

#include <softpub.h>
#include <wintrust.h>

#include <cstddef>

namespace {

// The WINTRUST_DATA layout up to dwUIContext: the size every Windows version accepts. Newer SDKs
// append pSignatureSettings, which this check does not use.
constexpr DWORD kWinTrustDataSize = offsetof(WINTRUST_DATA, dwUIContext) + sizeof(DWORD);
static_assert(kWinTrustDataSize == 80 && sizeof(WINTRUST_DATA) >= kWinTrustDataSize);
static_assert(sizeof(WINTRUST_FILE_INFO) == 32);

// MsiGetFileSignatureInformationW, which msi.dll exports as ordinal 224.
using GetFileSignatureInformation = HRESULT(WINAPI*)(const wchar_t* path, DWORD flags,
                                                     PCCERT_CONTEXT* certificate, BYTE* hash,
                                                     DWORD* hashSize);
constexpr WORD kGetFileSignatureInformationOrdinal = 224;

constexpr char kOrganisationOid[] = "2.5.4.10";
constexpr char kOrganisationalUnitOid[] = "2.5.4.11";

}  // namespace

bool VerifyFileTrust(const wchar_t* path) {
  if (!path || !*path) {
    ::SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  WINTRUST_FILE_INFO file = {};
  file.cbStruct = sizeof(WINTRUST_FILE_INFO);
  file.pcwszFilePath = path;

  WINTRUST_DATA data = {};
  data.cbStruct = kWinTrustDataSize;
  data.dwUIChoice = WTD_UI_NONE;
  data.fdwRevocationChecks = WTD_REVOKE_NONE;
  data.dwUnionChoice = WTD_CHOICE_FILE;
  data.pFile = &file;
  data.dwStateAction = WTD_STATEACTION_VERIFY;

  GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
  const LONG result = ::WinVerifyTrust(nullptr, &action, &data);

  // The verify call keeps the provider's state (the opened file, the decoded message, the chain)
  // until it is closed, whatever its answer.
  data.dwStateAction = WTD_STATEACTION_CLOSE;
  ::WinVerifyTrust(nullptr, &action, &data);

  ::SetLastError(static_cast<DWORD>(result));
  return result == 0;
}

WStr GetCertificateNameAttribute(PCCERT_CONTEXT certificate, const char* oid) {
  if (!certificate || !oid) return WStr();
  // The attribute's identifier travels through the untyped type parameter.
  void* type = const_cast<char*>(oid);
  const DWORD needed = ::CertGetNameStringW(certificate, CERT_NAME_ATTR_TYPE, 0, type, nullptr, 0);
  // 1 is the terminator alone: the attribute is absent or empty.
  if (needed <= 1) return WStr();

  HeapMemory block(::HeapAlloc(::GetProcessHeap(), 0, size_t(needed) * sizeof(wchar_t)));
  if (!block) return WStr();
  wchar_t* buffer = static_cast<wchar_t*>(block.Get());
  const DWORD written = ::CertGetNameStringW(certificate, CERT_NAME_ATTR_TYPE, 0, type, buffer, needed);
  if (written <= 1 || written > needed) return WStr();
  // The name is the `written - 1` units before the terminator, whatever they hold: a name with
  // an embedded zero ("Vennacor R&D GmbH", zero, more) must not read as the part before it.
  return WStr(buffer, written - 1);
}

bool CertificateNamesMaker(PCCERT_CONTEXT certificate) {
  return GetCertificateNameAttribute(certificate, kOrganisationOid) == WStr(kInstallerSignerName) ||
         GetCertificateNameAttribute(certificate, kOrganisationalUnitOid) == WStr(kInstallerSignerName);
}

bool CheckInstallerSigner(const Str& path) {
  const WStr widePath(path);
  if (widePath.IsEmpty()) {
    ::SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }

  // Only the system's own msi.dll: the service runs as LocalSystem, and a copy planted on the
  // search path would decide which packages pass.
  LoadedLibrary msi(::LoadLibraryExW(L"msi.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32));
  if (!msi) return false;
  FARPROC proc = ::GetProcAddress(msi.Get(), MAKEINTRESOURCEA(kGetFileSignatureInformationOrdinal));
  if (!proc) return false;
  // Through a plain function pointer type, which converts to any other without a warning.
  auto getSignature = reinterpret_cast<GetFileSignatureInformation>(reinterpret_cast<void (*)()>(proc));

  // Declared after the library, so the certificate is released while msi.dll is still loaded.
  CertContext signer;
  const HRESULT hr = getSignature(widePath.c_str(), 0, signer.Receive(), nullptr, nullptr);
  if (FAILED(hr)) {
    ::SetLastError(static_cast<DWORD>(hr));
    return false;
  }
  if (!signer) {
    ::SetLastError(static_cast<DWORD>(TRUST_E_NOSIGNATURE));
    return false;
  }

  if (CertificateNamesMaker(signer.Get())) return true;
  ::SetLastError(static_cast<DWORD>(CRYPT_E_NOT_FOUND));
  return false;
}

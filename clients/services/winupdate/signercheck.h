// The two questions the update service asks about an installer package before it moves it into
// its protected folder and again before it hands it to the Windows installer: is the file's
// Authenticode signature valid, and does the signer certificate name the maker? Both must be
// yes. Each answers only true or false (the Windows error stays in the last-error value); none
// reports to the event log or the trace channel.
#pragma once

#include "str.h"
#include "win.h"

#include <wincrypt.h>

// The signer name a package must carry, as organisation or as organisational unit.
inline constexpr wchar_t kInstallerSignerName[] = L"Vennacor R&D GmbH";

// True exactly when the system's trust provider accepts the file's Authenticode signature
// (integrity and chain to a trusted root; no revocation check, no user interface).
bool VerifyFileTrust(const wchar_t* path);

// True when the signer certificate that the Windows Installer reports for the package names the
// maker, as organisation ("2.5.4.10") or, failing that, as organisational unit ("2.5.4.11").
// The names are compared whole and code unit by code unit: case, blanks and punctuation count.
bool CheckInstallerSigner(const Str& path);

// The subject's value of the name attribute `oid` as CertGetNameStringW gives it, in the length
// it answers (an embedded zero stays part of the name); empty when the attribute is absent or
// cannot be read.
WStr GetCertificateNameAttribute(PCCERT_CONTEXT certificate, const char* oid);

// The comparison of CheckInstallerSigner on a certificate: its organisation, or failing that its
// organisational unit, is the signer name over its whole length.
bool CertificateNamesMaker(PCCERT_CONTEXT certificate);

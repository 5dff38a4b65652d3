// The installer signature check against real Authenticode-signed MSI packages, made at build
// time by tests/fixtures (a test root, signers with chosen subject names, one package each).
// ctest-property: FIXTURES_REQUIRED trusted-test-root
#include "signercheck.h"

#include "handles.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <vector>

namespace {

// build/tests/<test>.exe -> build/fixtures/<name>
std::wstring FixturePath(const wchar_t* name) {
  wchar_t self[MAX_PATH];
  const DWORD n = ::GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::wstring path(self, n);
  path.resize(path.find_last_of(L"\\/") + 1);
  return path + L"..\\fixtures\\" + name;
}

using test::RunningOnWine;

Str ToStr(const std::wstring& path) { return Str(test::Narrow(path).c_str()); }

class SignerCheckTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!test::SigningFixturesPresent()) return;
  }
};

// What both checks answer for a package. Only the exact maker's name passes the signer check:
// a different case, an added full stop or a longer name are other publishers.
struct PackageCase {
  const wchar_t* file;
  bool trusted;  // VerifyFileTrust
  bool signer;   // CheckInstallerSigner
};
const PackageCase kPackages[] = {
    {L"unsigned.msi", false, false},
    {L"signed-organisation.msi", true, true},     // O = the maker
    {L"signed-unit.msi", true, true},             // O = someone else, OU = the maker
    {L"signed-other-publisher.msi", true, false}, // another publisher
    {L"signed-case.msi", true, false},            // "Vennacor R&d GmbH"
    {L"signed-fullstop.msi", true, false},        // "Vennacor R&D GmbH."
    {L"signed-longer-name.msi", true, false},     // "Vennacor R&D GmbH Wien" contains the name
    {L"missing.msi", false, false},               // no such file
};

TEST_F(SignerCheckTest, AnswersForEachPackage) {
  for (const PackageCase& c : kPackages) {
    SCOPED_TRACE(test::Narrow(c.file));
    const std::wstring path = FixturePath(c.file);
    EXPECT_EQ(VerifyFileTrust(path.c_str()), c.trusted);
    EXPECT_EQ(CheckInstallerSigner(ToStr(path)), c.signer);
  }
}

// Packages that only the trust provider can reject: the signer name is the maker's, so the
// signer check alone would let them through.
struct UntrustedCase {
  const char* name;
  const wchar_t* file;
  const char* wineGap;
};
const UntrustedCase kUntrusted[] = {
    // One byte of the summary information changed after signing.
    {"Tampered", L"tampered.msi",
     "Wine 8's trust provider does not check the digest of MSI packages "
     "(fixme:wintrust:SOFTPUB_VerifyImageHash for SPC_SIPINFO_OBJID) and accepts the package"},
    // The maker's name, issued by a root that no store trusts.
    {"UntrustedRoot", L"signed-untrusted-root.msi",
     "Wine 8's Authenticode policy accepts a chain whose root is untrusted "
     "(CERT_TRUST_IS_UNTRUSTED_ROOT) and accepts the package"},
};

class UntrustedPackageTest : public SignerCheckTest,
                             public ::testing::WithParamInterface<UntrustedCase> {};

TEST_P(UntrustedPackageTest, TrustRejectsIt) {
  const std::wstring path = FixturePath(GetParam().file);
  ASSERT_NE(::GetFileAttributesW(path.c_str()), INVALID_FILE_ATTRIBUTES);
  const bool trusted = VerifyFileTrust(path.c_str());
  if (trusted && RunningOnWine()) GTEST_SKIP() << GetParam().wineGap;
  EXPECT_FALSE(trusted);
}
INSTANTIATE_TEST_SUITE_P(Packages, UntrustedPackageTest, ::testing::ValuesIn(kUntrusted),
                         [](const ::testing::TestParamInfo<UntrustedCase>& info) {
                           return std::string(info.param.name);
                         });

TEST_F(SignerCheckTest, EmptyPathsAreRejected) {
  EXPECT_FALSE(VerifyFileTrust(nullptr));
  EXPECT_FALSE(VerifyFileTrust(L""));
  EXPECT_FALSE(CheckInstallerSigner(Str()));
}

// The update step moves or deletes a package right after each check. A check that left the
// provider's state open would keep the file open and make that fail (sharing violation).
TEST_F(SignerCheckTest, ChecksReleaseThePackage) {
  test::TempDir dir;
  const std::wstring source = FixturePath(L"signed-organisation.msi");
  const std::wstring first = dir.Join(L"X.msi");
  const std::wstring second = dir.Join(L"Y.msi");
  ASSERT_TRUE(::CopyFileW(source.c_str(), first.c_str(), FALSE));

  ASSERT_TRUE(VerifyFileTrust(first.c_str()));
  EXPECT_TRUE(::MoveFileExW(first.c_str(), second.c_str(), 0)) << ::GetLastError();
  ASSERT_TRUE(CheckInstallerSigner(ToStr(second)));
  EXPECT_TRUE(::DeleteFileW(second.c_str())) << ::GetLastError();
}

// The attribute reader on a certificate of known subject: the test root,
// "CN=Cindravale Test Root, O=Cindravale Test Authority".
TEST_F(SignerCheckTest, NameAttributes) {
  std::string der;
  ASSERT_TRUE(test::ReadFileBytes(FixturePath(L"testroot.cer"), &der));
  CertContext root(::CertCreateCertificateContext(
      X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(der.data()), static_cast<DWORD>(der.size())));
  ASSERT_TRUE(root);

  const struct {
    const char* oid;
    const wchar_t* expected;
  } cases[] = {
      {"2.5.4.10", L"Cindravale Test Authority"},
      {"2.5.4.3", L"Cindravale Test Root"},
      {"2.5.4.11", L""},  // absent
      {"1.2.3.4.5", L""}, // not an attribute of the subject
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.oid);
    EXPECT_TRUE(GetCertificateNameAttribute(root.Get(), c.oid) == c.expected);
  }
  EXPECT_TRUE(GetCertificateNameAttribute(nullptr, "2.5.4.10").IsEmpty());
  EXPECT_TRUE(GetCertificateNameAttribute(root.Get(), nullptr).IsEmpty());
}

// A certificate of chosen subject names, written as DER here (never signed: the crypto API
// decodes a certificate without checking its signature, which is all the name reader needs).
using Der = std::vector<unsigned char>;

Der Tlv(unsigned char tag, const Der& content) {
  Der out{tag};
  const size_t n = content.size();
  if (n < 0x80) {
    out.push_back(static_cast<unsigned char>(n));
  } else {
    out.push_back(0x82);
    out.push_back(static_cast<unsigned char>(n >> 8));
    out.push_back(static_cast<unsigned char>(n));
  }
  out.insert(out.end(), content.begin(), content.end());
  return out;
}
Der Join(std::initializer_list<Der> parts) {
  Der out;
  for (const Der& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}
// One relative distinguished name: attribute 2.5.4.<attribute> as a UTF-8 string.
Der NameAttribute(unsigned char attribute, const std::string& value) {
  return Tlv(0x31, Tlv(0x30, Join({Tlv(0x06, {0x55, 0x04, attribute}), Tlv(0x0C, Der(value.begin(), value.end()))})));
}
struct Subject {
  std::string organisation;  // empty: none
  std::string unit;          // empty: none
};
CertContext MakeCertificate(const Subject& subject) {
  const Der sha256WithRsa = Tlv(0x30, Join({Tlv(0x06, {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x0B}), Tlv(0x05, {})}));
  Der names = NameAttribute(0x03, "Cindravale Test Signer");
  if (!subject.organisation.empty()) names = Join({names, NameAttribute(0x0A, subject.organisation)});
  if (!subject.unit.empty()) names = Join({names, NameAttribute(0x0B, subject.unit)});
  const Der name = Tlv(0x30, names);
  const Der time = {'2', '5', '0', '1', '0', '1', '0', '0', '0', '0', '0', '0', 'Z'};
  const Der validity = Tlv(0x30, Join({Tlv(0x17, time), Tlv(0x17, time)}));
  const Der rsa = Tlv(0x30, Join({Tlv(0x06, {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x01}), Tlv(0x05, {})}));
  const Der key = Tlv(0x30, Join({Tlv(0x02, {0x00, 0xC3, 0x5A, 0x11, 0x29}), Tlv(0x02, {0x01, 0x00, 0x01})}));
  const Der publicKey = Tlv(0x30, Join({rsa, Tlv(0x03, Join({{0x00}, key}))}));
  const Der toBeSigned = Tlv(0x30, Join({Tlv(0x02, {0x01}), sha256WithRsa, name, validity, name, publicKey}));
  const Der certificate = Tlv(0x30, Join({toBeSigned, sha256WithRsa, Tlv(0x03, {0x00, 0x5A})}));
  return CertContext(::CertCreateCertificateContext(X509_ASN_ENCODING, certificate.data(),
                                                     static_cast<DWORD>(certificate.size())));
}

// The names are compared over the length the certificate gives them: a text that merely starts
// with the maker's name, up to an embedded zero, is another name.
TEST(SignerName, IsComparedOverItsWholeLength) {
  const std::string maker = "Vennacor R&D GmbH";
  const std::string withZero = maker + std::string("\0 Nachbau", 9);
  const struct {
    const char* label;
    Subject subject;
    bool accepted;
  } cases[] = {
      {"organisation", {maker, ""}, true},
      {"unit", {"Someone Else", maker}, true},
      {"organisation with an embedded zero", {withZero, ""}, false},
      {"unit with an embedded zero", {"Someone Else", withZero}, false},
      {"zero at the end", {maker + std::string(1, '\0'), ""}, false},
      {"no organisation, no unit", {"", ""}, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    CertContext certificate = MakeCertificate(c.subject);
    ASSERT_TRUE(certificate) << ::GetLastError();
    EXPECT_EQ(CertificateNamesMaker(certificate.Get()), c.accepted);
  }
  // The attribute keeps the units after the zero.
  CertContext certificate = MakeCertificate({withZero, ""});
  ASSERT_TRUE(certificate);
  WStr organisation = GetCertificateNameAttribute(certificate.Get(), "2.5.4.10");
  EXPECT_EQ(organisation.Length(), withZero.size());
  EXPECT_EQ(organisation.c_str()[maker.size()], L'\0');
}

}  // namespace

// Error texts, the thread's own error text, the event-log source registration and its handle
// cache, and the stream writers of the JSON-line destinations.
#include "error.h"
#include "logstream.h"
#include "registry.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <io.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

// ---------------------------------------------------------------------------------------------
// GetErrorText

bool EndsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// Wine's system texts differ from Windows' ("Access denied." against "Access is denied."), so
// the known codes are checked for the frame: a non-empty text without surrounding or inner line
// breaks, then the code suffix.
struct ErrorTextCase {
  const char* name;
  uint32_t code;
  bool withCode;
  const char* suffix;  // the code suffix, or "" without the flag
  const char* exact;   // the whole text when there is no system text; null for known codes
};

const ErrorTextCase kErrorTextCases[] = {
    {"AccessDeniedWithCode", 5, true, " (0x00000005/5)", nullptr},
    {"AccessDeniedTextOnly", 5, false, "", nullptr},
    {"ServiceExists", 1073, true, " (0x00000431/1073)", nullptr},
    {"CodeZeroIsLookedUpAsAllOnes", 0, true, "", "Unknown error (0xFFFFFFFF/4294967295)"},
    {"UnassignedCode", 0x2FFFFFFF, true, "", "Unknown error (0x2FFFFFFF/805306367)"},
    {"UnassignedCodeTextOnly", 0x2FFFFFFF, false, "", "Unknown error"},
};

class ErrorText : public testing::TestWithParam<ErrorTextCase> {};

TEST_P(ErrorText, Frame) {
  const ErrorTextCase& c = GetParam();
  ::SetLastError(77);
  std::string text = GetErrorText(c.code, nullptr, nullptr, c.withCode, LANG_NEUTRAL, SUBLANG_DEFAULT).c_str();
  EXPECT_EQ(::GetLastError(), 77u) << "the caller's last-error value is kept";
  if (c.exact) {
    EXPECT_EQ(text, c.exact);
    return;
  }
  ASSERT_TRUE(EndsWith(text, c.suffix)) << text;
  std::string words = text.substr(0, text.size() - strlen(c.suffix));
  EXPECT_FALSE(words.empty());
  EXPECT_NE(words, "Unknown error");
  EXPECT_EQ(words.find_first_of("\r\n"), std::string::npos) << text;
  EXPECT_FALSE(isspace(static_cast<unsigned char>(words.front()))) << text;
  EXPECT_FALSE(isspace(static_cast<unsigned char>(words.back()))) << text;
}

INSTANTIATE_TEST_SUITE_P(Codes, ErrorText, testing::ValuesIn(kErrorTextCases),
                         [](const testing::TestParamInfo<ErrorTextCase>& info) { return std::string(info.param.name); });

TEST(ErrorTextModule, AModuleWithoutMessagesGivesUnknownError) {
  EXPECT_STREQ(GetErrorText(5, ::GetModuleHandleW(nullptr), nullptr, true, LANG_NEUTRAL, SUBLANG_DEFAULT).c_str(),
               "Unknown error (0x00000005/5)");
}

TEST(ErrorTextModule, ShortFormCarriesTheCode) {
  EXPECT_EQ(std::string(GetErrorText(5).c_str()),
            std::string(GetErrorText(5, nullptr, nullptr, false, LANG_NEUTRAL, SUBLANG_DEFAULT).c_str()) +
                " (0x00000005/5)");
}

// ---------------------------------------------------------------------------------------------
// SetLastErrorText

std::string TextOnOtherThread(uint32_t code) {
  std::string result;
  std::thread([&] { result = GetErrorText(code).c_str(); }).join();
  return result;
}

TEST(LastErrorText, BelongsToTheThreadThatSetIt) {
  SetLastErrorText(Str("x"));
  EXPECT_EQ(::GetLastError(), ERROR_LIBRARY_TEXT);
  EXPECT_STREQ(GetErrorText(ERROR_LIBRARY_TEXT).c_str(), "x");
  EXPECT_STREQ(GetErrorText(ERROR_LIBRARY_TEXT_HRESULT).c_str(), "x");
  // Another thread has no text of its own: it gets the system's answer for the code.
  std::string other = TextOnOtherThread(ERROR_LIBRARY_TEXT);
  EXPECT_NE(other, "x");
  EXPECT_TRUE(EndsWith(other, " (0x0000AD9C/44444)")) << other;

  // A text set on another thread leaves this thread's text alone.
  std::string seen;
  std::thread([&] {
    SetLastErrorText(Str("y"));
    seen = GetErrorText(ERROR_LIBRARY_TEXT).c_str();
  }).join();
  EXPECT_EQ(seen, "y");
  EXPECT_STREQ(GetErrorText(ERROR_LIBRARY_TEXT).c_str(), "x");

  // Other codes never return the thread's text.
  EXPECT_STRNE(GetErrorText(5).c_str(), "x");
  SetLastErrorText(Str());
  EXPECT_TRUE(EndsWith(GetErrorText(ERROR_LIBRARY_TEXT).c_str(), " (0x0000AD9C/44444)"));
}

// ---------------------------------------------------------------------------------------------
// Event-log source registration and the handle cache

const char kApplicationLog[] = "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application";

std::string UniqueSourceName(const char* what) {
  return std::string("Cindravale ErrorTest ") + what + " " + std::to_string(::GetCurrentProcessId());
}

class EventSource : public testing::Test {
 protected:
  void TearDown() override {
    for (const std::string& name : created_) {
      std::wstring key = L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\" + test::Widen(name);
      ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, key.c_str());
    }
    SetEventMessageFile(Str());
  }
  std::string Name(const char* what) {
    created_.push_back(UniqueSourceName(what));
    return created_.back();
  }
  static bool KeyExists(const std::string& name) {
    RegistryKey key;
    return OpenRegistryKey(ParseRegistryPath(Str(kApplicationLog), Str(name.c_str())), RegistryRead,
                           RegistryViewDefault, &key);
  }
  static DWORD ValueType(const std::string& name, const wchar_t* value) {
    std::wstring key = L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\" + test::Widen(name);
    DWORD type = REG_NONE;
    if (::RegGetValueW(HKEY_LOCAL_MACHINE, key.c_str(), value, RRF_RT_ANY, &type, nullptr, nullptr) != ERROR_SUCCESS)
      return REG_NONE;
    return type;
  }
  std::vector<std::string> created_;
};

TEST_F(EventSource, RegistrationWritesTheFourValues) {
  const std::string name = Name("Values");
  const Str file("C:\\Program Files\\Vennacor\\CindravaleUS.exe");
  SetEventMessageFile(file);
  RegisterEventLogSource(Str(name.c_str()));
  const Str key(kApplicationLog), sub(name.c_str());
  EXPECT_EQ(ReadRegistryNumber(key, sub, Str("TypesSupported"), 0, RegistryNumberDword), 7u);
  EXPECT_EQ(ReadRegistryNumber(key, sub, Str("CategoryCount"), 0, RegistryNumberDword), 7u);
  EXPECT_STREQ(ReadRegistryText(key, sub, Str("CategoryMessageFile"), Str()).c_str(), file.c_str());
  EXPECT_STREQ(ReadRegistryText(key, sub, Str("EventMessageFile"), Str()).c_str(), file.c_str());
  struct {
    const wchar_t* value;
    DWORD type;
  } types[] = {{L"TypesSupported", REG_DWORD},
               {L"CategoryCount", REG_DWORD},
               {L"CategoryMessageFile", REG_SZ},
               {L"EventMessageFile", REG_SZ}};
  for (const auto& t : types) EXPECT_EQ(ValueType(name, t.value), t.type) << test::Narrow(t.value);
}

TEST_F(EventSource, NothingIsWrittenWithoutMessageFileOrName) {
  const std::string name = Name("NoFile");
  SetEventMessageFile(Str());
  RegisterEventLogSource(Str(name.c_str()));
  EXPECT_FALSE(KeyExists(name));

  SetEventMessageFile(Str("C:\\x.exe"));
  ::SetLastError(99);
  RegisterEventLogSource(Str());
  EXPECT_EQ(::GetLastError(), 99u);
  EXPECT_FALSE(RegistryValueExists(Str(kApplicationLog), Str("EventMessageFile")))
      << "an empty name must not write into the Application key itself";
}

TEST_F(EventSource, HandleIsCachedAndRegisteredOncePerName) {
  SetEventMessageFile(Str("C:\\x.exe"));
  const std::string registered = Name("Cached");
  HANDLE first = GetEventSourceHandle(Str(registered.c_str()), true);
  EXPECT_TRUE(KeyExists(registered));
  // Once cached, the name is neither registered again nor asked of Windows again.
  std::wstring key = L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\" + test::Widen(registered);
  ASSERT_EQ(::RegDeleteKeyW(HKEY_LOCAL_MACHINE, key.c_str()), ERROR_SUCCESS);
  EXPECT_EQ(GetEventSourceHandle(Str(registered.c_str()), true), first);
  EXPECT_FALSE(KeyExists(registered));

  const std::string unregistered = Name("NotRegistered");
  GetEventSourceHandle(Str(unregistered.c_str()), false);
  EXPECT_FALSE(KeyExists(unregistered));
  // Names are matched exactly, letter case included.
  std::string upper = registered;
  for (char& ch : upper) ch = static_cast<char>(toupper(static_cast<unsigned char>(ch)));
  created_.push_back(upper);
  GetEventSourceHandle(Str(upper.c_str()), true);
  EXPECT_TRUE(KeyExists(upper)) << "a name differing in case is a new source";

  EXPECT_EQ(GetEventSourceHandle(Str(), true), nullptr);
}

// ---------------------------------------------------------------------------------------------
// Stream writers

class StreamWriter : public testing::Test {
 protected:
  std::string Contents(const wchar_t* name) {
    std::string bytes;
    test::ReadFileBytes(dir_.Join(name), &bytes);
    return bytes;
  }
  test::TempDir dir_;
};

TEST_F(StreamWriter, WritesTheTextAndOneLineFeed) {
  FILE* file = _wfopen(dir_.Join(L"out.txt").c_str(), L"wb");
  ASSERT_NE(file, nullptr);
  {
    StreamWatcher watcher(file);
    EXPECT_EQ(watcher.state.load(), StreamUsable);
    EXPECT_TRUE(WriteStreamRecord(watcher, Str("{\"a\":1}")));
    EXPECT_TRUE(WriteStreamRecord(watcher, Str("{\"b\":2}")));
    EXPECT_FALSE(WriteStreamRecord(watcher, Str())) << "an empty text is no record";
  }
  fclose(file);
  EXPECT_EQ(Contents(L"out.txt"), "{\"a\":1}\n{\"b\":2}\n");
}

TEST_F(StreamWriter, NoStreamIsRefused) {
  StreamWatcher watcher(nullptr);
  EXPECT_EQ(watcher.state.load(), StreamUnavailable);
  EXPECT_FALSE(WriteStreamRecord(watcher, Str("x")));
}

TEST_F(StreamWriter, RefusesEveryRecordAfterAFailedWrite) {
  ASSERT_TRUE(test::WriteFileBytes(dir_.Join(L"readonly.txt"), ""));
  FILE* file = _wfopen(dir_.Join(L"good.txt").c_str(), L"wb");
  ASSERT_NE(file, nullptr);
  setvbuf(file, nullptr, _IONBF, 0);  // every write reaches the file at once
  int fd = _fileno(file);
  int good = _dup(fd);
  int readOnly = _wopen(dir_.Join(L"readonly.txt").c_str(), _O_RDONLY | _O_BINARY);
  ASSERT_GE(good, 0);
  ASSERT_GE(readOnly, 0);

  // The stream's descriptor points at a file open for reading only: the write fails.
  ASSERT_EQ(_dup2(readOnly, fd), 0);
  StreamWatcher watcher(file);
  ASSERT_EQ(watcher.state.load(), StreamUsable);
  EXPECT_FALSE(WriteStreamRecord(watcher, Str("first")));
  EXPECT_EQ(watcher.state.load(), StreamFailed);

  // With a working file behind the stream again, the watcher still refuses and writes nothing.
  ASSERT_EQ(_dup2(good, fd), 0);
  clearerr(file);
  EXPECT_FALSE(WriteStreamRecord(watcher, Str("second")));
  EXPECT_EQ(Contents(L"good.txt"), "");
  StreamWatcher fresh(file);
  EXPECT_TRUE(WriteStreamRecord(fresh, Str("third")));
  fflush(file);
  EXPECT_EQ(Contents(L"good.txt"), "third\n");

  _close(readOnly);
  _close(good);
  fclose(file);
}

}  // namespace

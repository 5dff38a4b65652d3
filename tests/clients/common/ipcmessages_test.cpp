// The request vocabulary is shared with the client's processes: every id, its name, the gaps
// between ids and the foreground set are checked against the list the clients were built from.
#include "ipcmessages.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>

namespace {

struct Named {
  int32_t id;
  const char* name;
};

// Written out from the clients' list, not from the table under test.
const Named kVocabulary[] = {
    {100, "BX-BroadcastEvent"}, {101, "BX-ExecJS"}, {102, "BX-Login"}, {103, "BX-MsgRecv"},
    {104, "BX-ExecJSCallback"}, {105, "BX-IsValid"}, {109, "BX-MsgRecvFork"}, {201, "CV-MapiToMime"},
    {301, "OX-DocumentWriteLegacyFields"}, {302, "OX-DocumentWriteFields"}, {309, "OX-GetDocumentClean"},
    {310, "OX-SetDocumentCleanPoint"}, {311, "OX-SetDocumentClean"}, {312, "OX-SaveDocument"},
    {313, "OX-CloseDocument"}, {321, "OX-TrackDocument"}, {330, "OX-ExtractLinks"},
    {331, "OX-BeforeImportSelection"}, {332, "OX-PrepareImportSelection"},
    {333, "OX-ConcludeImportSelection"}, {334, "OX-BeforeImportRecipient"},
    {335, "OX-PrepareImportRecipient"}, {336, "OX-ConcludeImportRecipients"},
    {337, "OX-BeforeImportAttachment"}, {338, "OX-PrepareImportAttachment"},
    {339, "OX-ConcludeImportAttachments"}, {340, "OX-ExtractLinkedObjects"},
    {341, "OX-ModifyPropertiesSelection"}, {344, "OX-ModifyPropertiesRecipient"},
    {347, "OX-ModifyPropertiesAttachment"}, {350, "OX-EmbedShape"}, {351, "OX-EmbedPlain"},
    {352, "OX-EmbedFormatted"}, {353, "OX-EmbedBinary"}, {354, "OX-LinkPlain"}, {355, "OX-LinkFormatted"},
    {356, "OX-AttachBinary"}, {361, "OX-ExtractPlain"}, {362, "OX-ExtractFormatted"},
    {370, "OX-ExtractProtectable"}, {371, "OX-ExtractTop"}, {372, "OX-ExtractNested"},
    {381, "OX-AssignPlain"}, {382, "OX-AssignFormatted"}, {383, "OX-AssignBinary"},
    {384, "OX-AssignProperties"}, {385, "OX-AssignState"}, {391, "OX-DissolveModules"},
    {392, "OX-RemoveModule"}, {393, "OX-TouchModule"}, {601, "OX-DocumentTreeCreateNode"},
    {602, "OX-DocumentTreeModifyNode"}, {603, "OX-DocumentTreeRemoveNode"},
    {604, "OX-DocumentTreeConnectNode"}, {611, "OX-DocumentTreeCreateLeaf"},
    {612, "OX-DocumentTreeModifyLeaf"}, {613, "OX-DocumentTreeRemoveLeaf"}, {1101, "CX-SyncCred"},
    {1102, "CX-LogoutUserIdAndDevice"}, {1103, "CX-HasVennacorLoginToken"}, {1104, "CX-LogMeIn"},
    {1106, "CX-LogoutContextAndDevice"}, {1109, "CX-LogoutContextKeepDevice"}, {1110, "CX-OpenWebDav"},
    {1111, "CX-OpenCalDav"}, {1112, "CX-OpenCardDav"}, {1113, "CX-Quit"}, {1220, "CX-LANRecvMesgConfig"},
    {1221, "UI-LANSendMesgDocQry"}, {1222, "CX-LANRecvMesgDocQry"}, {1223, "CX-LANRecvHttpDocAck"},
    {1224, "CX-LANRecvHttpDocGet"}, {1225, "CX-LANSendHttpWhoIAm"}, {1301, "CX-DocManage"},
    {1302, "CX-DocManageForeground"}, {1401, "CX-AppLoad"}, {1501, "CX-SyncGetIconInfo"},
    {1502, "CX-SyncGetItemInfo"}, {1503, "CX-Noop"}, {1504, "UI-StartCX"}, {1506, "CX-SyncGetUserInfo"},
    {1800, "Bulletin"}, {1801, "InvokeNative"}, {1900, "CX-Ping"}, {1901, "CX-Advise"}, {1902, "CX-Unadvise"},
    {1999, "CX-Nuke"}, {2000, "UI-OpenBrowser"}, {2001, "UI-ShowErrorText"}, {2101, "UI-ShowBalloon"},
    {2103, "UI-GetVersion"}, {2104, "UI-Quit"}, {2105, "UI-Nuke"}, {2200, "UI-Notify"}, {2201, "UI-AppLoad"},
    {3001, "CX-SyncFolderTouched"}, {3002, "CX-SyncFolderPin"}, {3003, "CX-SyncFolderUnpin"},
    {3004, "CX-SyncFolderClipboard"}, {3005, "CX-SyncFolderClipboardOSX"}, {3101, "CX-SyncBoot"},
    {3106, "CX-SyncGetWorkState"}, {3107, "CX-SyncOpen"}, {3199, "CX-SyncNuke"}, {4000, "UI-GetRootFolders"},
    {4001, "UI-GetFolderIconStates"}, {4002, "CX-GetFolderIconStates"}, {4003, "UI-GetPathsMenuEntries"},
    {4100, "SX-UpdateIconStatesAtPath"}, {4101, "SX-RegisterRootFolders"}, {4102, "SX-UnregisterRootFolder"},
    {4103, "SX-RedBlueInvalidate"}, {4200, "SX-Refresh"}, {4300, "XX-Result"},
};

TEST(IpcMessageName, NamesEveryIdOfTheVocabulary) {
  ASSERT_EQ(std::size(kVocabulary), static_cast<size_t>(kIpcMessageCount));
  for (const Named& entry : kVocabulary) EXPECT_STREQ(IpcMessageName(entry.id), entry.name) << entry.id;
}

TEST(IpcMessageName, EveryOtherIdIsUnknown) {
  std::set<int32_t> known;
  for (const Named& entry : kVocabulary) known.insert(entry.id);
  int named = 0;
  for (int32_t id = -200; id <= 5000; ++id) {
    if (known.count(id)) {
      ++named;
      continue;
    }
    ASSERT_STREQ(IpcMessageName(id), "XX-Unknown") << id;
  }
  EXPECT_EQ(named, kIpcMessageCount);
  for (int32_t id : {INT32_MIN, -2104, INT32_MAX, 2104 + 65536}) EXPECT_STREQ(IpcMessageName(id), "XX-Unknown") << id;
}

TEST(IpcMessageName, EdgesOfTheTable) {
  const Named cases[] = {
      {2104, "UI-Quit"}, {4300, "XX-Result"}, {2102, "XX-Unknown"}, {0, "XX-Unknown"},
      {100, "BX-BroadcastEvent"}, {99, "XX-Unknown"}, {4301, "XX-Unknown"},
      // UI- names among CX- neighbours: the ids are not grouped strictly by prefix.
      {1221, "UI-LANSendMesgDocQry"}, {1504, "UI-StartCX"},
  };
  for (const Named& c : cases) EXPECT_STREQ(IpcMessageName(c.id), c.name) << c.id;
}

TEST(IpcMessageName, EnumeratorsCarryTheirIds) {
  EXPECT_EQ(IpcUiQuit, 2104);
  EXPECT_EQ(IpcXxResult, 4300);
  EXPECT_EQ(IpcUiLANSendMesgDocQry, 1221);
  EXPECT_EQ(IpcBulletin, 1800);
}

TEST(IsForegroundRequest, HoldsExactlyForTheSevenRequests) {
  const std::set<int32_t> expected = {1101, 1302, 1401, 1503, 1504, 2001, 2201};
  for (int32_t id = -10; id <= 5000; ++id) EXPECT_EQ(IsForegroundRequest(id), expected.count(id) == 1) << id;
}

TEST(IpcCopyData, LayoutOfOneMessage) {
  struct Case {
    int32_t id;
    const char* text;
    ULONG_PTR dwData;
    DWORD cbData;
  };
  const Case cases[] = {
      {IpcUiQuit, "", 2104, 1},
      {IpcCxPing, "abc", 1900, 4},
      {1, "\xC3\xA9t\xC3\xA9", 1, 6},  // UTF-8 bytes are counted, not characters
      {-5, "", static_cast<ULONG_PTR>(-5), 1},  // sign-widened to the pointer width
  };
  for (const Case& c : cases) {
    Str text(c.text);
    COPYDATASTRUCT data = IpcCopyData(c.id, text);
    EXPECT_EQ(data.dwData, c.dwData) << c.id;
    EXPECT_EQ(data.cbData, c.cbData) << c.id;
    ASSERT_NE(data.lpData, nullptr);
    EXPECT_EQ(memcmp(data.lpData, c.text, c.cbData), 0) << c.id;  // text and its zero byte
  }
}

}  // namespace

// The numbered requests that the client's processes exchange as WM_COPYDATA messages, and the
// layout of one message. The ids are shared with the tray and CX processes: never renumber one.
#pragma once

#include "str.h"
#include "win.h"

#include <cstdint>

// Every id with its enumerator and its name. UI- requests go to the tray process, CX- requests to
// a CX process; the prefix is part of the name only, the wire carries the id alone.
#define IPC_MESSAGE_TABLE(X) \
  X(100, BxBroadcastEvent, "BX-BroadcastEvent") \
  X(101, BxExecJS, "BX-ExecJS") \
  X(102, BxLogin, "BX-Login") \
  X(103, BxMsgRecv, "BX-MsgRecv") \
  X(104, BxExecJSCallback, "BX-ExecJSCallback") \
  X(105, BxIsValid, "BX-IsValid") \
  X(109, BxMsgRecvFork, "BX-MsgRecvFork") \
  X(201, CvMapiToMime, "CV-MapiToMime") \
  X(301, OxDocumentWriteLegacyFields, "OX-DocumentWriteLegacyFields") \
  X(302, OxDocumentWriteFields, "OX-DocumentWriteFields") \
  X(309, OxGetDocumentClean, "OX-GetDocumentClean") \
  X(310, OxSetDocumentCleanPoint, "OX-SetDocumentCleanPoint") \
  X(311, OxSetDocumentClean, "OX-SetDocumentClean") \
  X(312, OxSaveDocument, "OX-SaveDocument") \
  X(313, OxCloseDocument, "OX-CloseDocument") \
  X(321, OxTrackDocument, "OX-TrackDocument") \
  X(330, OxExtractLinks, "OX-ExtractLinks") \
  X(331, OxBeforeImportSelection, "OX-BeforeImportSelection") \
  X(332, OxPrepareImportSelection, "OX-PrepareImportSelection") \
  X(333, OxConcludeImportSelection, "OX-ConcludeImportSelection") \
  X(334, OxBeforeImportRecipient, "OX-BeforeImportRecipient") \
  X(335, OxPrepareImportRecipient, "OX-PrepareImportRecipient") \
  X(336, OxConcludeImportRecipients, "OX-ConcludeImportRecipients") \
  X(337, OxBeforeImportAttachment, "OX-BeforeImportAttachment") \
  X(338, OxPrepareImportAttachment, "OX-PrepareImportAttachment") \
  X(339, OxConcludeImportAttachments, "OX-ConcludeImportAttachments") \
  X(340, OxExtractLinkedObjects, "OX-ExtractLinkedObjects") \
  X(341, OxModifyPropertiesSelection, "OX-ModifyPropertiesSelection") \
  X(344, OxModifyPropertiesRecipient, "OX-ModifyPropertiesRecipient") \
  X(347, OxModifyPropertiesAttachment, "OX-ModifyPropertiesAttachment") \
  X(350, OxEmbedShape, "OX-EmbedShape") \
  X(351, OxEmbedPlain, "OX-EmbedPlain") \
  X(352, OxEmbedFormatted, "OX-EmbedFormatted") \
  X(353, OxEmbedBinary, "OX-EmbedBinary") \
  X(354, OxLinkPlain, "OX-LinkPlain") \
  X(355, OxLinkFormatted, "OX-LinkFormatted") \
  X(356, OxAttachBinary, "OX-AttachBinary") \
  X(361, OxExtractPlain, "OX-ExtractPlain") \
  X(362, OxExtractFormatted, "OX-ExtractFormatted") \
  X(370, OxExtractProtectable, "OX-ExtractProtectable") \
  X(371, OxExtractTop, "OX-ExtractTop") \
  X(372, OxExtractNested, "OX-ExtractNested") \
  X(381, OxAssignPlain, "OX-AssignPlain") \
  X(382, OxAssignFormatted, "OX-AssignFormatted") \
  X(383, OxAssignBinary, "OX-AssignBinary") \
  X(384, OxAssignProperties, "OX-AssignProperties") \
  X(385, OxAssignState, "OX-AssignState") \
  X(391, OxDissolveModules, "OX-DissolveModules") \
  X(392, OxRemoveModule, "OX-RemoveModule") \
  X(393, OxTouchModule, "OX-TouchModule") \
  X(601, OxDocumentTreeCreateNode, "OX-DocumentTreeCreateNode") \
  X(602, OxDocumentTreeModifyNode, "OX-DocumentTreeModifyNode") \
  X(603, OxDocumentTreeRemoveNode, "OX-DocumentTreeRemoveNode") \
  X(604, OxDocumentTreeConnectNode, "OX-DocumentTreeConnectNode") \
  X(611, OxDocumentTreeCreateLeaf, "OX-DocumentTreeCreateLeaf") \
  X(612, OxDocumentTreeModifyLeaf, "OX-DocumentTreeModifyLeaf") \
  X(613, OxDocumentTreeRemoveLeaf, "OX-DocumentTreeRemoveLeaf") \
  X(1101, CxSyncCred, "CX-SyncCred") \
  X(1102, CxLogoutUserIdAndDevice, "CX-LogoutUserIdAndDevice") \
  X(1103, CxHasVennacorLoginToken, "CX-HasVennacorLoginToken") \
  X(1104, CxLogMeIn, "CX-LogMeIn") \
  X(1106, CxLogoutContextAndDevice, "CX-LogoutContextAndDevice") \
  X(1109, CxLogoutContextKeepDevice, "CX-LogoutContextKeepDevice") \
  X(1110, CxOpenWebDav, "CX-OpenWebDav") \
  X(1111, CxOpenCalDav, "CX-OpenCalDav") \
  X(1112, CxOpenCardDav, "CX-OpenCardDav") \
  X(1113, CxQuit, "CX-Quit") \
  X(1220, CxLANRecvMesgConfig, "CX-LANRecvMesgConfig") \
  X(1221, UiLANSendMesgDocQry, "UI-LANSendMesgDocQry") \
  X(1222, CxLANRecvMesgDocQry, "CX-LANRecvMesgDocQry") \
  X(1223, CxLANRecvHttpDocAck, "CX-LANRecvHttpDocAck") \
  X(1224, CxLANRecvHttpDocGet, "CX-LANRecvHttpDocGet") \
  X(1225, CxLANSendHttpWhoIAm, "CX-LANSendHttpWhoIAm") \
  X(1301, CxDocManage, "CX-DocManage") \
  X(1302, CxDocManageForeground, "CX-DocManageForeground") \
  X(1401, CxAppLoad, "CX-AppLoad") \
  X(1501, CxSyncGetIconInfo, "CX-SyncGetIconInfo") \
  X(1502, CxSyncGetItemInfo, "CX-SyncGetItemInfo") \
  X(1503, CxNoop, "CX-Noop") \
  X(1504, UiStartCX, "UI-StartCX") \
  X(1506, CxSyncGetUserInfo, "CX-SyncGetUserInfo") \
  X(1800, Bulletin, "Bulletin") \
  X(1801, InvokeNative, "InvokeNative") \
  X(1900, CxPing, "CX-Ping") \
  X(1901, CxAdvise, "CX-Advise") \
  X(1902, CxUnadvise, "CX-Unadvise") \
  X(1999, CxNuke, "CX-Nuke") \
  X(2000, UiOpenBrowser, "UI-OpenBrowser") \
  X(2001, UiShowErrorText, "UI-ShowErrorText") \
  X(2101, UiShowBalloon, "UI-ShowBalloon") \
  X(2103, UiGetVersion, "UI-GetVersion") \
  X(2104, UiQuit, "UI-Quit") \
  X(2105, UiNuke, "UI-Nuke") \
  X(2200, UiNotify, "UI-Notify") \
  X(2201, UiAppLoad, "UI-AppLoad") \
  X(3001, CxSyncFolderTouched, "CX-SyncFolderTouched") \
  X(3002, CxSyncFolderPin, "CX-SyncFolderPin") \
  X(3003, CxSyncFolderUnpin, "CX-SyncFolderUnpin") \
  X(3004, CxSyncFolderClipboard, "CX-SyncFolderClipboard") \
  X(3005, CxSyncFolderClipboardOSX, "CX-SyncFolderClipboardOSX") \
  X(3101, CxSyncBoot, "CX-SyncBoot") \
  X(3106, CxSyncGetWorkState, "CX-SyncGetWorkState") \
  X(3107, CxSyncOpen, "CX-SyncOpen") \
  X(3199, CxSyncNuke, "CX-SyncNuke") \
  X(4000, UiGetRootFolders, "UI-GetRootFolders") \
  X(4001, UiGetFolderIconStates, "UI-GetFolderIconStates") \
  X(4002, CxGetFolderIconStates, "CX-GetFolderIconStates") \
  X(4003, UiGetPathsMenuEntries, "UI-GetPathsMenuEntries") \
  X(4100, SxUpdateIconStatesAtPath, "SX-UpdateIconStatesAtPath") \
  X(4101, SxRegisterRootFolders, "SX-RegisterRootFolders") \
  X(4102, SxUnregisterRootFolder, "SX-UnregisterRootFolder") \
  X(4103, SxRedBlueInvalidate, "SX-RedBlueInvalidate") \
  X(4200, SxRefresh, "SX-Refresh") \
  X(4300, XxResult, "XX-Result")

enum IpcMessage : int32_t {
#define IPC_MESSAGE_ENUMERATOR(id, name, text) Ipc##name = id,
  IPC_MESSAGE_TABLE(IPC_MESSAGE_ENUMERATOR)
#undef IPC_MESSAGE_ENUMERATOR
};

inline constexpr int kIpcMessageCount = 114;

// The constant name of an id; "XX-Unknown" for every id not in the table (gaps, 0, negatives).
// Never fails, never allocates.
const char* IpcMessageName(int32_t id) noexcept;

// True for the requests whose receiver may bring a window to the front while it handles them:
// the sender grants it the foreground right first.
bool IsForegroundRequest(int32_t id) noexcept;

// One message as SendMessageA(WM_COPYDATA) carries it: the id widened with its sign, the text's
// UTF-8 bytes and their terminating zero (an empty text is the single zero byte). The structure
// points into `text`, which must outlive it.
COPYDATASTRUCT IpcCopyData(int32_t id, const Str& text) noexcept;

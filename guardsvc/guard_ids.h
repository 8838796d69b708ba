// Identifiers, texts and codes of the on-access guard: its dialog templates
// and their controls, its private message, the named objects it creates and
// the result codes of the scan-and-act step.
#pragma once

#include "ce/ui.h"
#include "ce/windows.h"

namespace guard {

using ce::DWORD;
using ce::UINT;
using ce::WCHAR;

// ---- Dialog templates the library exports ------------------------------------
inline constexpr ce::WORD kTemplateFileWatch = 101;  // "Online Protection": file change notifications
inline constexpr ce::WORD kTemplateCard = 103;       // "Expansion Card Notification": card insert/remove
inline constexpr ce::WORD kTemplateNotify = 105;     // "Nyxel": the infection notification

// Controls of the notification dialog.
inline constexpr int kIdOk = 1003;
inline constexpr int kIdFileLabel = 1006;
inline constexpr int kIdVirusLabel = 1007;
inline constexpr int kIdActionLabel = 1008;
inline constexpr int kIdFileName = 1009;
inline constexpr int kIdVirusName = 1010;
inline constexpr int kIdActionTaken = 1011;

// The worker's message to the notification dialog: show what was found.
inline constexpr UINT kMsgShowNotification = ce::WM_USER + 100;  // 1124
// The service's message to its user-interface thread: destroy the windows
// and leave the message loop (posted by OLN_Deinit).
inline constexpr UINT kMsgStopUi = ce::WM_APP + 0x16;

// ---- Named kernel objects ----------------------------------------------------
inline constexpr const WCHAR* kCloseEventName = u"Oln_Close_Event";
inline constexpr const WCHAR* kOnlineChangedName = u"Online Options_Changed";
inline constexpr const WCHAR* kOtherChangedName = u"Other Options_Changed";
inline constexpr const WCHAR* kCloseRemindName = u"Close_Remind_Event";

// ---- Texts -------------------------------------------------------------------
inline constexpr const WCHAR* kCaption = u"Nyxel";
inline constexpr const WCHAR* kReminderText =
    u"Nyxel was installed on the storage card. You have removed storage card. Please insert the storage card "
    u"again to function Nyxel properly OR reinstall Nyxel.";
inline constexpr const WCHAR* kSetReminderFailed = u"SetReminder() failed";
inline constexpr const WCHAR* kEnableFailed = u"EnableOnlineProtection()";
inline constexpr const WCHAR* kCreateEventFailed = u"CreateEvent() failed for CLOSEREMINDER";
inline constexpr const WCHAR* kCreateThreadFailed = u"CreateThread() failed for NxRemindThreadProc";
inline constexpr const WCHAR* kHelpFailed = u"Cannot open help. The file cannot be found.";
inline constexpr UINT kBoxFlags = ce::MB_TOPMOST;                             // 0x40000
inline constexpr UINT kReminderFlags = ce::MB_TOPMOST | ce::MB_ICONINFORMATION;  // 0x40040
inline constexpr DWORD kReminderIntervalMs = 1800000;                         // 30 minutes

inline constexpr const WCHAR* kHelpViewer = u"\\Windows\\peghelp.exe";
inline constexpr const WCHAR* kScannerProgram = u"scanner.exe";
inline constexpr const WCHAR* kCardScanArguments = u"ExpansionCardInserted %s";

// ---- Scan-and-act results ----------------------------------------------------
// The codes of the result record; each one shown has a notification text and a
// report word. kResultNotScanned is the guard's own: a file whose scan could
// not look at everything is never passed as clean.
inline constexpr DWORD kResultRepaired = 3001;
inline constexpr DWORD kResultUnrepairable = 3002;
inline constexpr DWORD kResultDeleted = 3003;
inline constexpr DWORD kResultSkipped = 3004;
inline constexpr DWORD kResultQuarantined = 3007;
inline constexpr DWORD kResultNotScanned = 3008;

}  // namespace guard

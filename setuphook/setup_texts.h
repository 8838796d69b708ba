// What setup shows and the names it leaves on the device.
#pragma once

#include "ce/ui.h"
#include "ce/windows.h"

namespace setup {

inline constexpr const ce::WCHAR* kCaption = u"Nyxel";
inline constexpr ce::UINT kBoxFlags = ce::MB_ICONINFORMATION | ce::MB_TOPMOST;

inline constexpr const ce::WCHAR* kNotApplicable = u"The provided setup is not applicable for this device.";
inline constexpr const ce::WCHAR* kAlreadyInstalled =
    u"Nyxel is already installed on this system.You will need to uninstall the previous version before proceeding "
    u"with new installation.";
inline constexpr const ce::WCHAR* kNotValid = u"Setup is not valid";

// Folders made below the installation directory.
inline constexpr const ce::WCHAR* kProductFolders[] = {u"\\Config", u"\\temp", u"\\Log", u"\\Report",
                                                       u"\\Quarantine"};

inline constexpr const ce::WCHAR* kSoftwareKey = u"Software";
inline constexpr const ce::WCHAR* kCurrentVersionValue = u"Current Version";
inline constexpr const ce::WCHAR* kVersionFile = u"scanver.cnf";
inline constexpr ce::DWORD kVersionRecordBytes = 20;

inline constexpr const ce::WCHAR* kHelpFolder = u"\\Windows\\Help";
inline constexpr const ce::WCHAR* kHelpShortcut = u"\\Windows\\Help\\Nyxel AntiVirus.lnk";
inline constexpr const ce::WCHAR* kHelpPage = u"\\Windows\\NXAVWM.htm";

}  // namespace setup

// The hooks the handset's CAB installer calls in a setup library: before and
// after it copies the files, before and after it removes them. Their return
// codes steer the installer.
#pragma once

#include "ce/ui.h"
#include "ce/windows.h"

namespace ce {

enum codeINSTALL_INIT : int { codeINSTALL_INIT_CONTINUE = 0, codeINSTALL_INIT_CANCEL = 1 };
enum codeINSTALL_EXIT : int { codeINSTALL_EXIT_DONE = 0, codeINSTALL_EXIT_UNINSTALL = 1 };
enum codeUNINSTALL_INIT : int { codeUNINSTALL_INIT_CONTINUE = 0, codeUNINSTALL_INIT_CANCEL = 1 };
enum codeUNINSTALL_EXIT : int { codeUNINSTALL_EXIT_DONE = 0 };

// The exports' names and types, as the installer looks them up.
using PFN_Install_Init = codeINSTALL_INIT (*)(HWND parent, BOOL firstCall, BOOL previouslyInstalled,
                                              LPCWSTR installDir);
using PFN_Install_Exit = codeINSTALL_EXIT (*)(HWND parent, LPCWSTR installDir, WORD failedDirs, WORD failedFiles,
                                              WORD failedRegKeys, WORD failedRegValues, WORD failedShortcuts);
using PFN_Uninstall_Init = codeUNINSTALL_INIT (*)(HWND parent, LPCWSTR installDir);
using PFN_Uninstall_Exit = codeUNINSTALL_EXIT (*)(HWND parent);

}  // namespace ce

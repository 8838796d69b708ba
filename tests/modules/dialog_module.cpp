// A module that exports dialog templates as data, as the guard's library does:
// 105 is a notification dialog with bold labels, value fields and an Ok
// button; 101 a window that is never shown.
#include "ce/ui.h"

namespace {

using namespace ce;

constexpr DWORD kLabel = WS_VISIBLE | SS_LEFT;
constexpr DWORD kField = WS_VISIBLE | ES_LEFT | ES_READONLY;

const CeDialogItem kNotifyItems[] = {
    {CE_CLASS_STATIC, 0xFFFF, kLabel, CE_DLGITEM_BOLD, 4, 8, 80, 14, u"File Name:"},
    {CE_CLASS_EDIT, 1009, kField, 0, 88, 8, 148, 14, u""},
    {CE_CLASS_STATIC, 0xFFFF, kLabel, CE_DLGITEM_BOLD, 4, 28, 80, 14, u"Virus Name:"},
    {CE_CLASS_EDIT, 1010, kField, 0, 88, 28, 148, 14, u""},
    {CE_CLASS_STATIC, 0xFFFF, kLabel, CE_DLGITEM_BOLD, 4, 48, 80, 14, u"Action Taken:"},
    {CE_CLASS_EDIT, 1011, kField, 0, 88, 48, 148, 14, u""},
    {CE_CLASS_BUTTON, 1003, WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON, 0, 90, 80, 60, 20, u"Ok"},
};

const CeDialogTemplate kTemplates[] = {
    {101, WS_POPUP, 0, 0, 0, 240, 320, u"Online Protection", nullptr, 0},
    {105, WS_POPUP | WS_CAPTION, WS_EX_CONTEXTHELP, 0, 26, 240, 120, u"Nyxel", kNotifyItems,
     static_cast<WORD>(sizeof kNotifyItems / sizeof kNotifyItems[0])},
};

}  // namespace

extern "C" __attribute__((visibility("default"))) const CeDialogTemplate* CeDialogTemplates(DWORD* count) {
  if (count) *count = static_cast<DWORD>(sizeof kTemplates / sizeof kTemplates[0]);
  return kTemplates;
}

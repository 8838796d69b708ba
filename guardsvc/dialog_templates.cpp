// The library's three dialog templates, exported as data the way the CE
// layer takes them from a module (CeDialogTemplates). Coordinates are those of
// a 96 DPI portrait screen; the notification dialog is placed again for the
// screen it is shown on (notify_dialog.cpp).
#include "guardsvc/dialog_templates.h"

#include "guardsvc/guard_ids.h"

namespace guard {

using namespace ce;

namespace {

constexpr DWORD kHidden = WS_POPUP;
constexpr DWORD kLabel = WS_CHILD | WS_VISIBLE | SS_LEFT;
constexpr DWORD kValue = WS_CHILD | WS_VISIBLE | SS_LEFT;

const CeDialogItem kNotifyItems[] = {
    {CE_CLASS_STATIC, static_cast<WORD>(kIdFileLabel), kLabel, CE_DLGITEM_BOLD, 6, 8, 78, 16, u"File Name:"},
    {CE_CLASS_STATIC, static_cast<WORD>(kIdFileName), kValue, 0, 86, 8, 132, 36, u""},
    {CE_CLASS_STATIC, static_cast<WORD>(kIdVirusLabel), kLabel, CE_DLGITEM_BOLD, 6, 48, 78, 16, u"Virus Name:"},
    {CE_CLASS_STATIC, static_cast<WORD>(kIdVirusName), kValue, 0, 86, 48, 132, 20, u""},
    {CE_CLASS_STATIC, static_cast<WORD>(kIdActionLabel), kLabel, CE_DLGITEM_BOLD, 6, 72, 78, 16, u"Action Taken:"},
    {CE_CLASS_STATIC, static_cast<WORD>(kIdActionTaken), kValue, 0, 86, 72, 132, 36, u""},
    {CE_CLASS_BUTTON, static_cast<WORD>(kIdOk), WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON, 0, 80, 136, 64,
     24, u"Ok"},
};

const CeDialogTemplate kTemplates[] = {
    {kTemplateFileWatch, kHidden, 0, 0, 0, 10, 10, u"Online Protection", nullptr, 0},
    {kTemplateCard, kHidden, 0, 0, 0, 10, 10, u"Expansion Card Notification", nullptr, 0},
    {kTemplateNotify, WS_POPUP | WS_CAPTION | DS_MODALFRAME, WS_EX_TOPMOST | WS_EX_CONTEXTHELP, 8, 60, 224, 168,
     u"Nyxel", kNotifyItems, static_cast<WORD>(sizeof kNotifyItems / sizeof kNotifyItems[0])},
};

}  // namespace

const CeDialogTemplate* dialogTemplates(DWORD* count) {
  if (count) *count = static_cast<DWORD>(sizeof kTemplates / sizeof kTemplates[0]);
  return kTemplates;
}

}  // namespace guard

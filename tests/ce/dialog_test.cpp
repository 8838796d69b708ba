// Dialogs from templates a module exports as data: creation and its errors,
// WM_INITDIALOG, item texts, bold labels, the dialog part of the message
// loop, modal dialogs, and layout by the screen's metrics and resolution.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "ce/ce.h"
#include "ce/screen.h"
#include "testkit.h"

using namespace ce;

namespace {

std::string buildFile(const std::string& rel) {
  std::ifstream in(std::string(NX_BUILD_DIR) + "/" + rel, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

struct DialogLog {
  std::vector<UINT> msgs;
  std::vector<WORD> commands;
  LPARAM init = 0;
  HWND focus = nullptr;
};
thread_local DialogLog* t_log = nullptr;

INT_PTR loggingProc(HWND dlg, UINT msg, WPARAM wParam, LPARAM lParam) {
  if (!t_log) return FALSE;
  t_log->msgs.push_back(msg);
  if (msg == WM_INITDIALOG) {
    t_log->init = lParam;
    t_log->focus = reinterpret_cast<HWND>(wParam);
    return TRUE;
  }
  if (msg == WM_COMMAND) {
    t_log->commands.push_back(LOWORD(wParam));
    if (LOWORD(wParam) == IDCANCEL || LOWORD(wParam) == 1003) EndDialog(dlg, LOWORD(wParam));
    return TRUE;
  }
  return FALSE;
}

class Dialogs : public ::testing::Test {
 protected:
  void SetUp() override {
    dev.writeFile("Windows/ce_test_dialogs.dll", buildFile("tests/modules/ce_test_dialogs.dll"));
    dev.writeFile("Windows/ce_test_module_v1.dll", buildFile("tests/modules/ce_test_module_v1.dll"));
    module = LoadLibraryW(u"\\Windows\\ce_test_dialogs.dll");
    ASSERT_TRUE(module) << GetLastError();
    t_log = &log;
  }
  void TearDown() override {
    t_log = nullptr;
    FreeLibrary(module);
  }
  nxtest::TempDevice dev;
  HMODULE module = nullptr;
  DialogLog log;
};

std::u16string itemText(HWND dlg, int id) {
  WCHAR buf[128];
  GetDlgItemTextW(dlg, id, buf, 128);
  return buf;
}

}  // namespace

TEST_F(Dialogs, MadeFromTheModulesTemplate) {
  HWND dlg = CreateDialogParamW(module, MAKEINTRESOURCEW(105), nullptr, &loggingProc, 1234);
  ASSERT_TRUE(dlg) << GetLastError();
  EXPECT_EQ(log.init, 1234);
  ASSERT_FALSE(log.msgs.empty());
  EXPECT_EQ(log.msgs.front(), WM_INITDIALOG) << "the procedure's first message";
  EXPECT_EQ(log.focus, GetDlgItem(dlg, 1003)) << "the first tab stop";
  WCHAR caption[32];
  GetWindowTextW(dlg, caption, 32);
  EXPECT_EQ(std::u16string(caption), u"Nyxel");
  EXPECT_FALSE(IsWindowVisible(dlg)) << "the template is not WS_VISIBLE";
  EXPECT_EQ(itemText(dlg, 1003), u"Ok");
  EXPECT_EQ(itemText(dlg, 1009), u"");
  ASSERT_TRUE(SetDlgItemTextW(dlg, 1009, u"\\Temp\\x.exe"));
  EXPECT_EQ(itemText(dlg, 1009), u"\\Temp\\x.exe");
  EXPECT_FALSE(SetDlgItemTextW(dlg, 4242, u"none"));
  EXPECT_EQ(GetLastError(), ERROR_CONTROL_ID_NOT_FOUND);

  // The labels carry the template's bold flag; fields and the button do not.
  ASSERT_TRUE(ShowWindow(dlg, SW_SHOW) == FALSE);
  auto shown = screen::TopLevelWindows();
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0].templateId, 105u);
  EXPECT_TRUE(shown[0].dialog);
  int bold = 0;
  for (const auto& c : shown[0].controls) {
    if (c.kind == std::string("label")) {
      EXPECT_EQ(c.weight, 700) << ce::utf16ToUtf8(c.text);
      EXPECT_EQ(c.id, IDC_STATIC);
      ++bold;
    } else {
      EXPECT_EQ(c.weight, 0);
    }
  }
  EXPECT_EQ(bold, 3);
  ASSERT_TRUE(DestroyWindow(dlg));
  EXPECT_TRUE(screen::TopLevelWindows().empty());
}

TEST_F(Dialogs, TemplatesThatCannotBeHadGiveStatedCodes) {
  struct Case {
    const char* what;
    HMODULE module;
    WORD id;
    DWORD error;
  };
  HMODULE plain = LoadLibraryW(u"\\Windows\\ce_test_module_v1.dll");
  ASSERT_TRUE(plain);
  const Case cases[] = {
      {"an id the module lacks", module, 999, ERROR_RESOURCE_NAME_NOT_FOUND},
      {"a module without templates", plain, 105, ERROR_RESOURCE_DATA_NOT_FOUND},
      {"a handle that is no module", reinterpret_cast<HMODULE>(0x12345678), 105, ERROR_MOD_NOT_FOUND},
  };
  for (const auto& c : cases) {
    SetLastError(0);
    EXPECT_EQ(CreateDialogParamW(c.module, MAKEINTRESOURCEW(c.id), nullptr, &loggingProc, 0), nullptr) << c.what;
    EXPECT_EQ(GetLastError(), c.error) << c.what;
    EXPECT_EQ(DialogBoxParamW(c.module, MAKEINTRESOURCEW(c.id), nullptr, &loggingProc, 0), -1) << c.what;
  }
  EXPECT_EQ(CreateDialogParamW(module, u"NOTIFY", nullptr, &loggingProc, 0), nullptr) << "templates have ids only";
  EXPECT_EQ(GetLastError(), ERROR_RESOURCE_NAME_NOT_FOUND);
  FreeLibrary(plain);

  CeDialogItem item{CE_CLASS_STATIC, 1, WS_VISIBLE, 0, 0, 0, 10, 10, u"x"};
  const CeDialogTemplate bad[] = {
      {1, 0, 0, 0, 0, 10, 10, u"too many items", &item, 300},
      {2, 0, 0, 0, 0, 10, 10, u"items missing", nullptr, 2},
      {3, 0, 0, 0, 0, -5, 10, u"negative size", nullptr, 0},
  };
  for (const auto& t : bad) {
    EXPECT_EQ(CreateDialogIndirectParamW(nullptr, &t, nullptr, &loggingProc, 0), nullptr) << utf16ToUtf8(t.caption);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_DATA);
  }
  CeDialogItem unknownClass{0x0099, 1, 0, 0, 0, 0, 1, 1, u""};
  CeDialogTemplate t{4, 0, 0, 0, 0, 10, 10, u"unknown class", &unknownClass, 1};
  EXPECT_EQ(CreateDialogIndirectParamW(nullptr, &t, nullptr, &loggingProc, 0), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_DATA);
  EXPECT_TRUE(screen::TopLevelWindows(false).empty()) << "nothing half-made is left";
}

TEST_F(Dialogs, DialogMessagesGoToTheDialogAndKeysBecomeCommands) {
  HWND dlg = CreateDialogParamW(module, MAKEINTRESOURCEW(105), nullptr, &loggingProc, 0);
  HWND other = CreateDialogParamW(module, MAKEINTRESOURCEW(101), nullptr, &loggingProc, 0);
  ASSERT_TRUE(dlg && other);
  PostMessageW(GetDlgItem(dlg, 1009), WM_KEYDOWN, VK_RETURN, 0);  // the default button is Ok
  PostMessageW(dlg, WM_KEYDOWN, VK_ESCAPE, 0);
  PostMessageW(dlg, WM_USER + 9, 0, 0);
  PostMessageW(other, WM_USER + 10, 0, 0);
  MSG m;
  std::vector<UINT> notForDlg;
  while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) {
    if (!IsDialogMessageW(dlg, &m)) {
      notForDlg.push_back(m.message);
      DispatchMessageW(&m);
    }
  }
  EXPECT_EQ(log.commands, (std::vector<WORD>{1003, IDCANCEL}));
  EXPECT_EQ(notForDlg, (std::vector<UINT>{WM_USER + 10}));
  EXPECT_NE(std::find(log.msgs.begin(), log.msgs.end(), WM_USER + 9), log.msgs.end());
  // WM_CLOSE reaches a dialog's procedure as a cancel.
  log.commands.clear();
  SendMessageW(other, WM_CLOSE, 0, 0);
  EXPECT_EQ(log.commands, (std::vector<WORD>{IDCANCEL}));
  EXPECT_TRUE(IsWindow(other)) << "a dialog is not destroyed by WM_CLOSE itself";
  DestroyWindow(dlg);
  DestroyWindow(other);
}

TEST_F(Dialogs, AModalDialogRunsUntilEndDialog) {
  // Ok is pressed once the dialog is up: a message waiting for it in the queue.
  struct Presser {
    static INT_PTR proc(HWND dlg, UINT msg, WPARAM wParam, LPARAM lParam) {
      if (msg == WM_INITDIALOG) {
        EXPECT_TRUE(PostMessageW(GetDlgItem(dlg, 1003), BM_CLICK, 0, 0));
        return TRUE;
      }
      return loggingProc(dlg, msg, wParam, lParam);
    }
  };
  EXPECT_EQ(DialogBoxParamW(module, MAKEINTRESOURCEW(105), nullptr, &Presser::proc, 0), 1003);
  EXPECT_EQ(log.commands, (std::vector<WORD>{1003}));
  EXPECT_TRUE(screen::TopLevelWindows(false).empty()) << "the modal dialog is destroyed on return";

  // A WM_QUIT met by the modal loop ends it and stays for the outer loop.
  PostQuitMessage(3);
  EXPECT_EQ(DialogBoxParamW(module, MAKEINTRESOURCEW(105), nullptr, &loggingProc, 0), IDCANCEL);
  MSG m;
  ASSERT_TRUE(PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE));
  EXPECT_EQ(m.message, WM_QUIT);
  EXPECT_EQ(m.wParam, 3u);
}

TEST_F(Dialogs, LayoutFollowsTheScreen) {
  struct Case {
    screen::Orientation o;
    int dpi;
    int cx, cy;
  };
  const Case cases[] = {
      {screen::Orientation::Portrait, 96, 240, 320},
      {screen::Orientation::Landscape, 96, 320, 240},
      {screen::Orientation::Portrait, 192, 480, 640},
      {screen::Orientation::Landscape, 192, 640, 480},
  };
  for (const auto& c : cases) {
    ASSERT_TRUE(screen::SetDpi(c.dpi));
    ASSERT_TRUE(screen::SetOrientation(c.o));
    EXPECT_EQ(GetSystemMetrics(SM_CXSCREEN), c.cx);
    EXPECT_EQ(GetSystemMetrics(SM_CYSCREEN), c.cy);
    HDC dc = GetDC(nullptr);
    EXPECT_EQ(GetDeviceCaps(dc, LOGPIXELSX), c.dpi);
    EXPECT_EQ(GetDeviceCaps(dc, LOGPIXELSY), c.dpi);
    ReleaseDC(nullptr, dc);
    // Template coordinates are 96 DPI pixels.
    HWND dlg = CreateDialogParamW(module, MAKEINTRESOURCEW(105), nullptr, &loggingProc, 0);
    ASSERT_TRUE(dlg);
    RECT r;
    GetWindowRect(GetDlgItem(dlg, 1003), &r);
    EXPECT_EQ(r.right - r.left, 60 * c.dpi / 96);
    EXPECT_EQ(r.top, (26 + 80) * c.dpi / 96);
    DestroyWindow(dlg);
  }
  EXPECT_FALSE(screen::SetDpi(120));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(GetDeviceCaps(reinterpret_cast<HDC>(0x1234), LOGPIXELSX), 0) << "not a context";
  EXPECT_EQ(GetSystemMetrics(9999), 0);
}

TEST_F(Dialogs, ABoldFontGivenToALabelIsKept) {
  HWND dlg = CreateDialogParamW(module, MAKEINTRESOURCEW(105), nullptr, &loggingProc, 0);
  ASSERT_TRUE(dlg);
  LOGFONTW lf{};
  lf.lfHeight = 13;
  lf.lfWeight = FW_BOLD;
  HFONT bold = CreateFontIndirectW(&lf);
  ASSERT_TRUE(bold);
  HWND field = GetDlgItem(dlg, 1010);
  SendMessageW(field, WM_SETFONT, reinterpret_cast<WPARAM>(bold), TRUE);
  EXPECT_EQ(reinterpret_cast<HFONT>(SendMessageW(field, WM_GETFONT, 0, 0)), bold);
  HDC dc = GetDC(dlg);
  HGDIOBJ old = SelectObject(dc, bold);
  EXPECT_EQ(old, GetStockObject(SYSTEM_FONT));
  EXPECT_EQ(SelectObject(dc, reinterpret_cast<HGDIOBJ>(0x99)), nullptr);
  ReleaseDC(dlg, dc);
  LOGFONTW back{};
  EXPECT_EQ(GetObjectW(bold, sizeof back, &back), static_cast<int>(sizeof back));
  EXPECT_EQ(back.lfWeight, FW_BOLD);
  auto shown = screen::TopLevelWindows(false);
  ASSERT_EQ(shown.size(), 1u);
  bool found = false;
  for (const auto& c : shown[0].controls)
    if (c.id == 1010) {
      EXPECT_EQ(c.weight, 700);
      EXPECT_EQ(c.height, 13);
      found = true;
    }
  EXPECT_TRUE(found);
  DestroyWindow(dlg);
  EXPECT_TRUE(DeleteObject(bold));
  EXPECT_FALSE(DeleteObject(bold));
}

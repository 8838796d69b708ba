// User-interface texts by identifier from the string library uires.dll in
// the installation directory, each with the built-in English text the caller
// falls back to when the library, or the one identifier, cannot be had. The
// product works without the library.
#pragma once

#include <cstddef>
#include <string>

#include "ce/windows.h"

namespace nx {

namespace ui {

struct Text {
  ce::DWORD id;
  const ce::WCHAR* text;
};

// Identifiers the product asks for.
inline constexpr ce::DWORD kCompany = 3000;
inline constexpr ce::DWORD kVirusDatabase = 3012;
inline constexpr ce::DWORD kVersion = 3013;
inline constexpr ce::DWORD kReportFor = 3014;
inline constexpr ce::DWORD kDetected = 3015;
inline constexpr ce::DWORD kScannerSettings = 3017;
inline constexpr ce::DWORD kScanExecutables = 3018;
inline constexpr ce::DWORD kRespond = 3019;
inline constexpr ce::DWORD kActionRepairDelete = 3020;
inline constexpr ce::DWORD kActionDelete = 3021;
inline constexpr ce::DWORD kActionPrompt = 3022;
inline constexpr ce::DWORD kActionReportOnly = 3023;
inline constexpr ce::DWORD kMonday = 3024;  // ... 3029 Saturday
inline constexpr ce::DWORD kSunday = 3030;
inline constexpr ce::DWORD kWordRepaired = 3031;
inline constexpr ce::DWORD kWordDeleted = 3032;
inline constexpr ce::DWORD kWordSkipped = 3033;
inline constexpr ce::DWORD kWordUnrepairable = 3034;
inline constexpr ce::DWORD kWordMarkForDeletion = 3035;
inline constexpr ce::DWORD kJanuary = 3036;  // ... 3047 December
inline constexpr ce::DWORD kActionTaken = 3049;
inline constexpr ce::DWORD kScanAllFiles = 3050;
inline constexpr ce::DWORD kSeparator = 3051;
inline constexpr ce::DWORD kWordQuarantined = 3052;
inline constexpr ce::DWORD kActionRepairQuarantine = 3054;
inline constexpr ce::DWORD kFileName = 3055;
inline constexpr ce::DWORD kUpdated = 3056;
inline constexpr ce::DWORD kUpToDate = 3057;
inline constexpr ce::DWORD kUpdateFailed = 3058;
inline constexpr ce::DWORD kFromVersion = 3059;
inline constexpr ce::DWORD kToVersion = 3060;  // no built-in text: kFromVersion's text stands in
inline constexpr ce::DWORD kNoConnection = 3064;
inline constexpr ce::DWORD kWhatToScan = 3080;
inline constexpr ce::DWORD kInterrupted = 3119;
inline constexpr ce::DWORD kTitleUpdated = 3123;
inline constexpr ce::DWORD kTitleUpToDate = 3124;
inline constexpr ce::DWORD kTitleFailed = 3125;
inline constexpr ce::DWORD kSpecifyPath = 3128;
inline constexpr ce::DWORD kNoDefinitions = 3154;
inline constexpr ce::DWORD kCorruptDefinition = 3155;
inline constexpr ce::DWORD kNoteRepaired = 3207;
inline constexpr ce::DWORD kNoteDeleted = 3208;
inline constexpr ce::DWORD kNoteSkipped = 3209;
inline constexpr ce::DWORD kNoteUnrepairable = 3210;
inline constexpr ce::DWORD kNoteQuarantined = 3211;
inline constexpr ce::DWORD kProduct = 3213;
inline constexpr ce::DWORD kNotApplicable = 3247;
// A file whose scan stopped at a scan limit: the guard's notification and the
// report's action word (docs/engine.md, scan limits).
inline constexpr ce::DWORD kNoteNotScanned = 3250;
inline constexpr ce::DWORD kWordNotScanned = 3251;

// The header separator (52 dashes) is the catalogue's text of kSeparator; an
// online entry falls back to one dash less.
inline constexpr const ce::WCHAR* kEntrySeparatorFallback =
    u"---------------------------------------------------";

// Every identifier with its built-in text.
inline constexpr Text kCatalogue[] = {
    {kCompany, u"Nyxel"},
    {kVirusDatabase, u"Virus Database:"},
    {kVersion, u"Version:"},
    {kReportFor, u"Report For:"},
    {kDetected, u"Detected:"},
    {kScannerSettings, u"Scanner Settings for this Scan were as follows:"},
    {kScanExecutables, u"Scan executable files."},
    {kRespond, u"Respond when a virus is found:"},
    {kActionRepairDelete, u"Repair, delete if unsuccessful"},
    {kActionDelete, u"Delete automatically"},
    {kActionPrompt, u"Prompt"},
    {kActionReportOnly, u"Report only"},
    {3024, u"Monday"},
    {3025, u"Tuesday"},
    {3026, u"Wednesday"},
    {3027, u"Thursday"},
    {3028, u"Friday"},
    {3029, u"Saturday"},
    {kSunday, u"Sunday"},
    {kWordRepaired, u"Repaired"},
    {kWordDeleted, u"Deleted"},
    {kWordSkipped, u"Skipped"},
    {kWordUnrepairable, u"Unrepairable"},
    {kWordMarkForDeletion, u"Mark for deletion"},
    {3036, u"Jan"},
    {3037, u"Feb"},
    {3038, u"Mar"},
    {3039, u"Apr"},
    {3040, u"May"},
    {3041, u"Jun"},
    {3042, u"Jul"},
    {3043, u"Aug"},
    {3044, u"Sep"},
    {3045, u"Oct"},
    {3046, u"Nov"},
    {3047, u"Dec"},
    {kActionTaken, u"Action Taken:"},
    {kScanAllFiles, u"Scan all files"},
    {kSeparator, u"----------------------------------------------------"},
    {kWordQuarantined, u"Quarantined"},
    {kActionRepairQuarantine, u"Repair, quarantine if unsuccessful"},
    {kFileName, u"File Name:"},
    {kUpdated, u"Nyxel is successfully updated"},
    {kUpToDate, u"The version of Nyxel you have is up-to-date.\r\nUse Update regularly to keep your copy updated."},
    {kUpdateFailed, u"Unable to update Nyxel. Please check your settings and try again."},
    {kFromVersion, u"From Version:"},
    {kNoConnection,
     u"Unable to connect to Internet Center.\r\nUnable to update Nyxel. Please check your Internet Settings and try "
     u"again."},
    {kWhatToScan, u"What item to scan:"},
    {kInterrupted, u"Update interrupted by user."},
    {kTitleUpdated, u"UPDATED SUCCESSFULLY"},
    {kTitleUpToDate, u"UP-TO-DATE"},
    {kTitleFailed, u"UPDATE FAILED"},
    {kSpecifyPath, u"Please specify valid update path. Also check your update settings and try again."},
    {kNoDefinitions, u"Definition files not found."},
    {kCorruptDefinition, u"The update definition file is corrupt."},
    {kNoteRepaired, u"File was repaired."},
    {kNoteDeleted, u"File was deleted."},
    {kNoteSkipped, u"File was skipped."},
    {kNoteUnrepairable, u"File was unrepairable."},
    {kNoteQuarantined, u"File was quarantined."},
    {kProduct, u"Nyxel AntiVirus"},
    {kNotApplicable, u"The definition file is not applicable for Nyxel AntiVirus for Windows Mobile."},
    {kNoteNotScanned, u"File was not scanned completely."},
    {kWordNotScanned, u"Not scanned"},
};

// The built-in text of an identifier, null for one without.
const ce::WCHAR* builtIn(ce::DWORD id);

}  // namespace ui

// The room callers give a looked-up text, terminator included.
inline constexpr size_t kUiTextChars = 260;

// The string-resource lookup over a loaded string library: copies the text of
// id into buffer (at most cap-1 characters, never splitting a surrogate pair,
// always terminated when cap > 0) and returns its length; 0 when the module
// has no string table or no text for id, or cap is 0.
int LoadStringW(ce::HMODULE module, ce::UINT id, ce::WCHAR* buffer, int cap);

// The string library of one caller's step: loaded by full path from the
// installation directory, freed when the object goes.
class UiStrings {
 public:
  UiStrings() = default;
  ~UiStrings();
  UiStrings(const UiStrings&) = delete;
  UiStrings& operator=(const UiStrings&) = delete;

  // Loads "<installDir>\uires.dll"; false when there is no library.
  bool load(const ce::WCHAR* installDir);
  void unload();
  bool loaded() const { return module_ != nullptr; }

  // The library's text for id, or `fallback` when the library or the text is
  // missing (an empty text counts as missing). Written into out (cap
  // characters, kUiTextChars for the usual buffers); returns out.
  const ce::WCHAR* get(ce::DWORD id, const ce::WCHAR* fallback, ce::WCHAR* out, size_t cap) const;
  std::u16string get(ce::DWORD id, const ce::WCHAR* fallback) const;
  // With the catalogue's built-in text as the fallback.
  std::u16string get(ce::DWORD id) const;

 private:
  ce::HMODULE module_ = nullptr;
};

}  // namespace nx

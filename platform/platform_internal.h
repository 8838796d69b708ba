// What the exports of platform.dll are made of; exports.cpp is the only
// place that turns these into the C entry points.
#pragma once

#include "ce/windows.h"

namespace nx::plat {

using ce::DWORD;
using ce::HMODULE;
using ce::WCHAR;

// ---- Text conversions of the A forms (ansi.cpp) -----------------------------
// System code page to wide, whole or not at all: false when the text with
// its terminator needs more than cap characters.
bool toWide(const char* text, WCHAR* out, int cap);
// Wide to the system code page into the caller's buffer, whole or not at all.
bool toAnsi(const WCHAR* text, char* out, int cap);

// ---- Paths (paths.cpp) ------------------------------------------------------
int moduleDir(const WCHAR* moduleName, WCHAR* buffer, int capacity);
int setInstallPath(const WCHAR* path);
int setTempPath(const WCHAR* path);
int getTempPath(WCHAR* buffer, int capacity);
int longPathName(const WCHAR* source, WCHAR* out);
// The recorded installation path (empty until set).
const WCHAR* installPath();

// ---- Unique temporary names (unique_name.cpp) -------------------------------
// The longest name written: "~xnNNNN." and a 10-character extension.
constexpr int kUniqueNameChars = 7 + 1 + 10;
int uniqueFilename(const WCHAR* directory, const WCHAR* extension, WCHAR* out);

// ---- Module loader (loader.cpp) ---------------------------------------------
HMODULE loadModule(const WCHAR* path);
ce::FARPROC procAddress(HMODULE module, const WCHAR* name);
int freeModule(HMODULE module);

// ---- Debug log (debug_log.cpp) ----------------------------------------------
void logLine(const WCHAR* logPath, const WCHAR* text);
void logText(const WCHAR* logPath, const WCHAR* text);
void logError(const WCHAR* logPath, const WCHAR* text, int number);
// Runs fn with the ANSI text converted to wide characters; nothing when it
// cannot be converted or no memory is left for a long one.
void withWideText(const char* text, void (*fn)(const WCHAR* logPath, const WCHAR* text), const WCHAR* logPath);
// Points the log name at "nxdebug.log" beside the running program.
void initLogFileName(WCHAR* name);

// ---- Ignore-list client (ignore_client.cpp) ---------------------------------
int sendIgnore(const WCHAR* path, bool ignore);

}  // namespace nx::plat

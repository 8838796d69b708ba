// Replacing the installed files with the staged ones so that an
// interruption at any point (the process killed, the store full) leaves an
// installation the next start finds whole: either every old file or every
// new one. The staged files are moved into place one by one (a rename
// needs no room and cannot be half done), the files they replace moved
// aside into a folder of the staging area, and a journal written before
// the first move names them all; whoever finds the journal (the next
// update, the device's start) finishes the moves, or undoes them when a
// move cannot be made.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "updengine/engine.h"

namespace nx::upd {

enum class InstallMode { Unset, Database, Engine };

inline constexpr const WCHAR* kJournalName = u"replace.jnl";

// ReplaceFiles: records the kind of update in "updttype.cfg", has the
// scanning engines let go (the unload event), waits until the installed
// files can be written, and moves the staged files in. False when the mode
// is unset or the files could not all be moved (then every move made was
// undone and the engines may load the old files again). On success the
// journal stays until finishReplacement.
bool replaceFiles(Run& run, InstallMode mode, bool engineUpdate);

// After the reload event: the replaced files go (a module some process
// still maps is kept as "<name>.1nx" in the installation folder), and the
// journal with them.
void finishReplacement(const std::u16string& installDir);

// Finishes or undoes what a journal left behind; true when there was
// nothing to do or the installation is whole again. `engineUpdate`
// reports whether the finished replacement was an engine update.
bool recoverReplacement(const std::u16string& installDir, bool* finished = nullptr, bool* engineUpdate = nullptr);

// Removes old modules ("*.1nx" to "*.9nx") that no process maps any more,
// and what earlier updates left in the staging area's folders of replaced
// files.
void sweepOldModules(const std::u16string& installDir);

// Whether a replacement is pending (its staged files must not be emptied).
bool replacementPending(const std::u16string& installDir);

// The tally of "updttype.cfg" after an update with these staged names.
void countUpdate(const std::vector<std::u16string>& staged, uint8_t counters[4]);

// Sets the reload event and clears the unload event of the scanning API.
void letEnginesReload();
// Lets go of the two events (DeInit).
void closeApiEvents();

}  // namespace nx::upd

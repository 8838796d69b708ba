// The quarantine store in "\Quarantine" of the installation directory: the
// guard, nxscan and nxdevice keep infected files here as nibble-exchanged
// copies ("qf<h><m><s>.qrt") listed in "wmquardb.dat".
//
// Every change to the database is written whole into "TempQuar.dat", flushed,
// and put in the place of the database in one step, so a reader sees the old
// database or the new one and a crash at any point leaves a sound database
// (a leftover "TempQuar.dat" is finished or dropped at the next use). Changes
// are serialised across processes by the mutex "Quarantine_Mutex". A source
// file is deleted only after its copy and its record are safely on disk; a
// copy is deleted only after its record is gone. A damaged database is never
// written over: the next quarantine moves it aside ("wmquardb<N>.bad") and
// starts a new one; readers and RemoveRecords fail on it.
//
// Results are BOOL-like; on failure the device's last error says why:
// ERROR_PATH_NOT_FOUND (no installation directory), ERROR_DIRECTORY
// ("\Quarantine" is a file), ERROR_FILENAME_EXCED_RANGE (a path that does not
// fit the record's 255 characters), ERROR_BADDB (a damaged database: see
// databaseStatus()), ERROR_ALREADY_EXISTS (a copy of a source already held),
// ERROR_INVALID_PARAMETER (no such record), ERROR_FILE_EXISTS (a restore
// target that exists), or the file layer's own code.
#pragma once

#include <string>
#include <vector>

#include "ce/windows.h"
#include "common/quarantine_db.h"

namespace nx {

inline constexpr const WCHAR* kQuarantineMutexName = u"Quarantine_Mutex";

// What to quarantine: source path, threat name, kind (7 move, 8 copy).
struct QuarantineRequest {
  WCHAR source[kQuarantinePathChars];
  WCHAR threat[kQuarantineThreatChars];
  DWORD kind;
};

// Fills a request. False (last error ERROR_FILENAME_EXCED_RANGE) when the
// source path does not fit whole: a cut path would name another file. A
// longer threat name is cut to 49 characters.
bool makeQuarantineRequest(const WCHAR* source, const WCHAR* threat, DWORD kind, QuarantineRequest* out);

// A user's words for a failure of the store (its last error); a damaged
// database adds why (quarantineDbStatusText of databaseStatus()).
std::string quarantineErrorText(DWORD error, DWORD dbStatus);

class QuarantineStore {
 public:
  // installDir without a trailing "\"; at most 255 characters.
  explicit QuarantineStore(const WCHAR* installDir);

  // Copies the source into the store and records it; kind 7 then deletes
  // the source (the record is taken back when that fails). A source already
  // recorded (compared ignoring case) gets no second copy: kind 7 deletes it,
  // kind 8 fails with ERROR_ALREADY_EXISTS, other kinds succeed.
  bool Quarantine(const QuarantineRequest& request);
  bool CountRecords(DWORD* count);
  bool ReadRecord(DWORD index, QuarantineRecord* out);
  // False when the path is not recorded and when the database cannot be read.
  bool IsQuarantined(const WCHAR* path);
  // Removes every record with exactly this source path (case-sensitive) and
  // kind, and deletes their copies. Succeeds also when none matched.
  bool RemoveRecords(const QuarantineRequest& request);

  // Every record, with one check of the database. An empty store is sound.
  bool ReadAll(std::vector<QuarantineRecord>* out);
  // Writes record `index`'s copy back, halves exchanged, to `target` (null:
  // the record's source path), then removes the record and its copy. An
  // existing target is replaced only when `overwrite`; the target appears
  // whole or not at all. The record stays until the file is written and
  // flushed. *recordKept (optional) is set when the file was restored but the
  // record could not be removed. expectedCopy (optional): the copy path the
  // caller saw at `index`; when another process changed the database since,
  // nothing is done (ERROR_INVALID_PARAMETER) rather than another record
  // restored.
  bool Restore(DWORD index, const WCHAR* target, bool overwrite, bool* recordKept = nullptr,
               const WCHAR* expectedCopy = nullptr);

  // Why the database could not be used by the last call (kQdbOk when it could).
  DWORD databaseStatus() const { return dbStatus_; }
  // The folder, database and scratch file paths.
  const WCHAR* folder() const { return folder_; }
  const WCHAR* databasePath() const { return db_; }

 private:
  class Lock;
  bool pathsOk();
  DWORD readAll(std::vector<QuarantineRecord>* out, DWORD* count = nullptr);
  bool findSource(const WCHAR* path, bool* found);
  bool recover();
  bool setAsideDamaged();
  bool makeCopy(const WCHAR* source, WCHAR* stored);
  // Rewrites the database without the records `drop` picks, with `append`
  // added at the end; removed receives the records left out.
  template <class Drop>
  bool rewrite(Drop&& drop, const BYTE* append, std::vector<QuarantineRecord>* removed);
  void deleteCopies(const std::vector<QuarantineRecord>& removed);
  bool insideFolder(const WCHAR* path) const;

  bool pathsOk_ = false;
  DWORD dbStatus_ = kQdbOk;
  WCHAR install_[ce::MAX_PATH] = {};
  WCHAR folder_[ce::MAX_PATH] = {};
  WCHAR db_[ce::MAX_PATH] = {};
  WCHAR scratch_[ce::MAX_PATH] = {};
};

}  // namespace nx

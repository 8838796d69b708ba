/* Nyxel AntiVirus update engine (updengine.dll).
 *
 * A program loads "updengine.dll" from the installation directory, binds the
 * exports by name and calls Init, UpdateNow and DeInit in that order.
 * UpdateNow runs one whole update on the caller's thread: it fetches the
 * definitions (internet or local folder, as the update options say),
 * installs them, writes the update report and keeps the caller informed
 * through the progress callback. Other programs steer a running update
 * through the named events below. Text is UTF-16 (NxWChar).
 */
#ifndef NYXEL_UPDENGINE_H
#define NYXEL_UPDENGINE_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
typedef char16_t NxWChar;
extern "C" {
#else
typedef uint16_t NxWChar;
#endif

/* ---- Progress codes ------------------------------------------------------ */
#define NX_UPD_STARTING 1000        /* an answer of NX_UPD_ABORT makes UpdateNow return 2002 at once */
#define NX_UPD_FETCHING_INDEX 1001  /* file: "index.bin" */
#define NX_UPD_FETCHED 1002
#define NX_UPD_INSTALLING 1006
#define NX_UPD_VERSION_PASSED 1007
#define NX_UPD_UPDATED 1008
#define NX_UPD_UP_TO_DATE 1009
#define NX_UPD_CANNOT_START 1010
#define NX_UPD_DOWNLOAD_FAILED 1011
#define NX_UPD_INSTALL_FAILED 1012
#define NX_UPD_STOPPED 1013
#define NX_UPD_LOCAL_FILE_MISSING 1014
#define NX_UPD_CORRUPT 1015
#define NX_UPD_WRONG_PLATFORM 1016
#define NX_UPD_ALREADY_RUNNING 1017

/* ---- Result codes (select the report's title and text) ------------------- */
#define NX_UPD_RESULT_FAILED 2000
#define NX_UPD_RESULT_UPDATED 2001
#define NX_UPD_RESULT_INTERRUPTED 2002
#define NX_UPD_RESULT_UP_TO_DATE 2003
#define NX_UPD_RESULT_NO_CONNECTION 2006
#define NX_UPD_RESULT_NOT_FOUND 2007
#define NX_UPD_RESULT_CORRUPT 2008
#define NX_UPD_RESULT_NOT_APPLICABLE 2014

/* The callback's answer that asks for an abort where one is honoured. */
#define NX_UPD_ABORT 2

/* ---- Named events ----------------------------------------------------------- */
#define NX_UPD_EVENT_PAUSE u"NX_Update_Event_Pause"
#define NX_UPD_EVENT_RESUME u"NX_Update_Event_Resume"
#define NX_UPD_EVENT_STOP u"NX_Update_Event_Stop" /* looked at only while paused */
#define NX_UPD_EVENT_RUNNING u"UPD_Progress_Event" /* exists while an update runs */

/* The progress record: 526 bytes, zero-filled before each call. */
#pragma pack(push, 1)
typedef struct NxUpdateProgress {
  uint16_t code;          /* a progress code above */
  NxWChar file[260];      /* the file the code refers to, else empty */
  uint32_t reserved;      /* zero */
} NxUpdateProgress;
#pragma pack(pop)

/* Returns NX_UPD_ABORT to ask for an abort, anything else to go on. */
typedef int32_t (*NxUpdateCallback)(const NxUpdateProgress* progress, void* context);

/* Non-zero on success. */
typedef int32_t (*PFN_UpdInit)(void);
/* 1. */
typedef int32_t (*PFN_UpdDeInit)(void);
/* 1 on a successful update, and when the source step found the installation
 * up to date; else 0 (2002 when the callback aborted at NX_UPD_STARTING).
 * status receives 2008 when a definition file is corrupt, else 0. The
 * installation updated is the one the registry names, as for every
 * component of the product; installDir is not read. */
typedef int32_t (*PFN_UpdateNow)(const NxWChar* installDir, NxUpdateCallback callback, void* context,
                                 uint32_t* status);

/* ---- Beyond the handset's exports ----------------------------------------- */
/* Byte progress of the file being fetched (downloaded or copied): its name,
 * the bytes so far and the total (0 while unknown). For progress displays;
 * set before UpdateNow, null to stop. */
typedef void (*NxTransferCallback)(const NxWChar* file, uint64_t done, uint64_t total, void* context);
typedef int32_t (*PFN_SetTransferCallback)(NxTransferCallback callback, void* context);

/* Finishes or undoes a replacement of installed files that a killed update
 * left half done, lets the scanners load the engine again, and removes old
 * modules that no process maps any more. UpdateNow does this first; the
 * device's start does it too. 1 when the installation is sound afterwards. */
typedef int32_t (*PFN_RecoverUpdate)(const NxWChar* installDir);

#ifdef __cplusplus
}
static_assert(sizeof(NxUpdateProgress) == 526, "the handset's progress record");
static_assert(offsetof(NxUpdateProgress, reserved) == 522, "the handset's progress record");
#endif

#endif /* NYXEL_UPDENGINE_H */

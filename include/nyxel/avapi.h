/* Nyxel AntiVirus public scanning API (avapi.dll).
 *
 * A program loads "avapi.dll" from the installation directory, binds the
 * exports below by name and scans files through them. Records are packed
 * little-endian layouts of fixed size; text is UTF-16 (NxWChar). Every
 * export answers a signed 32-bit status; the codes are named below.
 */
#ifndef NYXEL_AVAPI_H
#define NYXEL_AVAPI_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
typedef char16_t NxWChar;
extern "C" {
#else
typedef uint16_t NxWChar;
#endif

/* ---- Results of the session calls --------------------------------------- */
#define NX_FALSE 0
#define NX_TRUE 1

/* ---- Results of the file calls ------------------------------------------- */
#define NX_RESULT_REFUSED 0
#define NX_RESULT_DONE 1
#define NX_RESULT_THREAT 500
#define NX_RESULT_CLEAN 501
#define NX_RESULT_ERROR 4001
#define NX_RESULT_REPAIRED 4002
#define NX_RESULT_NOT_REPAIRED 4003
#define NX_RESULT_FILE_GONE 4004
/* NxScanFile: nothing was found, but the scan stopped at a scan limit or an
 * archive's members could not all be delivered, so the file is not known to
 * be clean (ScanReport code NX_REPORT_INCOMPLETE, the limits field says
 * why). Callers that know only NX_RESULT_CLEAN never take it for clean. */
#define NX_RESULT_INCOMPLETE 502

/* ---- ScanReport codes of NxScanFile -------------------------------------- */
#define NX_REPORT_THREAT_IN_FILE 5000
#define NX_REPORT_THREAT_IN_MEMBER 5001
#define NX_REPORT_INCOMPLETE 5002

/* ---- ScanReport codes handed to the ScanCallback ------------------------- */
#define NX_CB_THREAT 1001         /* threat in the file; answer with NX_ANSWER_* */
#define NX_CB_CLEAN 1002          /* file or member clean */
#define NX_CB_MEMBER_BEGIN 1003   /* archive member about to be scanned */
#define NX_CB_ARCHIVE_THREAT 1004 /* threat in a member; the archive is one file */
#define NX_CB_ERROR 1005          /* an error stopped the scan (or a member) */
#define NX_CB_MEMBER_THREAT 1007  /* threat in an archive member */
#define NX_CB_FILE_BEGIN 1008     /* scanning of this file begins */
#define NX_CB_MEMBER_BEGIN2 1009  /* follows NX_CB_MEMBER_BEGIN with the same record */
#define NX_CB_INCOMPLETE 1010     /* nothing found, but the file was not scanned whole: the
                                     report's limits field says why; sent instead of NX_CB_CLEAN */
#define NX_CB_REPAIRED 3001
#define NX_CB_NOT_REPAIRABLE 3002 /* answer NX_ANSWER_DELETE or NX_ANSWER_QUARANTINE */
#define NX_CB_DELETED 3003
#define NX_CB_SKIPPED 3004
#define NX_CB_QUARANTINE 3007     /* the caller is to quarantine the file */

/* ---- Answers of the ScanCallback ----------------------------------------- */
#define NX_ANSWER_IGNORE 2000     /* end this file's scan at once */
#define NX_ANSWER_REPAIR 2001
#define NX_ANSWER_DELETE 2002     /* also: "continue" for reports that take no decision */
#define NX_ANSWER_CONTINUE 2002
#define NX_ANSWER_SKIP_REPORTED 2003
#define NX_ANSWER_STOP 2004
#define NX_ANSWER_SKIP 2005       /* skip without an NX_CB_SKIPPED report */
#define NX_ANSWER_USER1 2006
#define NX_ANSWER_USER2 2007
#define NX_ANSWER_QUARANTINE 2008

/* ---- Actions of NxCleanFileEx -------------------------------------------- */
#define NX_CLEAN_REPAIR 2001
#define NX_CLEAN_DELETE 2002
#define NX_CLEAN_USER1 2006
#define NX_CLEAN_USER2 2007

/* ---- NxGetActionForMemoryScan --------------------------------------------- */
#define NX_MEMSCAN_KIND_PROCESS 5027
#define NX_MEMSCAN_TERMINATE 2002
#define NX_MEMSCAN_NONE 2003
#define NX_MEMSCAN_SECOND 2009

/* ---- Scan limits ---------------------------------------------------------------
 * Bounds on the work one file may cost: what the archive readers may produce
 * for it (members and the data decoded to reach them, every nested archive
 * included), the members taken from any one archive, and the work time.
 * Set with NxSetScanLimits; a session never given limits uses the defaults.
 * A value of 0 means no limit. What stopped a scan comes back as the bits
 * below in ScanReport.limits. */
#define NX_LIMIT_SCAN_SIZE 0x01   /* maxScanSize reached */
#define NX_LIMIT_FILES 0x02       /* an archive held more than maxFiles members */
#define NX_LIMIT_SCAN_TIME 0x04   /* maxScanTimeMs ran out */
#define NX_LIMIT_DEPTH 0x08       /* an archive nested deeper than the options' depth was not opened */
#define NX_LIMIT_INCOMPLETE 0x10  /* members an archive holds could not be delivered (damaged,
                                     parts of a set missing) */
#define NX_DEFAULT_MAX_SCAN_SIZE (256u * 1024u * 1024u)
#define NX_DEFAULT_MAX_FILES 2000u
#define NX_DEFAULT_MAX_SCAN_TIME_MS 30000u

/* ---- Option fields ---------------------------------------------------------- */
#define NX_OPTIONS_SIZE 1054
#define NX_OPTIONS_DIR_MAX 245        /* characters of either directory */
#define NX_OPTIONS_MAX_DEPTH 50
#define NX_CATEGORY_ALL 0x7F          /* flag word D: every signature category */
#define NX_ARCHIVE_EXCLUDE_CAB 0x0002 /* archiveExclude bits */
#define NX_ARCHIVE_EXCLUDE_SIS 0x0100
#define NX_FLAGE_NO_IGNORE_LIST 0x1000 /* flag word E bit 12 */
#define NX_PATH_MAX 1023              /* characters of a path given to NxOpenFile */
#define NX_MESSAGE_MAX 1023           /* characters of a message string */
#define NX_VERSIONEX_DIR_MAX 240      /* characters of NxGetAPIVersionEx's directory */

#pragma pack(push, 1)

typedef struct NxScanOptions {
  uint16_t size;            /* NX_OPTIONS_SIZE */
  int16_t allowDelete;      /* 1: an unrepairable file may be deleted */
  int16_t maxDepth;         /* archive depth, limited to 0..50 */
  int16_t scanArchives;     /* 1: open archives */
  int16_t optionB;
  NxWChar installDir[256];  /* 1..245 characters, terminated */
  NxWChar tempDir[256];     /* 1..245 characters, terminated; created if missing */
  int16_t optionC;
  uint16_t categories;      /* flag word D: bits 0-6 */
  uint16_t flagsE;          /* flag word E */
  uint16_t archiveExclude;  /* used when scanArchives is 1 */
  uint16_t optionBBits;     /* used when optionB is 1 */
  uint8_t reserved[10];
} NxScanOptions;

typedef struct ScanReport {
  uint16_t code;
  NxWChar path[1024];       /* terminated within the field */
  uint16_t type;            /* the engine's type code of the file or member */
  uint32_t length;
  NxWChar threat[50];       /* terminated within the field */
  uint16_t category;        /* source table of the signature */
  int32_t index;
  int32_t rootType;
  uint32_t limits;          /* NX_LIMIT_* bits: why the scan was not whole (0 when it was) */
  uint8_t zero[4];
} ScanReport;

#pragma pack(pop)

/* Not packed: its fields lie on their natural boundaries either way, and a
   copy kept inside a caller's own structure stays aligned. */
typedef struct NxScanLimits {
  uint16_t size;            /* sizeof(NxScanLimits), 24 */
  uint16_t reserved;        /* 0 */
  uint32_t maxFiles;        /* members taken from one archive */
  uint64_t maxScanSize;     /* bytes the readers may produce for one file */
  uint32_t maxScanTimeMs;   /* work time per file, milliseconds */
  uint32_t reserved2;       /* 0 */
} NxScanLimits;

#pragma pack(push, 1)

typedef struct NxVersionRecord {
  uint16_t major;
  uint16_t minor;
  uint16_t year, month, dayOfWeek, day, hour, minute, second, milliseconds;
} NxVersionRecord;

#pragma pack(pop)

#ifdef __cplusplus
static_assert(sizeof(NxScanOptions) == 1054, "NxScanOptions is 1054 bytes");
static_assert(offsetof(NxScanOptions, installDir) == 10, "installDir at 10");
static_assert(offsetof(NxScanOptions, tempDir) == 522, "tempDir at 522");
static_assert(offsetof(NxScanOptions, categories) == 1036, "flag word D at 1036");
static_assert(offsetof(NxScanOptions, archiveExclude) == 1040, "archive bits at 1040");
static_assert(sizeof(ScanReport) == 2174, "ScanReport is 2174 bytes");
static_assert(offsetof(ScanReport, type) == 2050, "type at 2050");
static_assert(offsetof(ScanReport, threat) == 2056, "threat at 2056");
static_assert(offsetof(ScanReport, category) == 2156, "category at 2156");
static_assert(offsetof(ScanReport, rootType) == 2162, "rootType at 2162");
static_assert(offsetof(ScanReport, limits) == 2166, "limits at 2166");
static_assert(sizeof(NxScanLimits) == 24, "NxScanLimits is 24 bytes");
static_assert(sizeof(NxVersionRecord) == 20, "NxVersionRecord is 20 bytes");
#else
_Static_assert(sizeof(NxScanOptions) == 1054, "NxScanOptions is 1054 bytes");
_Static_assert(sizeof(ScanReport) == 2174, "ScanReport is 2174 bytes");
_Static_assert(sizeof(NxScanLimits) == 24, "NxScanLimits is 24 bytes");
_Static_assert(sizeof(NxVersionRecord) == 20, "NxVersionRecord is 20 bytes");
#endif

/* The session handle: opaque, never null once NxInitScan succeeded. */
typedef void* NxSession;
/* An open file of the scan session. */
typedef struct NxScanFileHandle_* NxFileHandle;

/* Called during NxScanFileEx: the report (valid only during the call), the
 * caller context given to NxScanFileEx, and the session value. Pointers are
 * carried whole. Answers one of NX_ANSWER_*. */
typedef int32_t (*NxScanCallback)(ScanReport* report, uintptr_t callerContext, uintptr_t session);

/* ---- Function-pointer types, one per export (bind with GetProcAddress) ---- */
typedef int32_t (*PFN_NxInitScan)(const NxScanOptions* options, NxSession* outSession);
typedef int32_t (*PFN_NxDeinitScan)(NxSession session);
typedef int32_t (*PFN_NxSetOptions)(NxSession session, const NxScanOptions* options);
typedef int32_t (*PFN_NxGetOptions)(NxSession session, NxScanOptions* out);
typedef int32_t (*PFN_NxGetAPIVersion)(NxSession session, NxVersionRecord* out);
typedef int32_t (*PFN_NxGetAPIVersionEx)(const NxWChar* installDir, NxVersionRecord* out);
typedef int32_t (*PFN_NxSetCallBack)(NxSession session, NxScanCallback callback);
typedef int32_t (*PFN_NxOpenFile)(NxSession session, const NxWChar* path, NxFileHandle* out);
typedef int32_t (*PFN_NxOpenFileEx)(NxSession session, const NxWChar* path, NxFileHandle* out);
typedef int32_t (*PFN_NxScanFile)(NxFileHandle file, ScanReport* out);
typedef int32_t (*PFN_NxScanFileEx)(NxSession session, NxFileHandle file, uintptr_t callerContext);
typedef int32_t (*PFN_NxCleanFile)(NxFileHandle file, uintptr_t unused);
typedef int32_t (*PFN_NxCleanFileEx)(NxFileHandle file, int32_t action);
typedef int32_t (*PFN_NxCloseFile)(NxFileHandle* file, uintptr_t unused);
typedef int32_t (*PFN_NxCloseFileEx)(NxFileHandle* file, uintptr_t unused);
typedef int32_t (*PFN_NxGetFileType)(NxSession session, const NxWChar* path, uint16_t* category, uint16_t* type);
typedef int32_t (*PFN_NxSetMessageString)(NxSession session, const NxWChar* text, int32_t flag);
typedef int32_t (*PFN_NxIgnoreFile)(NxSession session, const NxWChar* path);
typedef int32_t (*PFN_NxUnignoreFile)(NxSession session, const NxWChar* path);
typedef int32_t (*PFN_NxSetDriverOptions)(void* unused);
typedef int32_t (*PFN_NxCreateMimeObject)(NxSession session, void** outObject);
typedef int32_t (*PFN_NxDeleteMimeObject)(NxSession session, void* object);
typedef int32_t (*PFN_NxScanMessage)(NxSession session, void* message);
typedef int32_t (*PFN_NxGetActionForMemoryScan)(NxSession session, int32_t kind, const ScanReport* report,
                                                int32_t* firstAction, int32_t* secondAction);
/* Scan limits of the session (NxScanLimits above): 1, or 0 for a null
 * argument or a size field smaller than the record. NxGetScanLimits gives
 * the limits in force, the defaults when none were set. The API keeps the
 * limits across an engine reload, as it keeps the options. */
typedef int32_t (*PFN_NxSetScanLimits)(NxSession session, const NxScanLimits* limits);
typedef int32_t (*PFN_NxGetScanLimits)(NxSession session, NxScanLimits* out);
/* Session layer only (scancore.dll): update state and signature reload. */
typedef int32_t (*PFN_NxGetUpdateState)(uint8_t* outKind);
typedef int32_t (*PFN_NxReloadSignatures)(int32_t kind, int32_t value);

/* The names to bind, as wide text for the handset's GetProcAddressW. */
#define NX_AVAPI_DLL "avapi.dll"

#ifdef __cplusplus
}
#endif

#endif /* NYXEL_AVAPI_H */

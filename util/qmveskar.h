/*
 * qmveskar.h - the exported plain-C interface of the unit's utility library.
 *
 * Carried by both the qmveskar executable (exported dynamic symbols) and libqmveskar.so.
 * Every function and data object declared here is exported; nothing else is.
 * Results: 1 (or a non-zero id) for success and 0 for failure unless stated otherwise.
 * Heap results come from the C allocator and are released by the receiver with free().
 */
#ifndef QMVESKAR_H
#define QMVESKAR_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ---- String arrays and case conversion ------------------------------------------- */

/* One heap block: a signed 32-bit count followed by that many heap string pointers. */
typedef struct StrArray {
    int32_t count;
    char *elements[];
} StrArray;

StrArray *Explode(const char *text, int separator);
StrArray *ArrayPush(StrArray *array, const char *text);
int ArrayFree(StrArray *array);
int StrArrayGetCount(const StrArray *array);
char *StrArrayGetAtElement(const StrArray *array, int index);

void *_calloc(size_t count, size_t size);
void *_realloc(void *block, size_t size);
void _free(void *block);
char *_strdup(const char *text);

/* Case conversion into a ring of ten 200-byte slots (mTmpOut). */
extern char mTmpOut[2000];
char *strmklu(const char *text, int upper);
char *strlwr(const char *text);
char *strupr(const char *text);

/* ---- Encoders and signal installer ----------------------------------------------- */

void encodeblock(const unsigned char *in, unsigned char *out, int count);
int base64(const char *path, int fd);
int InstallSignalHangler(void (*handler)(int));

/* ---- Configuration store (/tmp/.vesconf_file) ------------------------------------ */

int GetVesconfEntry(const char *key, char *out);
int SetVesconfEntry(const char *key, const char *value);
int GetTimeDateFormat(void);

/* ---- Text dictionaries and character-set conversion ------------------------------ */

extern char *pDictText[20];
extern char mLang[10];
extern char *mTextUtfTo;
extern char *mTextUtfFromTo;
char *GetTextDict(const char *key, const char *section, const char *charset);
char *GetTextDictLang(const char *key, const char *section, const char *charset,
                      const char *language);
int GetTextAlarmLanguage(const char *key, char *out);
char *ConvTo(const char *text, const char *charset);
char *ConvFromTo(const char *text, const char *fromCharset, const char *toCharset);

/* ---- Shared runtime slots (/dev/shm/sh_%ld.share) -------------------------------- */

int InitShareRuntime(int32_t id);
int UnInitShareRuntime(int32_t id);
int GetShRuntime(int32_t id, uint8_t slot, void *buffer904);
int SetShRuntime(int32_t id, uint8_t slot, const void *buffer904);

/* ---- I/O interface request file and digital I/O port ----------------------------- */

int SetIoInterfaceRequest(uint8_t at0, uint8_t at1, uint8_t at2, uint8_t at3, uint8_t at5,
                          uint16_t at8, uint16_t at6, uint8_t at4, uint8_t notify);
int GetIoInterfaceRequest(uint8_t *at5, uint16_t *at6, uint8_t *at4, uint8_t *record10);
int GetVesIfaceSetStatus(uint8_t *record10);
int SetDiStatus(uint8_t status);
int GetDiStatus(void);

/* ---- Service requests, watchdog and mode flags ----------------------------------- */

int MakeOsServiceRequest(char code, const char *text, int8_t waitSeconds, int8_t number);
int OsServicePending(uint8_t waitSeconds);
int MakeServiceRequestLock(int set);
int RegisterAppWdreset(uint8_t appId, int8_t command);
int IsQuorPro(void);
int IsDewFsmActive(void);

/* ---- Acquisition speed setup (/dev/shm/acqspeed.conf) ---------------------------- */

typedef struct AcqSpeedSetup {
    uint16_t count;
    int32_t start;
    int32_t end;
    int32_t id[20];
    uint8_t code1[20];
    uint8_t code2[20];
    uint8_t listA[20][32];
    uint8_t listB[20][128];
    uint8_t listC[20][128];
    uint8_t listD[20][128];
    uint8_t listE[20][128];
    uint8_t flags[20];
} AcqSpeedSetup;

int GetAcqSpeedSetup(AcqSpeedSetup *setup);
int ExitAcqSpeed(void);

/* ---- Temperature history file info (/var/log/temp_isto) -------------------------- */

typedef struct TempFileInfo {
    int32_t recordIndex;
    int32_t indexedValue;
    int32_t second;
    int32_t recordLength;
    int32_t fifth;
    uint32_t recordCount;
    char text[152];
} TempFileInfo;

int GetTempFileInfo(int32_t id, TempFileInfo *info);

/* ---- UART lock (/dev/shm/uart_lck) ----------------------------------------------- */

int MakeLockUart(int take);

/* ---- Message-bus client ---------------------------------------------------------- */

/* The 68-byte message header. On i386 its natural layout is the wire image; the client
 * encodes it field by field, so the x86-64 build (8-byte Payload) puts the same bytes on
 * the wire. */
typedef struct MessageRecord {
    uint16_t Type;
    uint8_t Tag;
    char SenderName[21];
    int32_t SenderPid;
    int32_t DestPid;
    char DestName[22];
    uint16_t PayloadLen;
    int32_t RequestId;
    int32_t ReplyTo;
    void *Payload;
} MessageRecord;

typedef void (*BusHandlerFn)(MessageRecord *message);

int ConnectBus(const char *clientName, uint16_t port, uint32_t serverAddr, int32_t destPid,
               const char *destName, BusHandlerFn handler);
int CloseBus(void);
int PostBusMessage(int type, const char *senderName, const char *destName, int32_t destPid,
                   const void *payload, int payloadLen, int tag, int32_t replyTo);
int WriteBusMessage(MessageRecord record);
int SendBusRequest(int type, const char *senderName, const char *destName, int32_t destPid,
                   const void *payload, int payloadLen, int tag, int32_t expectedPid,
                   const char *expectedName, uint32_t timeoutMs, MessageRecord *reply,
                   uint8_t copyPayload);

#ifdef __cplusplus
}
#endif

#endif /* QMVESKAR_H */

/*
 * qmveskar.h - the exported plain-C interface of the unit's utility library.
 *
 * Carried by both the qmveskar executable (exported dynamic symbols) and libqmveskar.so
 * (SONAME libqmveskar.so.4, symbol version QMVESKAR_4). Every function and data object
 * declared here is exported; nothing else is. Build against it with
 *     cc prog.c $(pkg-config --cflags --libs qmveskar)
 *
 * Conventions of the whole interface:
 * - Results: each function states every value it returns. There is no common rule: most
 *   answer 1 for success and 0 for failure, functions that end in one system call answer
 *   that call's 0 or -1, the port functions answer -128 for a missing device, and a few
 *   answer counts, lengths or 2 and 3 for "unchanged" and "still pending".
 * - No function prints, logs or sets an error code of its own; errno after a call is
 *   whatever the last system call left there.
 * - Heap results come from the C allocator (calloc/realloc/malloc) and are released by the
 *   receiver with free() (or _free, ArrayFree). Results in static buffers or rings of the
 *   library are never freed by the caller and stay valid only as stated.
 * - Pointer arguments must be valid unless an entry says that null is accepted.
 * - Narrow arguments (uint8_t, int8_t) act modulo 256: slot 300 is slot 44.
 * - Threads: the library keeps process-wide state without locks unless an entry says
 *   otherwise. "Not thread-safe" means: at most one thread at a time may call the named
 *   functions (or touch the named objects); distinct groups may run in distinct threads.
 *   The state-file functions coordinate processes, not threads, and hold no file open
 *   between calls.
 * - The fixed paths (/dev/shm, /tmp, /etc/quor, /var/www/html/lang, /var/log/temp_isto,
 *   /dev/port, /proc/quorwd, /usr/bin/qmpasswd) are the unit's; the manual pages
 *   libqmveskar(3) and the pages of each group say more.
 * - The state files in the world-writable folders (/dev/shm, /tmp) are never opened
 *   through a symbolic link, and a FIFO or device at their names never blocks a call:
 *   anything but a regular file there counts as a file that cannot be opened.
 */
#ifndef QMVESKAR_H
#define QMVESKAR_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ==== String arrays, allocator wrappers, case conversion ========================== */

/* One heap block: a signed 32-bit count followed by exactly that many pointers to heap
 * strings (element 0 first, in the order added; no spare capacity). Each element is a
 * zero-filled copy of its text of its own; an element is null when its copy could not be
 * allocated, and still counted. A null StrArray pointer stands for "no array". The array
 * owns its elements; whoever receives one owns it and releases it with ArrayFree (the
 * block and elements come from calloc/realloc, so free() releases them too).
 * Threads: the array functions touch only the array given; distinct arrays may be used
 * from distinct threads, one array from one thread at a time. */
typedef struct StrArray {
    int32_t count;
    char *elements[];
} StrArray;

/* Splits text at every byte equal to the low 8 bits of separator. Returns a new array of
 * (number of separators + 1) elements; empty fields (leading, trailing or adjacent
 * separators) are empty strings, nothing is trimmed, there is no quoting. Returns null
 * for an empty or null text, for a separator whose low byte is 0, and when the working
 * copy, the block or a growth of the block cannot be allocated (nothing is left
 * allocated). The caller owns the result (ArrayFree). text is not modified. */
StrArray *Explode(const char *text, int separator);

/* Appends a copy of text (null counts as "") to array (null starts a new array) and
 * returns the array's new address: the block can move, the address passed in is no
 * longer valid. A failed copy of the element leaves a null element that is counted. When
 * the block cannot grow, the array is returned unchanged (not grown); when a new array
 * cannot be started, null. The caller owns the result (ArrayFree). */
StrArray *ArrayPush(StrArray *array, const char *text);

/* Releases every non-null element (setting its pointer to null) and then the block.
 * Null is accepted and does nothing. Always returns 0. */
int ArrayFree(StrArray *array);

/* The count of array; 0 for null. */
int StrArrayGetCount(const StrArray *array);

/* Element index of array: the array's own pointer (not a copy; do not free it), null when
 * the element is null, for a null array, and for an index below 0 or at or past the
 * count. */
char *StrArrayGetAtElement(const StrArray *array, int index);

/* The C library's calloc, realloc, free and strdup, with the same arguments and results
 * (for callers that must release our results through the library's own allocator).
 * Thread-safe as the C library's functions are. */
void *_calloc(size_t count, size_t size);
void *_realloc(void *block, size_t size);
void _free(void *block);
char *_strdup(const char *text);

/* Result ring of the case conversion: ten slots of 200 bytes, slot k at byte 200 * k.
 * Written by strmklu/strlwr/strupr only; callers read it through their results. */
extern char mTmpOut[2000];

/* Converts text (null counts as "") into the next slot of mTmpOut and returns the slot's
 * address: upper non-zero (low 8 bits) maps a..z to A..Z, zero maps A..Z to a..z; every
 * other byte, bytes above 127 included, is copied unchanged; no locale is consulted. At
 * most the first 199 characters are converted, so the result is always terminated
 * inside its slot. text is never modified. The result is static: do not free it; it
 * stays valid through the next nine conversions, the tenth reuses its slot.
 * Not thread-safe (one process-wide ring and slot index, shared by the three). */
char *strmklu(const char *text, int upper);
/* strmklu(text, 0). */
char *strlwr(const char *text);
/* strmklu(text, 1). */
char *strupr(const char *text);

/* ==== Encoders and signal installer =============================================== */

/* Base64 (RFC 4648, alphabet A-Z a-z 0-9 + /, padding '=') of one group: writes 4
 * characters (no terminator) to out from the 3 bytes at in, of which count are data.
 * count 1 or less gives two characters and "==", 2 gives three and "=", 3 or more four.
 * in must hold 3 readable bytes and those beyond count must be 0 (the second byte enters
 * the second character even when count is 1). Thread-safe. */
void encodeblock(const unsigned char *in, unsigned char *out, int count);

/* Writes the base64 of the file at path to the open descriptor fd: lines of 76
 * characters, each ended by "\n" (the last one shorter); an empty file writes nothing.
 * Returns 0 when the file was encoded, 1 when path is null or the file cannot be opened
 * (nothing written), and 1 when reading it fails part-way (a directory, an I/O error):
 * what was read is written and its line ended. Write errors on fd are not detected.
 * Thread-safe (no shared state; concurrent writers to one fd interleave). */
int base64(const char *path, int fd);

/* Installs handler (a function, SIG_DFL or SIG_IGN) with signal() for SIGABRT, SIGHUP,
 * SIGINT, SIGQUIT, SIGPIPE, SIGALRM, SIGTERM, SIGUSR1, SIGUSR2, SIGBUS, SIGSTKFLT, SIGIO,
 * SIGXCPU, SIGXFSZ, SIGVTALRM, SIGPROF, SIGPWR and SIGSEGV, in this order; every other
 * signal keeps its disposition. Always returns 1. Changes process-wide dispositions:
 * call it from one thread, before starting others. */
int InstallSignalHangler(void (*handler)(int));

/* ==== Configuration store (/tmp/.vesconf_file) ==================================== */

/* The store holds lines key="value". Reading: pieces of at most 198 characters, trailing
 * CR and LF removed, empty lines and lines without '=' skipped; the key is everything
 * before the first '=' (spaces included, compared exactly), the value everything after
 * it with every double quote removed. Keys longer than 49 characters are skipped; values
 * are cut to 149 characters. The first line of a key wins.
 * Threads and processes: each call opens and closes the store. Readers take no lock and
 * see either the whole old or the whole new store (a writer renames a complete file over
 * it). Writers of the library take turns on an flock() of the folder /tmp, held from the
 * read of the store to the rename, so that no writer's entry is lost to another's; a
 * writer waits at most about 1.5 s for its turn and then goes on alone. Safe to call from
 * several threads. */

/* Copies the value of the first line of key into out, which must hold 150 bytes.
 * Returns 0 when key or out is null or the store cannot be opened (out untouched; a store
 * that is not a regular file counts as missing); otherwise strlen(out) after the call.
 * A missing key leaves out as it was and still returns strlen(out): clear out (or put a
 * default into it) before the call; with a cleared buffer 0 means "no entry or empty". */
int GetVesconfEntry(const char *key, char *out);

/* Writes the line key="value" (cut to 511 characters) as the last line of the store and
 * drops every earlier line that begins with key's characters (so duplicates of key, and
 * lines of keys that extend key, go too; an empty key drops every line). Creates the
 * store when missing; the new store has mode 0664. The new content goes to a file beside
 * the store that is written without a name (O_TMPFILE; where that is refused, it is
 * created under its name), linked to /tmp/.vesconf_file_tmp.<pid>.<8 hex digits> and
 * renamed over the store. A writer removes such files whose process is gone, so the file
 * of a writer killed on the way does not outlive the next write. Returns 1 when the
 * store was replaced; 0 when key or value is null, when the store exists but cannot be
 * read, when the temporary file cannot be created, or when writing, naming or renaming it
 * fails; on 0 the store is unchanged. Values are written without escaping: a double quote
 * in value does not read back. */
int SetVesconfEntry(const char *key, const char *value);

/* 1 when the value of the first "FRMDATE" line is exactly "us"; 0 otherwise (other value,
 * no such line, no store). */
int GetTimeDateFormat(void);

/* ==== Text dictionaries and character-set conversion ============================== */

/* Dictionaries are /var/www/html/lang/include/<section>/jscript/<language>.js (UTF-8; the
 * path has at most 99 characters, else there is no file). An entry line holds '=' and two
 * spaces: the key is the text between the first and the second space, the value the text
 * between the first double quote at or after the first '=' and the next double quote.
 * Lines are read in pieces of at most 198 characters. The language is mLang when set,
 * else the store's "LANGSTR" entry (a value of 50 characters or more counts as none).
 * Character sets are names that iconv_open() accepts; "UTF8" is the source of ConvTo.
 * Not thread-safe: pDictText, its index, mLang, mTextUtfTo and mTextUtfFromTo are
 * process-wide; all five functions of this group belong to one thread at a time. */

/* Result ring of GetTextDict and GetTextDictLang: 20 heap strings owned by the library
 * (the entry reused by a call is freed by that call). Never free its entries. */
extern char *pDictText[20];
/* Language override, up to 9 characters and a terminator; "" means none. Set by
 * GetTextDictLang (a caller may also write it directly). */
extern char mLang[10];
/* Heap buffer of the last ConvTo / ConvFromTo conversion, or null; owned by the library,
 * freed by the next call of the same function. Never free them. */
extern char *mTextUtfTo;
extern char *mTextUtfFromTo;

/* Looks key up in section's dictionary of the current language. Returns the value,
 * converted from UTF-8 into charset when charset is not null and the conversion succeeds
 * (the UTF-8 value otherwise), or a copy of key itself (never converted) when there is no
 * language, no file or no complete entry. The result lives in the ring pDictText: do not
 * free it; it stays valid through the next nineteen calls of GetTextDict and
 * GetTextDictLang together, the twentieth frees it. Returns null when the ring's copy
 * cannot be allocated. A null key counts as "". */
char *GetTextDict(const char *key, const char *section, const char *charset);

/* Sets mLang to the first 9 characters of language (null clears it, ending the override
 * for later GetTextDict calls too), then returns GetTextDict(key, section, charset). */
char *GetTextDictLang(const char *key, const char *section, const char *charset,
                      const char *language);

/* Looks key up in the "systembin" dictionary of the store's "LANGSTR" language (mLang is
 * not consulted; no conversion). Returns 1 with the value in out, or 0 with a copy of key
 * in out (no language, no file, no entry; a null key counts as ""). Returns 0 without
 * writing when out is null. out must hold the longest value of the dictionary (at most
 * 197 characters) or the key, with the terminator. */
int GetTextAlarmLanguage(const char *key, char *out);

/* Converts the UTF-8 text into charset with one iconv call and an output room of twice
 * the text's length. Returns the converted, terminated text in mTextUtfTo (library-owned,
 * valid until the next ConvTo), or text itself when text is empty or null, the character
 * set is unknown (or null), the input is invalid or incomplete, or the output does not
 * fit. Every call first frees the previous ConvTo buffer, whatever its outcome: copy a
 * result before the next call. Do not free the result. */
char *ConvTo(const char *text, const char *charset);

/* As ConvTo, from fromCharset instead of UTF-8, with its own buffer mTextUtfFromTo;
 * ConvTo and ConvFromTo do not disturb each other's results. */
char *ConvFromTo(const char *text, const char *fromCharset, const char *toCharset);

/* ==== Shared runtime slots (/dev/shm/sh_<id>.share) =============================== */

/* A table is a file of 255 slots of 904 opaque bytes (slot k at byte k * 904, no header),
 * named by the signed decimal id (-1 gives sh_-1.share). Every call opens and closes the
 * file. Between callers of the library a slot is read and written whole: a read holds a
 * shared, a write an exclusive fcntl() byte-range lock on the slot's 904 bytes, a reset an
 * exclusive one on the whole table (open-file-description locks, which also keep the
 * threads of one process apart; before Linux 3.15 process-owned locks, the calls of one
 * process taking turns). A caller waits for the lock as long as its holder's one read or
 * write takes. Programs that take no lock read and write the file as before. Between two
 * writers of a slot the later wins. Thread-safe. */

/* Creates the table file (mode 0777 reduced by the umask) or resets an existing one to
 * 255 zero slots (a slot 255 past them is cut off). A new table is written without a name
 * and linked to its name complete, so a caller killed on the way or a full disk leaves no
 * file (where /dev/shm refuses unnamed files, it is written under its name and removed
 * when it cannot be written whole). A reset reserves the disk room first, writes the zeros
 * in place and then sets the size: a table never has the wrong size (a reset killed on
 * the way leaves some slots zeroed, the last of them perhaps in part). Returns 0 (the
 * result of close()) when done; -1 when the file cannot be opened, created or written
 * (no room on the disk: the table is as it was, a new one not made) or closing it fails. */
int InitShareRuntime(int32_t id);

/* Removes the table file. Returns 0 when removed, -1 when it does not exist or cannot be
 * removed (the result of unlink()). */
int UnInitShareRuntime(int32_t id);

/* Reads slot (mod 256) into buffer904 (904 bytes). Returns 1 when all 904 bytes were
 * read; 0 when buffer904 is null, the table does not exist (it is not created) or cannot
 * be opened, or the seek fails (buffer untouched), and 0 after a short read, with the
 * bytes read followed by zeros in the buffer (slot 255 of a fresh table reads nothing and
 * gives 0 with an all-zero buffer). */
int GetShRuntime(int32_t id, uint8_t slot, void *buffer904);

/* Writes the 904 bytes at buffer904 into slot (mod 256). Returns 1 when all 904 bytes
 * were written (slot 255 grows the file to 231424 bytes); 0 when buffer904 is null, the
 * table does not exist (it is not created) or cannot be opened, the seek fails, or the
 * write fails. The disk room is reserved before the write: on a full disk the slot is
 * unchanged (a file system that fails a write after the room was reserved may leave part
 * of it written). A writer killed during its write can leave the slot torn, part new and
 * part old (a kill lands between two pages of the file: slot 4 at offset 4096); the
 * file's format cannot tell, and readers get the slot as it is. */
int SetShRuntime(int32_t id, uint8_t slot, const void *buffer904);

/* ==== I/O interface request file and digital I/O port ============================= */

/* The request record /dev/shm/ves_iface is 10 bytes, 16-bit fields little-endian:
 * offset 0..3 bytes, 4 byte, 5 byte, 6-7 word, 8-9 word. SetIoInterfaceRequest and
 * GetIoInterfaceRequest work under the lock file /dev/shm/ves_iface.lok (holder's pid as
 * text), one holder at a time: they create it exclusively, and while another holder's
 * file is there they sleep 500 ms at a time; a lock file that stays unchanged through four
 * sleeps (2 s) is taken over by one waiter, and the others wait for the new holder. At the
 * end a caller removes the lock only when it is still the file it made, with its pid. A
 * stale lock file of another user, which the sticky /dev/shm keeps from being removed, is
 * overwritten in place and emptied at the end (an empty lock file of another user is
 * free); where it cannot be written either, the caller works after the 2 s wait holding
 * an flock() of /dev/shm instead, so callers of this library still take turns. The change
 * marker (mtime in whole seconds last seen by GetVesIfaceSetStatus) is process-wide.
 * Threads: the lock serialises processes, not threads; the change marker is unguarded:
 * call GetVesIfaceSetStatus and SetIoInterfaceRequest(notify != 0) from one thread at a
 * time. The port functions read-modify-write the port byte without a lock. */

/* Rewrites the record (creating the file, mode 0666 reduced by the umask, when missing):
 * at0..at3 go to offsets 0..3, at5 to offset 5, at8 to offsets 8-9, at6 to offsets 6-7,
 * at4 to offset 4 (note the argument order). An argument equal to 255 (for the words
 * exactly 0x00FF; 0xFFFF is stored) keeps the stored value (0 in a new file). Bytes past
 * the tenth of a longer file are kept. With notify non-zero, afterwards calls
 * GetVesIfaceSetStatus(NULL), so this process's own change is not reported to it as new.
 * Returns 1 when the record was written; 0 when the lock file cannot be created (nothing
 * else happens, no notify), or the record cannot be opened or its 10 bytes do not go in
 * whole (a full disk): the record is then as it was, a new one is not left behind (the
 * notify step still runs). */
int SetIoInterfaceRequest(uint8_t at0, uint8_t at1, uint8_t at2, uint8_t at3, uint8_t at5,
                          uint16_t at8, uint16_t at6, uint8_t at4, uint8_t notify);

/* Reads the record (a shorter file reads as its bytes followed by zeros) and stores into
 * each non-null output: at5 the byte at offset 5, at6 the word at 6-7, at4 the byte at
 * offset 4, record10 all 10 bytes. Returns 1 when the record was read; 0 when the lock
 * file cannot be created or the record file is missing or unreadable (outputs untouched). */
int GetIoInterfaceRequest(uint8_t *at5, uint16_t *at6, uint8_t *at4, uint8_t *record10);

/* Change detection, without taking the lock (it only waits, at most 2 s, while the lock
 * is held). Returns 1 when the record file's mtime (whole seconds) differs from the
 * one this process saw last, which it then remembers; with record10 not null the first
 * 10 bytes of the file are read into it (not cleared first; nothing is stored when the
 * file cannot be opened, and the result is still 1). Returns 0 when the file is missing,
 * its status cannot be read, or its mtime is the one seen last (a change within the same
 * second goes unseen). The first call of a process returns 1 for any existing file. */
int GetVesIfaceSetStatus(uint8_t *record10);

/* Drives bits 0x08 (status bit 0) and 0x04 (status bit 1) of I/O port 0x801 (offset 2049
 * of /dev/port), keeping the other bits. Returns status (0..255) once the current byte was
 * read (the write result is not examined); -128 when /dev/port cannot be opened (no device
 * or no privilege: root or CAP_SYS_RAWIO) or the current byte cannot be read (nothing is
 * written then: the other six bits are unknown). */
int SetDiStatus(uint8_t status);

/* Reads I/O port 0x801: returns 0..3, bit 0 set when port bit 0x80 is clear and bit 1 set
 * when port bit 0x40 is clear; -128 when /dev/port cannot be opened. */
int GetDiStatus(void);

/* ==== Service requests, watchdog and mode flags =================================== */

/* Files: /etc/quor/service_request (request lines, removed by the unit's service when it
 * has taken them), /etc/quor/service_request.lok (advisory marker, holder's pid as text),
 * /proc/quorwd (watchdog driver), /etc/quor/quormode (mode flags, first line).
 * No process-wide state: thread-safe, but the waits sleep the calling thread. */

/* Appends the line "%c%03d%s-%s\n" (code, number, the first 20 bytes of the output of
 * /usr/bin/qmpasswd run through the shell without trailing CR/LF, text; null text counts
 * as "") to the request file on a descriptor opened for appending (file created with mode
 * 0666 reduced by the umask), whole or not at all: a line that the disk has no room for
 * is cut off again, so the file keeps only whole lines. Then, with waitSeconds > 0,
 * waits for the service to remove the file: at most waitSeconds sleeps of 1 s (a negative
 * wait tests once). The tool runs with the caller's privileges; a missing or not
 * executable tool files no line. Returns 1 written (and the file gone, when a wait was asked); 0 not
 * written (and no request file at the last test); 3 written but the file still there after
 * the wait; 2 not written and a request file still there after the wait. */
int MakeOsServiceRequest(char code, const char *text, int8_t waitSeconds, int8_t number);

/* Waits until no request file exists, at most waitSeconds sleeps of 1 s (0 answers at
 * once). Returns 0 when no request file exists, 1 when one is still there. */
int OsServicePending(uint8_t waitSeconds);

/* set non-zero: creates or truncates the marker with this process's pid; returns 0 once
 * it holds the pid, -1 when it cannot be created or written (a marker left empty is
 * removed again) or closing it fails.
 * set zero: removes the marker; returns 0 when removed, -1 when it is missing or cannot be
 * removed. The marker is never tested by the request functions and not waited for. */
int MakeServiceRequestLock(int set);

/* Sends one watchdog command for application appId (mod 256, only 0..19) with one write
 * to /proc/quorwd: command 1 "r<id>", 0 "a<id>", -1 "w0", -2 "w1" (no id), any other
 * value an empty write. Returns 0 after sending, and 0 without doing anything when the
 * control file is not writable or appId is 20 or more; 1 when the control file passed the
 * writability test but cannot be opened. */
int RegisterAppWdreset(uint8_t appId, int8_t command);

/* 1 when the first character of /etc/quor/quormode is '1'; 0 otherwise, also when the
 * file is missing, unreadable or empty. */
int IsQuorPro(void);

/* The decimal number between the first and the second '|' of the mode file's first 19
 * characters (strtol-like: leading blanks and sign, no digits 0, clamped to 32 bits); 0
 * when the file is missing or unreadable or there are fewer than two '|' there. */
int IsDewFsmActive(void);

/* ==== Acquisition speed setup (/dev/shm/acqspeed.conf) ============================ */

/* Filled by GetAcqSpeedSetup; owned and allocated by the caller. The same layout on
 * i386 and x86-64 (11032 bytes). Entry k of the setup is element k of each array; only
 * the first count entries are meaningful. Free list places hold 0xFF. */
typedef struct AcqSpeedSetup {
    uint16_t count;        /* entries filled, 0..20 */
    int32_t start;         /* header columns 1-11 */
    int32_t end;           /* header columns 12-22, greater than start */
    int32_t id[20];        /* entry columns 1-11 */
    uint8_t code1[20];     /* entry columns 12-14, low 8 bits */
    uint8_t code2[20];     /* entry columns 15-17, low 8 bits, 0 stored as 1 */
    uint8_t listA[20][32]; /* field 2, flag 0x01 */
    uint8_t listB[20][128];/* field 3, flag 0x04 */
    uint8_t listC[20][128];/* field 6, flag 0x08 */
    uint8_t listD[20][128];/* field 4, flag 0x10 */
    uint8_t listE[20][128];/* field 5, flag 0x20 */
    uint8_t flags[20];     /* flag bits of the lists that received a value */
} AcqSpeedSetup;

/* Parses the speed file into setup: a header line (start, end in fixed 11-column fields)
 * and entry lines "<11-digit id><3-digit code1><3-digit code2>|A|B|D|E|C" (six
 * '|'-separated fields; a field that is empty or starts with '-' gives no list; lists are
 * comma-separated numbers stored as their low 8 bits, beyond the capacity ignored; a line
 * of 16 characters or fewer after trailing CR/LF/'|', a line without six fields or one
 * without any list is skipped; after the twentieth entry further lines are ignored).
 * Returns 1 when setup was refilled and holds at least one entry; 2 when the file's mtime
 * (whole seconds) equals the one this process saw last: setup is not touched (the mark is
 * process-wide, not per record); 0 when setup is null, the file is missing or unreadable
 * (then /etc/quor/fsmdevextra is removed and the mark reset, so a new file is parsed
 * again), the header has no greater end value, or no entry was accepted. After a 0 from
 * the header or entry checks, setup has been cleared and holds only the header values and
 * leftovers of skipped lines. Not thread-safe (one process-wide change mark). */
int GetAcqSpeedSetup(AcqSpeedSetup *setup);

/* Ends the setup: removes the speed file when it exists, then the companion file
 * /etc/quor/fsmdevextra. Returns 0 when the companion file was removed, -1 when it did not
 * exist or cannot be removed. Thread-safe. */
int ExitAcqSpeed(void);

/* ==== Temperature history file info (/var/log/temp_isto) ========================== */

/* Filled by GetTempFileInfo; owned and allocated by the caller (176 bytes on i386 and
 * x86-64). */
typedef struct TempFileInfo {
    int32_t recordIndex;   /* trailer token 1: record index, -1 for none */
    int32_t indexedValue;  /* first 11 characters of the first token of that record */
    int32_t second;        /* trailer token 2 */
    int32_t recordLength;  /* trailer token 4: bytes per data record */
    int32_t fifth;         /* trailer token 5 */
    uint32_t recordCount;  /* data file size / record length; 0 for record length 0 */
    char text[152];        /* trailer token 3, terminated */
} TempFileInfo;

/* Summarises the history of id: the five white-space separated tokens of the last 85
 * bytes of /var/log/temp_isto/<id>.temphid ("%011ld" names: 42 gives 00000000042, -1 gives
 * -0000000001), the number at the start of the data record they point at in
 * <id>.tempisto (byte recordIndex * recordLength, 32-bit, or the start for index -1 or a
 * product of 0 or less) and the record count. Numbers are strtol-like and clamped to 32
 * bits; a missing number token repeats the last number read, a missing text token leaves
 * text empty. Clears *info first. Returns 1 when info was filled; 0 when info is null,
 * either file is missing or unreadable, or the .temphid file has 84 bytes or fewer (info
 * then holds zeros). Reads only; no state: thread-safe. */
int GetTempFileInfo(int32_t id, TempFileInfo *info);

/* ==== UART lock (/dev/shm/uart_lck) =============================================== */

/* The lock file holds the holder's pid as decimal text without newline. A holder without
 * a /proc/<pid>/ directory and /proc/<pid>/cmdline is dead: its lock is stale and is
 * removed by the next call of either kind (an empty or non-numeric file is stale too).
 * take non-zero: returns 1 when this process now holds the lock (the file appears in one
 * step: two processes taking it at once cannot both succeed); 0 when a live process holds
 * it (this process included: not re-entrant) or the file cannot be written. A lock file
 * that exists but cannot be read is replaced when it can be written; a stale lock that
 * cannot be removed (another user's, in the sticky /dev/shm) is overwritten in place when
 * its mode allows.
 * Callers look at and change the file one at a time, under an exclusive flock() on the
 * directory /dev/shm (waited for at most about 1.5 s, then done without).
 * take zero: returns 1 when the file held this process's pid and was removed; 0 otherwise
 * (no lock, a stale lock, another live holder, whose file is left alone).
 * Locks processes, not threads: call it from one thread. */
int MakeLockUart(int take);

/* ==== Message-bus client ========================================================== */

/* One TCP connection per process to the unit's message-bus server, a reader thread that
 * answers pings (type 2) and delivers every other message, and one synchronous request at
 * a time. Types with a meaning to the client: 2 ping, 3 registration, 253 a reply that
 * ends any synchronous wait.
 * Threads: ConnectBus and CloseBus belong to one controlling thread and must not run
 * while another thread posts or requests. PostBusMessage, WriteBusMessage and
 * SendBusRequest may run beside the reader thread and beside each other: writers take
 * turns, and every message goes out whole and contiguous, also when a write is cut short
 * by a full send buffer or a signal. At most one SendBusRequest at a time per process (a
 * second one while one waits returns 0 at once). The handler runs on the reader thread.
 * The reader takes a payload piece by piece as it arrives (a message larger than the
 * receive window is delivered whole); a payload of which nothing more comes for 100 ms is
 * dropped with the bytes pending at that moment.
 * Signals: the caller's own posts and requests to a connection that the server closed
 * raise SIGPIPE; the client does not ignore it (InstallSignalHangler covers it). The
 * reader's writes (ping answers) never raise SIGPIPE. */

/* The 68-byte message header. On i386 its natural layout is the wire image; the client
 * encodes it field by field (little-endian), so the x86-64 build (8-byte Payload) puts the
 * same bytes on the wire. Names are NUL-terminated and zero-filled. */
typedef struct MessageRecord {
    uint16_t Type;         /* message type (2, 3, 253 are the client's; others the
                              applications') */
    uint8_t Tag;           /* caller's 8-bit value, carried unchanged */
    char SenderName[21];   /* at most 20 characters */
    int32_t SenderPid;     /* -1 in posted messages of a process whose pid is not set */
    int32_t DestPid;       /* addressee's pid, 0 for none */
    char DestName[22];     /* addressee's name, at most 21 characters, "" for none */
    uint16_t PayloadLen;   /* payload bytes that follow the header on the wire */
    int32_t RequestId;     /* random id of this message */
    int32_t ReplyTo;       /* RequestId of the message answered, 0 for none */
    void *Payload;         /* in memory: the payload, owned by the record's owner;
                              on the wire: 4 bytes without meaning (sent as zero) */
} MessageRecord;

/* The message handler: called on the reader thread with a record that the reader owns
 * and frees (with its Payload, a copy of the received bytes or null with PayloadLen 0)
 * as soon as the handler returns; copy whatever you keep. While it runs no message is
 * read and no reply delivered, so a SendBusRequest made from it always times out. */
typedef void (*BusHandlerFn)(MessageRecord *message);

/* Connects to the server at serverAddr (IPv4 in network byte order, first octet in the
 * lowest-addressed byte) and port (host order; 0 means 10000), sets SO_LINGER to 1 s,
 * stores handler (null: every message but pings is dropped, and requests can only time
 * out), starts the reader thread and posts the registration (type 3, SenderName
 * clientName, addressed to destPid / destName, no payload). An open connection is first
 * ended (its reader cancelled and joined, its socket closed). Returns 0 when the socket,
 * the connection or the linger option fails (no connection, no reader); otherwise the
 * result of the registration post as PostBusMessage: 0 when it had no addressee or failed,
 * although the connection stays open and the reader runs (CloseBus ends it). A reader
 * that cannot be started is not reported. */
int ConnectBus(const char *clientName, uint16_t port, uint32_t serverAddr, int32_t destPid,
               const char *destName, BusHandlerFn handler);

/* Ends the reader thread (cancelled and joined; from inside the handler: cancelled and
 * detached) and closes the connection, then sets SIGIO and SIGPIPE to their default
 * dispositions whatever was installed before. Returns 1 after closing a connection, 0
 * when none was open. */
int CloseBus(void);

/* Builds and sends one message: Type (low 16 bits of type), Tag (low 8 bits of tag),
 * SenderName, DestName, DestPid, ReplyTo, SenderPid (the process id, -1 when not set),
 * a fresh random RequestId (srandom from the microseconds, then random()), and a copy of
 * payloadLen bytes of payload when payload is not null and payloadLen > 0. Names may be
 * null. The caller keeps its payload. Returns the message's RequestId (1 when that id is
 * 0) once the whole message has been written; 0 when nothing was sent: no addressee (destPid 0 and
 * destName null or empty), senderName longer than 20 or destName longer than 21
 * characters, payloadLen over 65535, the payload copy cannot be allocated, or the write
 * failed. */
int PostBusMessage(int type, const char *senderName, const char *destName, int32_t destPid,
                   const void *payload, int payloadLen, int tag, int32_t replyTo);

/* Writes the 68-byte wire image of record, followed by PayloadLen bytes of Payload when
 * both are non-zero, whole: short counts and EINTR are carried on, in the writers' turn.
 * The record is taken as it is (names are sent as their full fields); the caller keeps
 * its Payload. Returns 1 when every byte was written, 0 when PayloadLen is non-zero and
 * Payload null (a header that promises bytes which do not follow: nothing is sent), the
 * buffer cannot be allocated or a write fails (no connection included). */
int WriteBusMessage(MessageRecord record);

/* Posts one message as PostBusMessage (ReplyTo 0) and waits for its reply: the first
 * message, other than a ping, that is of type 253, or whose ReplyTo equals the request's
 * RequestId and, when given, whose SenderPid equals expectedPid (0 for any) and whose
 * SenderName equals expectedName (null or "" for any). Non-matching messages go to the
 * handler meanwhile. Takes the reply as soon as the reader hands it over; gives up once
 * timeoutMs have passed on the monotonic clock (signals and steps of the wall clock
 * neither shorten nor stretch the wait). Returns 1 when the reply arrived in time: with reply not
 * null, *reply holds the reply's header and, when copyPayload is non-zero and the reply
 * had a payload, Payload is a heap copy that the caller frees with free() (otherwise
 * Payload is null and PayloadLen 0). Returns 0 when nothing was sent (as PostBusMessage),
 * when another request is under way, or at the time-out; *reply is then untouched. A
 * failed write ends in the time-out. */
int SendBusRequest(int type, const char *senderName, const char *destName, int32_t destPid,
                   const void *payload, int payloadLen, int tag, int32_t expectedPid,
                   const char *expectedName, uint32_t timeoutMs, MessageRecord *reply,
                   uint8_t copyPayload);

#ifdef __cplusplus
}
#endif

#endif /* QMVESKAR_H */

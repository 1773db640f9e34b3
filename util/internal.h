// internal.h - helpers of the utility library that the layers above it share (serial link,
// message-bus client, discovery command) and process-wide values; none of it is exported.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <sys/stat.h>
#include <sys/types.h>

// Process id stored by the command at start; 0 when the program has not set it.
extern int32_t OwnPid;

// ---- Numbers and text (decimal.cpp, dotted.cpp, hexconv.cpp, linetrim.cpp) ----------
// Decimal text to a signed 32-bit value: leading blanks and a sign accepted, stopping at
// the first non-digit, 0 for no digits or no text, held to the int32 range on every build.
int32_t Decimal32(const char *text);
uint32_t DottedToInt(const char *text);
unsigned char *HexToBytes(const char *hex, signed char count);
char *BytesToHex(const unsigned char *bytes, int count);
// Decodes the first pairs two-character groups of hex into out[0..pairs), each as strtoul
// reads it in base 16 (a group that does not parse gives 0). hex must hold 2 * pairs bytes.
void HexPairsToBytes(const char *hex, size_t pairs, uint8_t *out);
// Cuts every trailing character of text that is one of chars; returns the new length.
size_t StripTrailing(char *text, const char *chars);
// Cuts the trailing carriage returns and line feeds of a line read with fgets.
inline size_t StripLineEnd(char *line) { return StripTrailing(line, "\r\n"); }
int WriteLogLine(const char *text, FILE *stream);

// Converts length bytes of text from one character set to another in one iconv call, into
// a new zero-filled heap buffer of 2 * length + 1 bytes (*out, the caller's). True on
// success; on failure *out is that buffer or null (no converter, no memory).
bool ConvertCharset(const char *text, size_t length, const char *from, const char *to, char **out);

// ---- Little-endian fields of records and wire images (littleendian.cpp) -------------
void Put16(uint8_t *at, uint16_t value);
uint16_t Get16(const uint8_t *at);
void Put32(uint8_t *at, uint32_t value);
uint32_t Get32(const uint8_t *at);

// ---- Files by name, state files and lock files (paths.cpp, writeall.cpp, pidfile.cpp,
// statefile.cpp) ---------------------------------------------------------------------
// Closes the stream (when there is one) at the end of the scope.
struct FileCloser {
    FILE *file;
    ~FileCloser()
    {
        if (file)
            fclose(file);
    }
};

bool PathExists(const char *path);
// Removes the file when it exists: -1 when there is none, else unlink's result.
int RemoveIfExists(const char *path);
// Writes all of data to fd (retrying short writes and EINTR); false on an error. quiet:
// fd is a socket, written with send(MSG_NOSIGNAL): a closed peer raises no SIGPIPE.
bool WriteAll(int fd, const void *data, size_t size, bool quiet = false);
// Writes pid as decimal text ("%d", no newline) to fd; true when all of it was written.
bool WriteProcessId(int fd, int pid);
// Opens a state file of a world-writable folder: never through a link, never blocking on
// a FIFO or a device; only a regular file opens. -1 (errno set) when it cannot be opened.
int OpenStateFile(const char *path, int flags, mode_t mode = 0666);
// The same, as a stream opened with fdopen(fdopenMode); null when it cannot be opened.
FILE *OpenStateStream(const char *path, int flags, mode_t mode, const char *fdopenMode);
// Creates (or truncates) the lock file path (through OpenStateFile), mode 0666, holding
// this process's id as WriteProcessId writes it: 1 written and closed, 0 the file could not
// be opened or written (a file left without the id is removed again), -1 the close failed.
int WritePidFile(const char *path);

// ---- Guard of a shared folder's lock files (dirguard.cpp) --------------------------
// Takes an exclusive flock() on the folder dir (a descriptor of its own, close-on-exec),
// waiting at most about 1.5 s for a holder to let it go. A caller that reads, clears or
// creates a lock file in dir holds it meanwhile, so that those steps of two processes
// never interleave. Returns the descriptor to pass to DropDirGuard, or -1 when the folder
// cannot be opened or the guard was not free in time: the caller goes on unguarded rather
// than block. Not nested: a second take in the same process waits out the time, gets -1.
int TakeDirGuard(const char *dir);
// Lets the guard go (nothing for -1).
void DropDirGuard(int fd);

// ---- Files that appear whole (lockfile.cpp) -----------------------------------------
// Closes a descriptor at the end of the scope.
struct FdCloser {
    int fd;
    ~FdCloser();
};
bool SameFile(const struct stat &a, const struct stat &b);  // same device and inode
// An unnamed file in the folder dir (O_TMPFILE, close-on-exec), to be given its name only
// once it is complete: a writer killed on the way leaves nothing. -1 where the file system
// has none, or where /proc, through which it gets its name, is missing.
int OpenUnnamedFile(const char *dir, int flags, mode_t mode);
// Gives the unnamed file fd the name path (never replacing one): 0, or -1 with errno
// (EEXIST: the name is taken).
int NameUnnamedFile(int fd, const char *path);

enum class LockMade { Taken, Exists, Refused };
// Makes the lock file path (in the folder dir) holding this process's id, whole for its
// readers: an unnamed file named once the id is in it; where the file system refuses, a
// private named file linked to path; where links are refused too, path created
// exclusively and then written. Exists: a lock file is there already. made (optional):
// the lock file as this call left it.
LockMade MakeLockFile(const char *dir, const char *path, struct stat *made);
// Truncates the lock file that was looked at (seen) and writes this process's id into it,
// for a lock file that cannot be removed: 1 done, 0 not writable, -1 the name refers to
// another file now. made (optional): the file as left.
int OverwriteLockFile(const char *path, const struct stat &seen, struct stat *made);

// ---- Time (timekeeping.cpp) ---------------------------------------------------------
// Nanoseconds of the monotonic clock, in 64 bits.
int64_t MonotonicNs();

// A millisecond time stamp of the real-time clock, and the stopwatch over it that the
// receiver and the bus client measure their time limits with.
struct TimeStamp {
    int32_t sec;  // whole seconds of the real-time clock
    uint16_t ms;  // 0..999
};

TimeStamp NowStamp();
// Milliseconds from stamp to now; 0 when stamp is not in the past.
uint32_t ElapsedMs(TimeStamp stamp);

// Sleeps the whole time given: a signal that interrupts the sleep (the command's catch-all
// handlers, for one) does not shorten it.
void SleepFully(time_t seconds, long nanoseconds);

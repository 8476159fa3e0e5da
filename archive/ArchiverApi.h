/* The archiver plug-in interface: the C entries of the LZH library (prefix
 * "Unlha", file libunlha32.so), of the ZIP library (prefix "UnZip", file
 * libunzip32.so) and of the library of the other kinds (prefix "AnyArc", file
 * libanyarc.so). Anyone may build a replacement plug-in from this header; keep
 * it stable.
 *
 * The other kinds (AnyArc): 7z; RAR 4 and RAR 5; tar, also compressed with gzip,
 * bzip2, xz, zstd, lz4 or compress (.tar.gz, .tgz, .tar.bz2, .tbz2, .tar.xz, .txz,
 * .tar.zst); cpio; ISO 9660; CAB; and single compressed files (.gz, .bz2, .xz,
 * .zst, .lz4, .Z), each listed as one member named after the file without its
 * compression extension ("notes.txt.gz" holds "notes.txt"; ".tgz", ".tbz2",
 * ".tbz", ".txz" and ".tzst" give ".tar"). Which of them a file is comes from its
 * content, never its name; data that is neither an archive of these formats nor
 * compressed is not an archive (CheckArchive is 0).
 *
 * Life cycle of one archive, as the program uses it:
 *   1. <Prefix>SetBackGroundMode(1), <Prefix>SetCursorMode(0): accepted, ignored.
 *   2. <Prefix>CheckArchive(path, mode): is the file an archive of this format?
 *   3. <Prefix>OpenArchive(0, path, mode) gives a handle (NULL on failure).
 *   4. <Prefix>FindFirst(handle, "*.*", record), then <Prefix>FindNext(handle,
 *      record) until it returns nonzero; each success leaves the member's name,
 *      zero-terminated, at byte ARCHIVER_NAME_OFFSET of the caller's record.
 *      UnZipGetAttribute(handle) and AnyArcGetAttribute(handle) after each success
 *      tell whether that member is encrypted.
 *   5. <Prefix>CloseArchive(handle). The handle is invalid afterwards.
 * Extraction of members:
 *   6. <Prefix>GetRunning() is false; <Prefix>SetMemberSizeCap,
 *      <Prefix>SetDestinationFolder and <Prefix>SetStopFlag are set; then
 *      <Prefix>(0, command line, output, output size) runs one command (the
 *      command lines below); then the folder and the stop flag are unset again.
 *
 * Several archives may be open at once; a handle that is not open (closed, never
 * returned, NULL) is refused with ARCHIVER_BAD_HANDLE and never dereferenced.
 * Calls may come from any thread, one at a time per library.
 *
 * Command lines: blanks separate tokens; a double quote opens a quoted run that a
 * double quote followed by a blank or by the end closes (other quotes are plain
 * characters; backslashes are never escapes). Switches count only before the
 * archive path. Then come the archive path, the destination folder and the
 * members, each matched against the names as the listing reported them.
 *   LZH: "e" (extract), then switches: -x0 flat, -x1 with stored folders; others
 *        (-r2 -u3 -m1 -n0 -n1 ...) accepted and ignored.
 *   ZIP: switches: -x -n -o accepted; -j flat (else with stored folders);
 *        -P PASSWORD; -i and --i accepted. Listed ZIP names end in a TAB, and
 *        "*" for an encrypted member; the token may carry them.
 *   AnyArc: the ZIP library's command line and listed-name form. A member is
 *        encrypted when libarchive reports it so (RAR 4, 7z); a RAR 5 member it
 *        does not report fails its checksum when extracted and is not written.
 * A member is written inside the destination folder only, replacing a file of
 * that name; one that passes the size cap (ARCHIVER_TOO_LARGE) or its archive's
 * total cap (ARCHIVER_OVER_ARCHIVE_CAP, see <Prefix>SetArchiveCap), that cannot be
 * written whole (ARCHIVER_WRITE_FAILED), that would leave the file system with less
 * than its free-space reserve (ARCHIVER_NO_ROOM, see <Prefix>SetFreeSpaceReserve),
 * or whose writing the program stops (ARCHIVER_STOPPED, see <Prefix>SetStopFlag)
 * fails the command and leaves no partial file.
 * Each library reads on from the member it wrote last, in each of the last four
 * archives it extracted from: members extracted one command each in listed order
 * read an archive once, also one whose members share one compressed stream (7z,
 * tar.gz), and also when an archive inside it is extracted from in between. Our
 * libraries read the next members ahead (headers and up to 4 MiB of data) on a
 * thread of their own, from OpenArchive on. An archive file that has been deleted
 * is let go at the next command on another archive.
 *
 * Flat (-j, -x0), a member is written under its copy name, whatever folders its
 * name holds; the member search looks for its copy under the same name:
 *   - the part of the listed name after its last "/";
 *   - without the bytes up to 0x20 (blanks, TABs) at either end;
 *   - when longer than 255 bytes, cut to 255 bytes at a UTF-8 character boundary,
 *     keeping its extension (the last "." and at most 32 bytes after it);
 *   - a copy name that is empty, "." or ".." fails with ARCHIVER_UNSAFE_NAME.
 * So "../a.txt", "/a.txt" and "x/a.txt " are all written as "a.txt".
 * With stored folders (LZH -x1, ZIP and AnyArc without -j), a name that is empty, absolute
 * (also "C:"), or holds a ".." part would leave the folder and fails with
 * ARCHIVER_UNSAFE_NAME.
 */
#ifndef KOLBRIN_ARCHIVER_API_H
#define KOLBRIN_ARCHIVER_API_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* An open archive. Opaque: only the library that returned it may use it. */
typedef struct ArchiverArchive* ARCHIVER_HANDLE;

#define ARCHIVER_FIND_RECORD_SIZE 560 /* bytes of the caller's find record */
#define ARCHIVER_NAME_OFFSET 26       /* where the member name starts in it */
#define ARCHIVER_ENCRYPTED 0x40       /* attribute bit of an encrypted member */

/* Result codes of FindFirst, FindNext and the command function. */
#define ARCHIVER_OK 0
#define ARCHIVER_END (-1)          /* FindFirst/FindNext: no (further) member */
#define ARCHIVER_BAD_HANDLE (-2)   /* the handle is not an open archive */
#define ARCHIVER_BAD_ARGUMENT (-3) /* a NULL pointer or a bad command line */
#define ARCHIVER_BAD_ARCHIVE (-4)  /* not readable as an archive: damaged, truncated */
#define ARCHIVER_NO_MEMBER (-5)    /* a member named in the command is not there */
#define ARCHIVER_UNSAFE_NAME (-6)  /* the member would be written outside the folder */
#define ARCHIVER_WRITE_FAILED (-7) /* the destination file cannot be written whole */
#define ARCHIVER_TOO_LARGE (-8)    /* the member passes the size cap */
#define ARCHIVER_BUSY (-9)         /* a command of this library is running */
#define ARCHIVER_BAD_DATA (-10)    /* the member's data is damaged, or the password wrong */
#define ARCHIVER_STOPPED (-11)     /* the program's stop flag was set (SetStopFlag) */
#define ARCHIVER_OVER_ARCHIVE_CAP (-12) /* the archive's members passed its total cap */
#define ARCHIVER_NO_ROOM (-13)     /* writing would leave less than the free-space reserve */

/* CheckArchive: nonzero when `path` is an archive of this library's format that
 * it can read (an empty archive included). `mode` is accepted and ignored. */
int UnlhaCheckArchive(const char* path, int mode);
int UnZipCheckArchive(const char* path, int mode);
int AnyArcCheckArchive(const char* path, int mode);

/* OpenArchive: a handle for reading the member list; NULL when the file is not a
 * readable archive of this format. `window` and `mode` are ignored. */
ARCHIVER_HANDLE UnlhaOpenArchive(void* window, const char* path, uint32_t mode);
ARCHIVER_HANDLE UnZipOpenArchive(void* window, const char* path, uint32_t mode);
ARCHIVER_HANDLE AnyArcOpenArchive(void* window, const char* path, uint32_t mode);

/* CloseArchive: ARCHIVER_OK, or ARCHIVER_BAD_HANDLE. */
int UnlhaCloseArchive(ARCHIVER_HANDLE archive);
int UnZipCloseArchive(ARCHIVER_HANDLE archive);
int AnyArcCloseArchive(ARCHIVER_HANDLE archive);

/* FindFirst restarts the listing at the first regular-file member whose name
 * matches `wildcard` ("*.*" matches every name); FindNext goes on to the next.
 * ARCHIVER_OK: `record` (ARCHIVER_FIND_RECORD_SIZE bytes) holds the name, in
 * UTF-8, zero-terminated at ARCHIVER_NAME_OFFSET. ARCHIVER_END: no member left.
 * A name longer than the record holds (533 bytes) is listed as "\xE2\x80\xA6/"
 * ("…/") and its copy name (see "Flat" above), and commands name it so. Folders, links and devices are
 * never reported. */
int UnlhaFindFirst(ARCHIVER_HANDLE archive, const char* wildcard, void* record);
int UnZipFindFirst(ARCHIVER_HANDLE archive, const char* wildcard, void* record);
int AnyArcFindFirst(ARCHIVER_HANDLE archive, const char* wildcard, void* record);
int UnlhaFindNext(ARCHIVER_HANDLE archive, void* record);
int UnZipFindNext(ARCHIVER_HANDLE archive, void* record);
int AnyArcFindNext(ARCHIVER_HANDLE archive, void* record);

/* UnZipGetAttribute, AnyArcGetAttribute: the attribute bits of the member found last
 * (ARCHIVER_ENCRYPTED for an encrypted one), or -1 for a bad handle or when no
 * member has been found. */
int UnZipGetAttribute(ARCHIVER_HANDLE archive);
int AnyArcGetAttribute(ARCHIVER_HANDLE archive);

/* Accepted and ignored; they return 0. */
int UnlhaSetBackGroundMode(int background);
int UnZipSetBackGroundMode(int background);
int AnyArcSetBackGroundMode(int background);
int UnlhaSetCursorMode(int cursor);
int UnZipSetCursorMode(int cursor);
int AnyArcSetCursorMode(int cursor);

/* GetRunning: nonzero while a command of this library runs. */
int UnlhaGetRunning(void);
int UnZipGetRunning(void);
int AnyArcGetRunning(void);

/* The command function: runs `command` (see above). ARCHIVER_OK on success,
 * otherwise one of the negative codes. `output` (may be NULL) receives a short
 * zero-terminated message of at most `outputSize` bytes. */
int Unlha(void* window, const char* command, char* output, uint32_t outputSize);
int UnZip(void* window, const char* command, char* output, uint32_t outputSize);
int AnyArc(void* window, const char* command, char* output, uint32_t outputSize);

/* Sets the largest number of decompressed bytes one member may have (default
 * 4 GiB; the archive's total cap, see <Prefix>SetArchiveCap, may stop it earlier). The program sets it before each extraction to what its search may still
 * extract (see the README's "Archives"); a member that passes it fails with
 * ARCHIVER_TOO_LARGE and leaves no file. The program also works with a library
 * that lacks this entry. */
void UnlhaSetMemberSizeCap(uint64_t bytes);
void UnZipSetMemberSizeCap(uint64_t bytes);
void AnyArcSetMemberSizeCap(uint64_t bytes);

/* Not used by the program: sets the free space an extraction leaves on the file
 * system it writes to, in bytes; a member whose writing would leave less fails
 * with ARCHIVER_NO_ROOM. The free space is looked at whenever 1 MiB has been
 * written since the last look, or a second has passed, also across members written
 * into one folder. The default, ARCHIVER_DEFAULT_RESERVE, is 1 GiB or
 * a twentieth of the file system's size, whichever is smaller. For tests and
 * embedders. */
#define ARCHIVER_DEFAULT_RESERVE UINT64_MAX
void UnlhaSetFreeSpaceReserve(uint64_t bytes);
void UnZipSetFreeSpaceReserve(uint64_t bytes);
void AnyArcSetFreeSpaceReserve(uint64_t bytes);

/* Sets the folder that command lines' destinations are taken relative to: `folder`
 * is an open descriptor of a folder (O_DIRECTORY), or -1 for none (the default).
 * While one is set, the destination on a command line names a folder inside it:
 * "./" (or ".") is the folder itself, "./2/" its
 * sub-folder "2", made when missing; every step is taken relative to the
 * descriptor, never through a symbolic link, and an absolute destination or a ".."
 * step fails with ARCHIVER_UNSAFE_NAME. So the copies land in the very folder the
 * program holds open, even when its path has been renamed away and replaced by a
 * link meanwhile. The library neither closes nor keeps the descriptor: the program
 * sets it before a command and sets -1 after it. The program also works with a
 * library that lacks this entry (it then names the folder by its path). */
void UnlhaSetDestinationFolder(int folder);
void UnZipSetDestinationFolder(int folder);
void AnyArcSetDestinationFolder(int folder);

/* Sets the program's stop flag: `flag` points to an int that the program sets
 * nonzero, from any thread, to stop; NULL for none (the default). A command looks at
 * it (atomically) before it starts and before each piece of at most 64 KiB it
 * writes, so a stop ends an extraction within 64 KiB: the member being written fails
 * with ARCHIVER_STOPPED and leaves no file. The int must live until the flag is set
 * to NULL again: the program sets it before a command and NULL after it. The program
 * also works with a library that lacks this entry. */
void UnlhaSetStopFlag(const int* flag);
void UnZipSetStopFlag(const int* flag);
void AnyArcSetStopFlag(const int* flag);

/* Sets the most that all members of one archive may write together, counted from the
 * archive's last listing (OpenArchive) on, members that failed included: a member
 * that would pass it fails with ARCHIVER_OVER_ARCHIVE_CAP and leaves no file, and
 * nothing is written beyond the cap. The default, ARCHIVER_DEFAULT_ARCHIVE_CAP, is
 * the larger of 1 GiB and 100 times the archive file's size, so a small archive of
 * a huge, highly compressible member (a "bomb") writes at most 1 GiB. Not used by
 * the program: for tests and embedders. */
#define ARCHIVER_DEFAULT_ARCHIVE_CAP UINT64_MAX
void UnlhaSetArchiveCap(uint64_t bytes);
void UnZipSetArchiveCap(uint64_t bytes);
void AnyArcSetArchiveCap(uint64_t bytes);

#ifdef __cplusplus
}
#endif

#endif /* KOLBRIN_ARCHIVER_API_H */

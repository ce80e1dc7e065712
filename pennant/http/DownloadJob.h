// The resumable installer download: part and meta files in the download
// directory, a ranged GET for what is missing, the MD5 check and the rename
// to the installer's name. Runs on the download worker thread.
#pragma once

#include "app/Handles.h"
#include "http/HttpTasks.h"

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <string>

namespace pennant {

// Outcome of one worker run, posted as wParam of WM_DOWNLOAD_OVER.
enum DownloadResult : int32_t {
    DownloadReady = 0,
    DownloadFailedResult = 1,
    DownloadMd5Mismatch = 2,
    DownloadRenameFailed = 3,
    DownloadPaused = 4,
    DownloadConnectionBroken = 5,
    DownloadDiskFull = 6,
};

// The installer's three files in one directory. The one place that names
// them, for the download, the launch and the clean-up after the install.
struct InstallerFiles {
    std::string installer;  // directory\fname
    std::string part;       // installer + ".part"
    std::string meta;       // installer + ".meta"
};
InstallerFiles InstallerFilesIn(const std::string& directory, const std::string& fileName);
// The same in the download directory.
InstallerFiles InstallerFilesOf(const std::string& fileName);

// One run of the download; the worker keeps it on its stack.
struct DownloadJob {
    std::string url;
    std::string md5;
    std::string sha256;        // hex; empty when the task gave none
    std::string etag;          // from the start-up HEAD, empty if unknown
    int64_t lastModified = 0;  // from the start-up HEAD, 0 if unknown
    std::string fileName;      // installer name, no directory
    int64_t totalSize = 0;     // from the start-up HEAD, 0 if unknown
    int32_t result = DownloadReady;
};

// The whole job in the download directory; sets job.result. With
// DownloadReady and a `checkedInstaller` slot, the slot receives the
// installer whose MD5 (and SHA-256, when given) was checked and whose
// signature passed CheckInstallerTrust (a refusal is an MD5 mismatch), still open for reading with writes,
// renaming and deletion denied to everyone, so the bytes checked are the
// bytes started (others may read it, the installer itself included).
// After any other result the slot is empty. A notifier that reports
// cancellation stops the transfer and the MD5 pass alike (DownloadPaused).
void RunDownloadJob(DownloadJob& job, HttpLoadNotify* notify,
                    UniqueKernelHandle* checkedInstaller = nullptr);
// The same in another directory (no trailing backslash).
void RunDownloadJobIn(const std::string& directory, DownloadJob& job, HttpLoadNotify* notify,
                      UniqueKernelHandle* checkedInstaller = nullptr);

// 0 when the meta file names the same server version (etag ignoring case,
// lastModified) and, when `md5` is given, the file's MD5 matches; else -1.
int CheckFileAgainstMeta(const std::string& filePath, const std::string& metaPath,
                         const char* md5, const std::string& etag, int64_t lastModified);

// Writes "etag\nlastModified\n" in text mode into metaPath + ".new" and moves
// it over the meta file. 0, or -1 with the meta file as it was.
int WriteMetaFile(const std::string& metaPath, const std::string& etag, int64_t lastModified);

// 0 (enough space, or the free space is unknown), -1 (the part file cannot be
// examined or is larger than totalSize), -4 (not enough space).
int CheckDiskSpace(const std::string& partPath, int64_t totalSize);

// Download into the part file, restarting from zero when the server answers
// the range with 416 (a few times at most). A task result code.
int DownloadWithRetry(const std::string& requestUrl, const std::string& partPath,
                      HttpLoadNotify* notify);

// Restarts after 416 before the job gives up.
constexpr int MaxRangeRestarts = 3;

// 32 lower-case hex digits, or empty when the file cannot be read (an empty
// file included).
std::string FileMd5Hex(const std::string& path);

// The same through an open file (read access; its file pointer is not used).
// Empty as well when `notify` reports cancellation between two views.
std::string HandleMd5Hex(HANDLE file, HttpLoadNotify* notify = nullptr);

// Both digests of one pass over an open file, as lower-case hex.
struct FileDigests {
    std::string md5;
    std::string sha256;  // only when asked for
};
// False (digests empty) when the file cannot be hashed, an empty file
// included, or `notify` reports cancellation between two views.
bool HandleDigestsHex(HANDLE file, bool withSha256, FileDigests& digests,
                      HttpLoadNotify* notify = nullptr);

// 0 on a match (ignoring case); -1 when the file could not be hashed, 1 on a
// mismatch or when no digest is expected.
int CheckFileMd5(const std::string& path, const std::string& expected);
// The same through an open file; `path` names it in the log line. Stopped
// by `notify`: TaskCancelled, nothing logged.
int CheckHandleMd5(HANDLE file, const std::string& path, const std::string& expected,
                   HttpLoadNotify* notify = nullptr);
// The MD5 and, when `sha256` is not empty, the SHA-256 from the same pass;
// a SHA-256 mismatch is a mismatch (1) like the MD5's, logged the same way.
int CheckHandleDigests(HANDLE file, const std::string& path, const std::string& md5,
                       const std::string& sha256, HttpLoadNotify* notify = nullptr);

}  // namespace pennant

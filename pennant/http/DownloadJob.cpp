#include "http/DownloadJob.h"

#include "app/Codes.h"
#include "app/Directories.h"
#include "app/Handles.h"
#include "app/Log.h"
#include "app/Text.h"
#include "http/InstallerTrust.h"

#include <wincrypt.h>
#include <io.h>
#include <process.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iomanip>
#include <memory>
#include <sstream>

namespace pennant {
namespace {

int LastError() { return static_cast<int>(GetLastError()); }

// Fewer, larger views: each map and unmap is a round trip to the kernel
// (to the wineserver under Wine), and 4 MiB stays small in the address space.
constexpr DWORD Md5ViewSize = 4 * 1048576;

struct CryptProviderTraits {
    using Handle = HCRYPTPROV;
    static Handle Invalid() { return 0; }
    static bool Valid(Handle h) { return h != 0; }
    static void Close(Handle h) { CryptReleaseContext(h, 0); }
};
using UniqueCryptProvider = UniqueHandle<CryptProviderTraits>;

struct CryptHashTraits {
    using Handle = HCRYPTHASH;
    static Handle Invalid() { return 0; }
    static bool Valid(Handle h) { return h != 0; }
    static void Close(Handle h) { CryptDestroyHash(h); }
};
using UniqueCryptHash = UniqueHandle<CryptHashTraits>;

struct StdioFileTraits {
    using Handle = FILE*;
    static Handle Invalid() { return nullptr; }
    static bool Valid(Handle h) { return h != nullptr; }
    static void Close(Handle h) { fclose(h); }
};
using UniqueStdioFile = UniqueHandle<StdioFileTraits>;

// One line into a zeroed buffer without its line feed; false at end of file.
bool ReadMetaLine(FILE* file, char (&line)[1024]) {
    memset(line, 0, sizeof line);
    if (!fgets(line, sizeof line, file)) return false;
    size_t n = strlen(line);
    if (n > 0 && line[n - 1] == '\n') line[n - 1] = '\0';
    return true;
}

void DeleteOrLog(const std::string& path, const char* format) {
    if (!DeleteFileA(path.c_str())) Log(LogError, format, path.c_str(), LastError());
}

// 0 on a match (ignoring case); -1 when nothing was hashed, 1 on a mismatch
// or when no digest is expected; every mismatch is logged with the file's
// path. Never _stricmp's own difference: that may equal a task code (-3 is
// "cancelled") and turn a wrong installer into a paused download.
int CompareMd5(const std::string& actual, const std::string& path, const std::string& expected) {
    int result;
    if (actual.empty())
        result = -1;
    else if (expected.empty())
        result = 1;
    else
        result = _stricmp(actual.c_str(), expected.c_str()) == 0 ? 0 : 1;
    if (result != 0)
        Log(LogWarning, "md5 check failed for file %s, %s != %s", path.c_str(), actual.c_str(),
            expected.c_str());
    return result;
}

// The download folder is shared by every user of the machine: from its MD5
// check until the installer runs, the file is held open so that nobody can
// write, replace or delete it. Read access and read sharing only: installers
// commonly open their own image sharing nothing but reading, which a holder
// with DELETE access would refuse.
UniqueKernelHandle OpenHeld(const std::string& path) {
    return UniqueKernelHandle(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                          OPEN_EXISTING,
                                          FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN,
                                          nullptr));
}

bool StopRequested(HttpLoadNotify* notify) { return notify && notify->IsCancelled(); }

// The digests of the held installer, then its signer: 0 when it may run,
// TaskCancelled on a stop, otherwise a mismatch. A refused signature is
// handled as a wrong MD5 is, so the file judged is never started.
int CheckHeldInstaller(HANDLE installer, const std::string& path, const DownloadJob& job,
                       HttpLoadNotify* notify) {
    const int checked = CheckHandleDigests(installer, path, job.md5, job.sha256, notify);
    if (checked != 0) return checked;
    return CheckInstallerTrust(installer, path, ReadTrustedPublishers()) ? 0 : 1;
}

void StopPaused(DownloadJob& job) {
    job.result = DownloadPaused;
    Log(LogProgress, "user pause download");
}

}  // namespace

std::string FileMd5Hex(const std::string& path) {
    // Read once from start to end: the cache manager may read ahead and
    // drop what is behind.
    UniqueKernelHandle file(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                        OPEN_EXISTING,
                                        FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!file) return std::string();
    return HandleMd5Hex(file.Get());
}

std::string HandleMd5Hex(HANDLE file, HttpLoadNotify* notify) {
    FileDigests digests;
    return HandleDigestsHex(file, false, digests, notify) ? digests.md5 : std::string();
}

namespace {

std::string Hex(const BYTE* bytes, DWORD length) {
    static const char hex[] = "0123456789abcdef";
    std::string text;
    for (DWORD i = 0; i < length; ++i) {
        text += hex[bytes[i] >> 4];
        text += hex[bytes[i] & 15];
    }
    return text;
}

// The finished digest of `hash` as hex, or empty when it is not `length` bytes.
std::string HashHex(HCRYPTHASH hash, DWORD length) {
    BYTE digest[32] = {};
    DWORD digestLength = sizeof digest;
    if (!CryptGetHashParam(hash, HP_HASHVAL, digest, &digestLength, 0) || digestLength != length)
        return std::string();
    return Hex(digest, digestLength);
}

}  // namespace

bool HandleDigestsHex(HANDLE file, bool withSha256, FileDigests& digests,
                      HttpLoadNotify* notify) {
    digests = FileDigests();
    LARGE_INTEGER size = {};
    if (!GetFileSizeEx(file, &size)) return false;
    UniqueKernelHandle mapping(CreateFileMappingA(file, nullptr, PAGE_READONLY, 0, 0, nullptr));
    if (!mapping) return false;
    // The AES provider is the one that knows SHA-256; it knows MD5 as well,
    // so one provider serves both hashes of the one pass.
    UniqueCryptProvider provider;
    if (!CryptAcquireContextA(provider.Receive(), nullptr, nullptr, PROV_RSA_AES,
                              CRYPT_VERIFYCONTEXT | CRYPT_MACHINE_KEYSET))
        return false;
    UniqueCryptHash md5, sha256;
    if (!CryptCreateHash(provider.Get(), CALG_MD5, 0, 0, md5.Receive())) return false;
    if (withSha256 && !CryptCreateHash(provider.Get(), CALG_SHA_256, 0, 0, sha256.Receive()))
        return false;

    const uint64_t total = static_cast<uint64_t>(size.QuadPart);
    for (uint64_t offset = 0; offset < total; offset += Md5ViewSize) {
        // A large installer takes seconds to hash; a stop must not wait for it.
        if (StopRequested(notify)) return false;
        const DWORD length =
            static_cast<DWORD>(total - offset < Md5ViewSize ? total - offset : Md5ViewSize);
        UniqueMappedView view(MapViewOfFile(mapping.Get(), FILE_MAP_READ,
                                            static_cast<DWORD>(offset >> 32),
                                            static_cast<DWORD>(offset), length));
        if (!view) return false;
        const BYTE* bytes = static_cast<const BYTE*>(view.Get());
        if (!CryptHashData(md5.Get(), bytes, length, 0)) return false;
        if (withSha256 && !CryptHashData(sha256.Get(), bytes, length, 0)) return false;
    }

    digests.md5 = HashHex(md5.Get(), 16);
    if (withSha256) digests.sha256 = HashHex(sha256.Get(), 32);
    return !digests.md5.empty() && (!withSha256 || !digests.sha256.empty());
}

int CheckFileMd5(const std::string& path, const std::string& expected) {
    return CompareMd5(FileMd5Hex(path), path, expected);
}

int CheckHandleMd5(HANDLE file, const std::string& path, const std::string& expected,
                   HttpLoadNotify* notify) {
    return CheckHandleDigests(file, path, expected, std::string(), notify);
}

int CheckHandleDigests(HANDLE file, const std::string& path, const std::string& md5,
                       const std::string& sha256, HttpLoadNotify* notify) {
    FileDigests actual;
    if (!HandleDigestsHex(file, !sha256.empty(), actual, notify) && StopRequested(notify))
        return TaskCancelled;
    const int checked = CompareMd5(actual.md5, path, md5);
    if (checked != 0 || sha256.empty()) return checked;
    if (_stricmp(actual.sha256.c_str(), sha256.c_str()) == 0) return 0;
    Log(LogWarning, "sha256 check failed for file %s, %s != %s", path.c_str(),
        actual.sha256.c_str(), sha256.c_str());
    return 1;
}

int CheckFileAgainstMeta(const std::string& filePath, const std::string& metaPath,
                         const char* md5, const std::string& etag, int64_t lastModified) {
    if (metaPath.empty()) return -1;
    UniqueStdioFile meta(fopen(metaPath.c_str(), "rt"));
    if (!meta) {
        Log(LogError, "open meta file failed, meta data check failed!, errno = %d", LastError());
        return -1;
    }
    char line[1024];
    if (!ReadMetaLine(meta.Get(), line)) {
        Log(LogError, "get etag fields failed, etag check failed!");
        return -1;
    }
    if (_stricmp(line, etag.c_str()) != 0) {
        Log(LogError, "etag unmatch, %s != %s", line, etag.c_str());
        return -1;
    }
    if (!ReadMetaLine(meta.Get(), line)) {
        Log(LogError, "get last modify timestamp fields failed, time check failed!");
        return -1;
    }
    const int64_t stored = _atoi64(line);
    if (stored != lastModified) {
        Log(LogError, "time last modify unmatch, %lld != %lld", static_cast<long long>(stored),
            static_cast<long long>(lastModified));
        return -1;
    }
    if (md5 && CheckFileMd5(filePath, md5) != 0) return -1;
    Log(LogProgress, "file check : PASS");
    return 0;
}

int WriteMetaFile(const std::string& metaPath, const std::string& etag, int64_t lastModified) {
    // Written beside and moved over: a run ended in between (killed, power
    // gone) leaves the old meta file or the new one, never an empty one that
    // would condemn a good part file at the next start.
    const std::string temporary = metaPath + ".new";
    UniqueStdioFile meta(fopen(temporary.c_str(), "w"));
    if (!meta) {
        Log(LogError, "open meta file failed, meta data check failed!");
        return -1;
    }
    std::ostringstream first;
    first << etag << "\n";
    fputs(first.str().c_str(), meta.Get());
    std::ostringstream second;
    second << lastModified << "\n";
    fputs(second.str().c_str(), meta.Get());
    const bool written =
        fflush(meta.Get()) == 0 && !ferror(meta.Get()) &&
        FlushFileBuffers(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(meta.Get()))));
    const bool closed = fclose(meta.Release()) == 0;
    if (!written || !closed ||
        !MoveFileExA(temporary.c_str(), metaPath.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        const DWORD error = GetLastError();
        DeleteFileA(temporary.c_str());
        SetLastError(error);  // for the caller's log line
        return -1;
    }
    return 0;
}

int CheckDiskSpace(const std::string& partPath, int64_t totalSize) {
    UniqueKernelHandle file(CreateFileA(partPath.c_str(), GENERIC_READ,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                        FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        Log(LogError, "create file %s failed, errno = %d", partPath.c_str(), LastError());
        return -1;
    }
    LONG high = 0;
    SetLastError(0);
    DWORD low = SetFilePointer(file.Get(), 0, &high, FILE_END);
    if (low == INVALID_SET_FILE_POINTER && GetLastError() != 0) {
        Log(LogError, "SetFilePointer failed, errno = %d", LastError());
        return -1;
    }
    const int64_t size = (static_cast<int64_t>(high) << 32) | low;
    if (size > totalSize) {
        Log(LogError, "part file size large than total, %lld > %lld", static_cast<long long>(size),
            static_cast<long long>(totalSize));
        return -1;
    }
    const int64_t need = totalSize - size;

    const size_t slash = partPath.find_last_of('\\');
    const std::string directory = slash == std::string::npos ? partPath : partPath.substr(0, slash);
    ULARGE_INTEGER available = {};
    if (!GetDiskFreeSpaceExA(directory.c_str(), &available, nullptr, nullptr)) {
        Log(LogError, "GetDiskFreeSpaceEx failed, errno = %d", LastError());
        return 0;
    }
    const int64_t free = static_cast<int64_t>(available.QuadPart);
    if (need > free) {
        Log(LogWarning, "disk free space not enough, need %lld, free %lld",
            static_cast<long long>(need), static_cast<long long>(free));
        return -4;
    }
    Log(LogProgress, "disk free space check : PASS, need %s, free %s", FormatSize(need).c_str(),
        FormatSize(free).c_str());
    return 0;
}

int DownloadWithRetry(const std::string& requestUrl, const std::string& partPath,
                      HttpLoadNotify* notify) {
    HttpDownloader downloader(notify);
    int result = downloader.Open(AnsiToWide(requestUrl));
    if (result < 0) return result;

    for (int restarts = 0;; ++restarts) {
        DWORD status = 0;
        result = downloader.Download(partPath, &status);
        // A range the server cannot satisfy, ignores or answers from another
        // offset all mean the same: the part file cannot be continued.
        const bool refused = status == 416 || downloader.RangeRefused();
        if (result != TaskFailed || !refused) return result;
        // A server that keeps refusing even the whole file would otherwise
        // keep this thread busy for ever.
        if (restarts == MaxRangeRestarts) {
            Log(LogError, "http response status %lu after %d restarts, give up", status, restarts);
            return TaskFailed;
        }
        if (status == 416)
            Log(LogWarning, "http response status 416, remove part file and retry !");
        else
            Log(LogWarning, "range request not honoured, remove part file and retry !");
        if (!DeleteFileA(partPath.c_str())) {
            Log(LogError, "delete download file %s failed, errno = %d", partPath.c_str(),
                LastError());
            return TaskFailed;
        }
    }
}

InstallerFiles InstallerFilesIn(const std::string& directory, const std::string& fileName) {
    InstallerFiles files;
    files.installer = directory + "\\" + fileName;
    files.part = files.installer + ".part";
    files.meta = files.installer + ".meta";
    return files;
}

InstallerFiles InstallerFilesOf(const std::string& fileName) {
    return InstallerFilesIn(GetDownloadDirectory(), fileName);
}

namespace {

// The task's MD5 is the installer's identity, whatever the server said at
// start-up (a failed HEAD says nothing). True when the job is over: a
// verified installer is ready (and held), or a stop came during the check.
// An installer that does not match is deleted.
bool ReuseInstaller(const InstallerFiles& files, DownloadJob& job, HttpLoadNotify* notify,
                    UniqueKernelHandle* checkedInstaller) {
    if (_access(files.installer.c_str(), 0) != 0) return false;
    UniqueKernelHandle installer = OpenHeld(files.installer);
    const int checked = CheckHeldInstaller(installer.Get(), files.installer, job, notify);
    if (checked == TaskCancelled) {
        StopPaused(job);
        return true;
    }
    if (checked == 0) {
        Log(LogProgress, "file check : PASS");
        job.result = DownloadReady;
        if (checkedInstaller) *checkedInstaller = std::move(installer);
        return true;
    }
    installer.Reset();
    Log(LogWarning, "install file can NOT pass check, remove it !");
    DeleteOrLog(files.installer, "delete install file %s failed, errno = %d");
    return false;
}

// Part and meta file are judged only against a server identity that is
// known; without one they stay as they are and the MD5 decides later.
void ReconcilePartAndMeta(const InstallerFiles& files, const DownloadJob& job) {
    const bool serverKnown = !job.etag.empty() || job.lastModified != 0;
    if (!serverKnown) {
        Log(LogWarning, "server identity unknown, part and meta files kept as they are");
        return;
    }
    if (_access(files.part.c_str(), 0) == 0 &&
        CheckFileAgainstMeta(files.part, files.meta, nullptr, job.etag, job.lastModified) != 0) {
        Log(LogWarning, "part file can not pass check, remove it !");
        DeleteOrLog(files.part, "delete download file %s failed, errno = %d");
    }
    if (WriteMetaFile(files.meta, job.etag, job.lastModified) != 0)
        Log(LogError, "update meta file failed, errno = %d", LastError());
}

// Brings the part file to the whole size. False when the job ended here
// (its result set): no room, a stop, a broken connection, a failure.
bool FetchPart(const InstallerFiles& files, DownloadJob& job, HttpLoadNotify* notify) {
    // A part file that already holds the whole size needs no request: the
    // last run ended during the MD5 check or the rename.
    WIN32_FILE_ATTRIBUTE_DATA part = {};
    const bool complete =
        job.totalSize > 0 &&
        GetFileAttributesExA(files.part.c_str(), GetFileExInfoStandard, &part) &&
        (static_cast<int64_t>(part.nFileSizeHigh) << 32 | part.nFileSizeLow) == job.totalSize;
    if (complete) {
        Log(LogProgress, "part file holds all %lld bytes, no request",
            static_cast<long long>(job.totalSize));
        return true;
    }
    if (job.totalSize > 0 && CheckDiskSpace(files.part, job.totalSize) == -4) {
        job.result = DownloadDiskFull;
        return false;
    }
    // A signed URL stays valid only when its own query is kept intact.
    const char* joint = job.url.find('?') == std::string::npos ? "?skq=" : "&skq=";
    const std::string requestUrl = job.url + joint + std::to_string(GetTickCount());
    const int r = DownloadWithRetry(requestUrl, files.part, notify);
    if (r == TaskCancelled) {
        StopPaused(job);
    } else if (r == TaskUnreachable) {
        job.result = DownloadConnectionBroken;
        Log(LogProgress, "connection break detected");
    } else if (r < 0) {
        job.result = DownloadFailedResult;
        Log(LogProgress, "download failed");
    } else {
        Log(LogProgress, "download OK");
    }
    return r >= 0;
}

// Renamed by path first: the hold that follows denies renaming. The bytes
// hashed through the held handle are then the bytes that run.
void RenameHoldAndHash(const InstallerFiles& files, DownloadJob& job, HttpLoadNotify* notify,
                       UniqueKernelHandle* checkedInstaller) {
    if (!MoveFileExA(files.part.c_str(), files.installer.c_str(), MOVEFILE_REPLACE_EXISTING)) {
        Log(LogError,
            "move downloading file to install file failed, errno = %d, try using temp files",
            LastError());
        job.result = DownloadRenameFailed;
        return;
    }
    UniqueKernelHandle installer = OpenHeld(files.installer);
    const int checked = CheckHeldInstaller(installer.Get(), files.installer, job, notify);
    if (checked == 0) {
        job.result = DownloadReady;
        if (checkedInstaller) *checkedInstaller = std::move(installer);
    } else if (checked == TaskCancelled) {
        // Kept: the next run checks the installer's MD5 before it trusts it.
        StopPaused(job);
    } else {
        installer.Reset();
        DeleteOrLog(files.installer, "delete download file %s failed, errno = %d");
        job.result = DownloadMd5Mismatch;
    }
}

}  // namespace

void RunDownloadJobIn(const std::string& directory, DownloadJob& job, HttpLoadNotify* notify,
                      UniqueKernelHandle* checkedInstaller) {
    if (checkedInstaller) checkedInstaller->Reset();
    const InstallerFiles files = InstallerFilesIn(directory, job.fileName);
    if (ReuseInstaller(files, job, notify, checkedInstaller)) return;
    ReconcilePartAndMeta(files, job);
    if (!FetchPart(files, job, notify)) return;
    RenameHoldAndHash(files, job, notify, checkedInstaller);
}

void RunDownloadJob(DownloadJob& job, HttpLoadNotify* notify,
                    UniqueKernelHandle* checkedInstaller) {
    RunDownloadJobIn(GetDownloadDirectory(), job, notify, checkedInstaller);
}

}  // namespace pennant

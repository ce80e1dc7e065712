// Benchmark helper for bench/download: times the installer download job
// (transfer, flushes, log, MD5 and rename) or FileMd5Hex alone, and reports
// the process's peak working set.
//   download_job.exe job <url> <directory> <md5>
//   download_job.exe md5 <file>
//   download_job.exe trust <file> <publisher>   (the signature check alone)
//   download_job.exe digests <file>   (MD5 and SHA-256 in one pass, as with a task's sha256)
#include "app/Handles.h"
#include "app/Log.h"
#include "app/Text.h"
#include "http/DownloadJob.h"
#include "http/InstallerTrust.h"

#include <windows.h>
#include <psapi.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

double Now() {
    LARGE_INTEGER frequency, counter;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&counter);
    return static_cast<double>(counter.QuadPart) / static_cast<double>(frequency.QuadPart);
}

unsigned long long PeakWorkingSet() {
    PROCESS_MEMORY_COUNTERS counters = {};
    counters.cb = sizeof counters;
    GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters);
    return counters.PeakWorkingSetSize;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 5 && strcmp(argv[1], "job") == 0) {
        pennant::SetLogBaseName("bench_download_log");
        pennant::OpenLog(true);
        pennant::DownloadJob job;
        job.url = argv[2];
        job.md5 = argv[4];
        job.fileName = "bench-installer.bin";
        uint64_t size = 0;
        pennant::QueryResourceInfo(job.url, &size, &job.etag, &job.lastModified);
        job.totalSize = static_cast<int64_t>(size);
        const double start = Now();
        pennant::RunDownloadJobIn(argv[3], job, nullptr);
        const double seconds = Now() - start;
        pennant::CloseLog();
        printf("result %d seconds %.3f bytes %llu peak %llu\n", static_cast<int>(job.result),
               seconds, static_cast<unsigned long long>(size), PeakWorkingSet());
        return job.result;
    }
    if (argc == 5 && strcmp(argv[1], "parts") == 0) {
        // The job's two halves timed apart: transfer into the part file, MD5.
        if (strcmp(argv[4], "log") == 0) {
            pennant::SetLogBaseName("bench_download_log");
            pennant::OpenLog(true);
        }
        const std::string part = std::string(argv[3]) + "\\parts.part";
        const double start = Now();
        const int result = pennant::DownloadWithRetry(argv[2], part, nullptr);
        const double transferred = Now();
        const std::string digest = pennant::FileMd5Hex(part);
        printf("result %d transfer %.3f md5 %.3f\n", result, transferred - start,
               Now() - transferred);
        return result;
    }
    if (argc == 2 && strcmp(argv[1], "logcost") == 0) {
        // What one detail record costs, and the debugger copy inside it.
        pennant::SetLogBaseName("bench_download_log");
        pennant::OpenLog(true);
        const int n = 20000;
        double start = Now();
        for (int i = 0; i < n; ++i) pennant::Log(pennant::LogDetail, "read %d", i);
        const double perRecord = (Now() - start) / n;
        start = Now();
        for (int i = 0; i < n; ++i) OutputDebugStringA("read 163840\n");
        const double perDebug = (Now() - start) / n;
        pennant::CloseLog();
        printf("log record %.1f us, OutputDebugStringA %.1f us\n", perRecord * 1e6, perDebug * 1e6);
        return 0;
    }
    if (argc == 3 && strcmp(argv[1], "md5") == 0) {
        const double start = Now();
        const std::string digest = pennant::FileMd5Hex(argv[2]);
        printf("md5 %s seconds %.3f peak %llu\n", digest.c_str(), Now() - start, PeakWorkingSet());
        return digest.empty() ? 1 : 0;
    }
    if (argc == 3 && strcmp(argv[1], "digests") == 0) {
        pennant::UniqueKernelHandle file(CreateFileA(argv[2], GENERIC_READ, FILE_SHARE_READ, nullptr,
                                                     OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN,
                                                     nullptr));
        pennant::FileDigests digests;
        const double start = Now();
        const bool hashed = pennant::HandleDigestsHex(file.Get(), true, digests);
        printf("sha256 %s seconds %.3f\n", digests.sha256.c_str(), Now() - start);
        return hashed ? 0 : 1;
    }
    if (argc == 4 && strcmp(argv[1], "trust") == 0) {
        // As the job holds the installer once its digests have passed.
        pennant::UniqueKernelHandle file(CreateFileA(argv[2], GENERIC_READ, FILE_SHARE_READ, nullptr,
                                                     OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN,
                                                     nullptr));
        pennant::TrustedPublishers publishers;
        publishers.names.push_back(pennant::AnsiToWide(argv[3]));
        const double start = Now();
        const bool trusted = pennant::CheckInstallerTrust(file.Get(), argv[2], publishers);
        printf("trusted %d seconds %.3f peak %llu\n", trusted ? 1 : 0, Now() - start,
               PeakWorkingSet());
        return trusted ? 0 : 1;
    }
    fprintf(stderr, "usage: download_job job <url> <dir> <md5> | md5 <file> | trust <file> <publisher> | digests <file>\n");
    return 2;
}

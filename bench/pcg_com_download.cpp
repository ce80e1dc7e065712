// One download through Parcelgate.dll as a client sees it: from the DownLoad
// call to OnFinish (GET, body on its way to disk, target file in place), plus
// the process's working set while idle (DLL loaded, transfer object made)
// and at its peak, so the memory the download path costs shows.
//   pcg_com_download <url> <file> [rounds]
// Prints "round N: <bytes> bytes in <s> s, <x> MB/s" per round, then
// "working set: idle <bytes> peak <bytes>".
#include <windows.h>
#include <psapi.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "PcgComClient.h"

using namespace testing_support;

namespace {

PROCESS_MEMORY_COUNTERS Memory() {
    PROCESS_MEMORY_COUNTERS memory = {};
    memory.cb = sizeof memory;
    GetProcessMemoryInfo(GetCurrentProcess(), &memory, sizeof memory);
    return memory;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: pcg_com_download <url> <file> [rounds]\n");
        return 2;
    }
    const std::string url = argv[1];
    const std::string file = argv[2];
    const int rounds = argc > 3 ? std::atoi(argv[3]) : 1;
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    int status = 0;
    {
        ServerDll dll;
        ComPtr<INetFileTrans> trans = dll.Create<INetFileTrans>(CLSID_NetFileTrans);
        if (!trans) {
            std::fprintf(stderr, "cannot create NetFileTrans\n");
            return 1;
        }
        const SIZE_T idle = Memory().WorkingSetSize;
        LARGE_INTEGER frequency;
        QueryPerformanceFrequency(&frequency);
        for (int round = 0; round < rounds && status == 0; ++round) {
            ComPtr<RecordingSink> sink = Adopt(new RecordingSink());
            trans->put_Progress(sink.Get());
            LARGE_INTEGER start, end;
            QueryPerformanceCounter(&start);
            VARIANT_BOOL started = VARIANT_FALSE;
            trans->DownLoad(Bstr(url).Get(), Bstr(file).Get(), &started);
            if (!started || !sink->Wait(1800000) || sink->Names().back() != "OnFinish") {
                std::fprintf(stderr, "download failed\n");
                status = 1;
                break;
            }
            QueryPerformanceCounter(&end);
            double seconds = static_cast<double>(end.QuadPart - start.QuadPart) / static_cast<double>(frequency.QuadPart);
            long long size = FileSize(file);
            std::printf("round %d: %lld bytes in %.3f s, %.1f MB/s\n", round + 1, size, seconds,
                        static_cast<double>(size) / seconds / 1e6);
        }
        std::printf("working set: idle %llu peak %llu\n", static_cast<unsigned long long>(idle),
                    static_cast<unsigned long long>(Memory().PeakWorkingSetSize));
    }
    CoUninitialize();
    return status;
}

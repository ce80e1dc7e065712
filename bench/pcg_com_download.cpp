// End-to-end download through Parcelgate.dll as a client sees it: from the
// DownLoad call to OnFinish (GET, body in memory, file written), plus the
// process's peak working set, which shows the body held in memory.
//   pcg_com_download <url> <file> [rounds]
#include <windows.h>
#include <psapi.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "PcgComClient.h"

using namespace testing_support;

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: pcg_com_download <url> <file> [rounds]\n");
        return 2;
    }
    const std::string url = argv[1];
    const std::string file = argv[2];
    const int rounds = argc > 3 ? std::atoi(argv[3]) : 3;
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    int status = 0;
    {
        ServerDll dll;
        ComPtr<INetFileTrans> trans = dll.Create<INetFileTrans>(CLSID_NetFileTrans);
        if (!trans) {
            std::fprintf(stderr, "cannot create NetFileTrans\n");
            return 1;
        }
        LARGE_INTEGER frequency;
        QueryPerformanceFrequency(&frequency);
        for (int round = 0; round < rounds && status == 0; ++round) {
            ComPtr<RecordingSink> sink = Adopt(new RecordingSink());
            trans->put_Progress(sink.Get());
            LARGE_INTEGER start, end;
            QueryPerformanceCounter(&start);
            VARIANT_BOOL started = VARIANT_FALSE;
            trans->DownLoad(Bstr(url).Get(), Bstr(file).Get(), &started);
            if (!started || !sink->Wait(600000) || sink->Names().back() != "OnFinish") {
                std::fprintf(stderr, "download failed\n");
                status = 1;
                break;
            }
            QueryPerformanceCounter(&end);
            double seconds = static_cast<double>(end.QuadPart - start.QuadPart) / static_cast<double>(frequency.QuadPart);
            long long size = FileSize(file);
            std::printf("  round %d: %lld bytes in %.3f s, %.1f MB/s\n", round + 1, size, seconds,
                        static_cast<double>(size) / seconds / 1e6);
        }
        PROCESS_MEMORY_COUNTERS memory = {};
        memory.cb = sizeof memory;
        if (GetProcessMemoryInfo(GetCurrentProcess(), &memory, sizeof memory))
            std::printf("  peak working set: %.1f MB\n", static_cast<double>(memory.PeakWorkingSetSize) / 1e6);
    }
    CoUninitialize();
    return status;
}

// Throughput of the Parcelgate HTTP session: GET of a URL (the body handed
// to a sink that only counts it: the receive path without a disk) and POST
// of a body of the same size.
//   pcg_http_bench <get-url> [rounds] [post-url]
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "http/HttpSession.h"

namespace {

class CountingSink : public pcg::BodySink {
public:
    bool Write(const char*, size_t size) override {
        bytes += size;
        return true;
    }
    size_t bytes = 0;
};

double Seconds(LARGE_INTEGER from, LARGE_INTEGER to) {
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(to.QuadPart - from.QuadPart) / static_cast<double>(frequency.QuadPart);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: pcg_http_bench <get-url> [rounds] [post-url]\n");
        return 2;
    }
    const std::string url = argv[1];
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 3;
    size_t size = 0;
    pcg::HttpSession session;
    for (int round = 0; round < rounds; ++round) {
        session.Clear();
        CountingSink body;
        LARGE_INTEGER start, end;
        QueryPerformanceCounter(&start);
        if (!session.SendRequest("GET", url, &body)) {
            std::fprintf(stderr, "GET failed: %s\n", pcg::HttpErrorName(session.LastError()));
            return 1;
        }
        QueryPerformanceCounter(&end);
        size = body.bytes;
        std::printf("GET  %d: %zu bytes in %.3f s = %.1f MB/s (status %d)\n", round, size, Seconds(start, end),
                    static_cast<double>(size) / 1e6 / Seconds(start, end), session.ResultCode());
    }
    if (argc > 3) {
        const std::string body(size, 'p');
        for (int round = 0; round < rounds; ++round) {
            session.Clear();
            session.SetMimeType("application/octet-stream");
            session.Document().Assign(body);
            LARGE_INTEGER start, end;
            QueryPerformanceCounter(&start);
            if (!session.SendRequest("POST", argv[3])) {
                std::fprintf(stderr, "POST failed: %s\n", pcg::HttpErrorName(session.LastError()));
                return 1;
            }
            QueryPerformanceCounter(&end);
            std::printf("POST %d: %zu bytes in %.3f s = %.1f MB/s (status %d)\n", round, body.size(),
                        Seconds(start, end), static_cast<double>(body.size()) / 1e6 / Seconds(start, end),
                        session.ResultCode());
        }
    }
    return 0;
}

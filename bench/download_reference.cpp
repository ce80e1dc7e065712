// The floor for bench/download: the least a WinHTTP download can do on this
// platform. One GET, 163840-byte reads each written and flushed, then a plain
// CryptoAPI MD5 of the file read in 1 MiB blocks. No checks, no log.
//   download_reference.exe <host> <port> <path> <file>
#include <windows.h>
#include <wincrypt.h>
#include <winhttp.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

double Now() {
    LARGE_INTEGER frequency, counter;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&counter);
    return static_cast<double>(counter.QuadPart) / static_cast<double>(frequency.QuadPart);
}

std::wstring Wide(const char* text) {
    std::string narrow(text);
    return std::wstring(narrow.begin(), narrow.end());
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5) {
        fprintf(stderr, "usage: download_reference <host> <port> <path> <file>\n");
        return 2;
    }
    const double start = Now();
    HINTERNET session = WinHttpOpen(L"reference", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY,
                                    WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
    HINTERNET connection = WinHttpConnect(session, Wide(argv[1]).c_str(),
                                          static_cast<INTERNET_PORT>(atoi(argv[2])), 0);
    HINTERNET request = WinHttpOpenRequest(connection, L"GET", Wide(argv[3]).c_str(), nullptr,
                                           WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES, 0);
    if (!request || !WinHttpSendRequest(request, WINHTTP_NO_ADDITIONAL_HEADERS, 0, nullptr, 0, 0, 0) ||
        !WinHttpReceiveResponse(request, nullptr)) {
        fprintf(stderr, "request failed: %lu\n", GetLastError());
        return 1;
    }
    HANDLE file = CreateFileA(argv[4], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    std::vector<char> buffer(163840);
    unsigned long long total = 0;
    for (;;) {
        DWORD got = 0, written = 0;
        if (!WinHttpReadData(request, buffer.data(), static_cast<DWORD>(buffer.size()), &got) ||
            got == 0)
            break;
        WriteFile(file, buffer.data(), got, &written, nullptr);
        FlushFileBuffers(file);
        total += got;
    }
    CloseHandle(file);
    WinHttpCloseHandle(request);
    WinHttpCloseHandle(connection);
    WinHttpCloseHandle(session);
    const double transferred = Now();

    HCRYPTPROV provider = 0;
    HCRYPTHASH hash = 0;
    CryptAcquireContextA(&provider, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT);
    CryptCreateHash(provider, CALG_MD5, 0, 0, &hash);
    file = CreateFileA(argv[4], GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
    std::vector<BYTE> block(1 << 20);
    DWORD got = 0;
    while (ReadFile(file, block.data(), static_cast<DWORD>(block.size()), &got, nullptr) && got > 0)
        CryptHashData(hash, block.data(), got, 0);
    CloseHandle(file);
    BYTE digest[16];
    DWORD length = sizeof digest;
    CryptGetHashParam(hash, HP_HASHVAL, digest, &length, 0);
    CryptDestroyHash(hash);
    CryptReleaseContext(provider, 0);
    const double end = Now();

    printf("bytes %llu transfer %.3f md5 %.3f seconds %.3f digest ", total, transferred - start,
           end - transferred, end - start);
    for (BYTE b : digest) printf("%02x", b);
    printf("\n");
    return 0;
}

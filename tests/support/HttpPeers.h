// Helpers for suites that talk to the HTTP peers of with_peers.py: nginx
// (--nginx), the fault server (--fault), Python's http.server (--plain), the
// feedback recorder (--feedback), the chunk server (--chunks) and the small
// tmpfs (--tmpfs). Paths and ports come from the environment.
#pragma once

#include "TestFiles.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace testing_support {

inline std::string Env(const char* name) {
    const char* value = getenv(name);
    return value ? value : "";
}

// http://127.0.0.1:<nginx>/<name>
inline std::string NginxUrl(const std::string& name) {
    return "http://127.0.0.1:" + Env("HTTP_NGINX_PORT") + "/" + name;
}

// http://127.0.0.1:<fault>/f/<options>/<name>; options "-" for none.
inline std::string FaultUrl(const std::string& options, const std::string& name) {
    return "http://127.0.0.1:" + Env("HTTP_FAULT_PORT") + "/f/" + options + "/" + name;
}

inline std::string FaultPath(const std::string& path) {
    return "http://127.0.0.1:" + Env("HTTP_FAULT_PORT") + path;
}

// http://127.0.0.1:<plain>/<name>: no Range, no ETag.
inline std::string PlainUrl(const std::string& name) {
    return "http://127.0.0.1:" + Env("HTTP_PLAIN_PORT") + "/" + name;
}

inline std::string PlainFile(const std::string& name) {
    return Env("HTTP_PLAIN_ROOT") + "\\" + name;
}

// http://127.0.0.1:<chunks>/up/<options>/<name>; options "-" for none.
inline std::string ChunkUrl(const std::string& options, const std::string& name) {
    return "http://127.0.0.1:" + Env("PCG_CHUNK_PORT") + "/up/" + options + "/" + name;
}

// Where the chunk server puts a file once all of it has arrived.
inline std::string ChunkFile(const std::string& name) {
    return Env("PCG_CHUNK_ROOT") + "\\" + name;
}

inline std::string NginxFile(const std::string& name) {
    return Env("HTTP_NGINX_ROOT") + "\\" + name;
}

// https://localhost:<port>/<name> of peer --nginx-tls (localhost: Wine
// matches a certificate's DNS names only); every port serves the same files.
inline std::string HttpsNginxUrl(const std::string& name, const char* portEnv = "HTTPS_NGINX_PORT") {
    return "https://localhost:" + Env(portEnv) + "/" + name;
}

inline std::string HttpsNginxFile(const std::string& name) {
    return Env("HTTPS_NGINX_ROOT") + "\\" + name;
}

inline std::string FaultFile(const std::string& name) {
    return Env("HTTP_FAULT_ROOT") + "\\" + name;
}

// Deterministic bytes that differ per seed and never repeat with a short period.
inline std::string Pattern(size_t size, uint32_t seed = 1) {
    std::string bytes(size, '\0');
    uint32_t x = seed * 2654435761u + 12345u;
    for (size_t i = 0; i < size; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        bytes[i] = static_cast<char>(x);
    }
    return bytes;
}

// Sets a file's modification time to a Unix time, which nginx and the fault
// server turn into Last-Modified (and nginx into its ETag).
inline void SetUnixMTime(const std::string& path, int64_t unixTime) {
    HANDLE file = CreateFileA(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    ULONGLONG ticks = static_cast<ULONGLONG>(unixTime) * 10000000ull + 116444736000000000ull;
    FILETIME ft = {static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
    SetFileTime(file, nullptr, nullptr, &ft);
    CloseHandle(file);
}

// Every request a recording peer saw, oldest first, head and body raw.
inline std::vector<std::string> RecordedRequests(const std::string& directoryEnv) {
    const std::string directory = Env(directoryEnv.c_str());
    std::vector<std::string> names;
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((directory + "\\*.req").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do names.push_back(found.cFileName);
        while (FindNextFileA(search, &found));
        FindClose(search);
    }
    std::sort(names.begin(), names.end());
    std::vector<std::string> requests;
    for (const auto& name : names) requests.push_back(ReadFile(directory + "\\" + name));
    return requests;
}

inline void ForgetRecordedRequests(const std::string& directoryEnv) {
    const std::string directory = Env(directoryEnv.c_str());
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((directory + "\\*.req").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return;
    do DeleteFileA((directory + "\\" + found.cFileName).c_str());
    while (FindNextFileA(search, &found));
    FindClose(search);
}

// Empties nginx's access log and the fault server's request records, so a
// test sees only its own traffic even when several run against one peer.
inline void ForgetPeerHistory() {
    const std::string access = Env("HTTP_NGINX_ACCESS_LOG");
    if (!access.empty()) WriteFile(access, "");
    ForgetRecordedRequests("HTTP_FAULT_REQUESTS");
    ForgetRecordedRequests("HTTP_FEEDBACK_REQUESTS");
    ForgetRecordedRequests("PCG_CHUNK_REQUESTS");
}

// Makes every test of the executable start with empty peer records; call
// once at namespace scope: `const bool reset = ResetPeersBeforeEachTest();`.
inline bool ResetPeersBeforeEachTest() {
    class Listener : public ::testing::EmptyTestEventListener {
        void OnTestStart(const ::testing::TestInfo&) override { ForgetPeerHistory(); }
    };
    ::testing::UnitTest::GetInstance()->listeners().Append(new Listener);
    return true;
}

// nginx's access log: "<method> <uri> <status> <bytes> \"<range>\"" per line.
inline std::vector<std::string> NginxAccessLines(const char* logEnv = "HTTP_NGINX_ACCESS_LOG") {
    return Lines(ReadFile(Env(logEnv)));
}

inline size_t CountContaining(const std::vector<std::string>& lines, const std::string& part) {
    return static_cast<size_t>(std::count_if(lines.begin(), lines.end(), [&](const auto& line) {
        return line.find(part) != std::string::npos;
    }));
}

}  // namespace testing_support

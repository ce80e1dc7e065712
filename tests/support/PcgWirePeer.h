// Test side of the Parcelgate HTTP peers (peer_pcg_wire.py, peer_pcg_proxy.py):
// scripting their answers and reading the requests they recorded, over their
// control ports with plain Winsock (not the client under test).
#pragma once

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <wincrypt.h>

#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "TestFiles.h"

namespace pcg_testing {

inline std::string EnvText(const char* name) {
    const char* value = getenv(name);
    return value ? value : "";
}

// One scripted answer of a peer (see peer_pcg_wire.py).
struct Action {
    std::string send;          // answer bytes; empty with useDefault: the peer's 200 "ok"
    bool useDefault = false;
    int piece = 0;             // send in pieces of this size ...
    int gapMs = 0;             // ... this far apart
    int delayMs = 0;
    std::string read;          // "head" to leave the request body unread
    std::string then;          // keep, close, hang, endless_header, endless_body

    static Action Answer(const std::string& bytes, const std::string& then = "keep") {
        Action action;
        action.send = bytes;
        action.then = then;
        return action;
    }
    static Action Then(const std::string& then) {
        Action action;
        action.useDefault = true;
        action.then = then;
        return action;
    }
};

struct Recorded {
    int connection = 0;   // 1, 2, ... in the order the peer accepted them
    std::string raw;      // request head and body as received
};

class PeerControl {
public:
    // portVariable: "PCG_WIRE_CONTROL" or "PCG_PROXY_CONTROL".
    explicit PeerControl(const char* portVariable) : port_(EnvText(portVariable)) {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
    }
    ~PeerControl() { WSACleanup(); }
    PeerControl(const PeerControl&) = delete;
    PeerControl& operator=(const PeerControl&) = delete;

    bool Available() const { return !port_.empty(); }

    void Plan(const std::vector<Action>& actions) {
        std::string json = "[";
        for (size_t i = 0; i < actions.size(); ++i) {
            const Action& a = actions[i];
            if (i) json += ",";
            json += "{";
            std::string sep;
            if (!a.useDefault) json += sep + "\"send\":\"" + testing_support::EncodeBase64(a.send) + "\"", sep = ",";
            if (a.piece) json += sep + "\"piece\":" + std::to_string(a.piece), sep = ",";
            if (a.gapMs) json += sep + "\"gap_ms\":" + std::to_string(a.gapMs), sep = ",";
            if (a.delayMs) json += sep + "\"delay_ms\":" + std::to_string(a.delayMs), sep = ",";
            if (!a.read.empty()) json += sep + "\"read\":\"" + a.read + "\"", sep = ",";
            if (!a.then.empty()) json += sep + "\"then\":\"" + a.then + "\"", sep = ",";
            json += "}";
        }
        json += "]";
        Command("PLAN " + testing_support::EncodeBase64(json));
    }

    void Reset() { Command("RESET"); }
    void RequireProxyAuthorization(const std::string& value) { Command("AUTH " + value); }

    std::vector<Recorded> Log() {
        std::vector<Recorded> requests;
        std::istringstream in(Command("LOG"));
        std::string line;
        while (std::getline(in, line) && line != ".") {
            size_t blank = line.find(' ');
            Recorded request;
            request.connection = std::atoi(line.substr(0, blank).c_str());
            request.raw = DecodeBase64(line.substr(blank + 1));
            requests.push_back(request);
        }
        return requests;
    }

    // Sends one command line; returns the whole reply.
    std::string Command(const std::string& line) {
        std::string reply;
        SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        if (s == INVALID_SOCKET) return reply;
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<u_short>(std::atoi(port_.c_str())));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
            std::string data = line + "\n";
            send(s, data.data(), static_cast<int>(data.size()), 0);
            char buffer[65536];
            for (;;) {
                int got = recv(s, buffer, sizeof buffer, 0);
                if (got <= 0) break;
                reply.append(buffer, static_cast<size_t>(got));
            }
        }
        closesocket(s);
        return reply;
    }

private:
    // The peer sends each recorded request as one Base64 line.
    static std::string DecodeBase64(const std::string& text) {
        DWORD size = 0;
        if (!CryptStringToBinaryA(text.c_str(), static_cast<DWORD>(text.size()), CRYPT_STRING_BASE64,
                                  nullptr, &size, nullptr, nullptr))
            return std::string();
        std::string out(size, '\0');
        if (!CryptStringToBinaryA(text.c_str(), static_cast<DWORD>(text.size()), CRYPT_STRING_BASE64,
                                  reinterpret_cast<BYTE*>(&out[0]), &size, nullptr, nullptr))
            return std::string();
        out.resize(size);
        return out;
    }

    std::string port_;
};

// http://127.0.0.1:<wire port><path>
inline std::string WireUrl(const std::string& path) {
    return "http://127.0.0.1:" + EnvText("PCG_WIRE_PORT") + path;
}

// The head of a recorded request split into lines (without the blank line).
inline std::vector<std::string> HeadLines(const std::string& raw) {
    std::vector<std::string> lines;
    size_t start = 0;
    for (;;) {
        size_t end = raw.find("\r\n", start);
        if (end == std::string::npos || end == start) break;
        lines.push_back(raw.substr(start, end - start));
        start = end + 2;
    }
    return lines;
}

inline std::string BodyOf(const std::string& raw) {
    size_t end = raw.find("\r\n\r\n");
    return end == std::string::npos ? std::string() : raw.substr(end + 4);
}

}  // namespace pcg_testing

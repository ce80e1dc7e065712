// One end-to-end run of the real pennant.exe: a task whose installer one of
// the HTTP peers serves, the program driven as a person would (real clicks)
// or as Windows would (messages), and what it leaves behind: exit code,
// feedback reports, log lines and files in the download directory (see
// pennant/workflow/Controller_test.cpp). Needs the peers --feedback and the
// task's server, the test build's hooks, and the locks desktop and
// single_instance.
#pragma once

#include "app/Codes.h"
#include "app/Directories.h"
#include "ui/TestHooks.h"

#include "DownloadJobs.h"
#include "HttpPeers.h"
#include "PennantProcess.h"
#include "TestFiles.h"
#include "UiDisplay.h"

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

namespace testing_support {

enum class Server { Nginx, Fault, Plain, NginxTls };

// The task of one run, as the update service would describe it.
struct RunTask {
    std::string fname;  // the installer's name in the download directory
    std::string url;
    std::string md5;
    std::string sha256;  // sent only when set
    std::string version = "3.1.0.7";
    std::string oldversion = "3.0.0.1";
    std::string path = "HKEY_CURRENT_USER/Software/Aldermoor/E2E";
    std::string exe = "e2e.exe";
    std::string devid = "dev-e2e";
    std::string taskid = "task-e2e";
    int bits = 64;

    static RunTask Named(const std::string& fname) {
        RunTask task;
        task.fname = fname;
        return task;
    }

    // Puts `content` on `server` under fname (`options` are the fault
    // server's, "-" for none; for NginxTls the variable naming its port)
    // and points the task at it with its right MD5.
    void Serve(Server server, const std::string& options, const std::string& content) {
        switch (server) {
        case Server::Nginx:
            WriteFile(NginxFile(fname), content);
            url = NginxUrl(fname);
            break;
        case Server::Fault:
            WriteFile(FaultFile(fname), content);
            url = FaultUrl(options, fname);
            break;
        case Server::Plain:
            WriteFile(PlainFile(fname), content);
            url = PlainUrl(fname);
            break;
        case Server::NginxTls:
            WriteFile(HttpsNginxFile(fname), content);
            url = HttpsNginxUrl(fname, options.c_str());
            break;
        }
        md5 = Md5Of(content);
    }

    // The command-line argument: Base64 of the task's JSON.
    std::string Argument() const {
        return EncodeBase64(
            "{\"pid\":\"E2E\",\"taskid\":\"" + taskid + "\",\"devid\":\"" + devid +
            "\",\"url\":\"" + url + "\",\"md5\":\"" + md5 + "\",\"version\":\"" + version +
            "\",\"oldversion\":\"" + oldversion + "\",\"fname\":\"" + fname +
            "\",\"showname\":\"" + EncodeBase64("Aldermoor E2E") + "\",\"description\":\"" +
            EncodeBase64("end-to-end run") + "\",\"path\":\"" + path + "\",\"exe\":\"" + exe +
            "\",\"logo\":\"\"," + (sha256.empty() ? "" : "\"sha256\":\"" + sha256 + "\",") +
            "\"bits\":" + std::to_string(bits) + "}");
    }
};

// A started pennant.exe with the task; ended by its handle if the test did
// not end it. The task's files in the download directory are removed before
// the start (unless an earlier run left them on purpose) and after the run
// (unless it keeps them for the next).
class PennantRun {
public:
    enum Earlier { RemoveEarlierFiles, UseEarlierFiles };

    explicit PennantRun(const RunTask& task, Earlier earlier = RemoveEarlierFiles)
        : task_(task), log_(pennant::GetAppDataDirectory()) {
        if (earlier == RemoveEarlierFiles) RemoveInstallerFiles();
        process_ = std::make_unique<PennantProcess>(task.Argument());
    }
    ~PennantRun() {
        process_.reset();
        if (!keepFiles_) RemoveInstallerFiles();
    }
    PennantRun(const PennantRun&) = delete;
    PennantRun& operator=(const PennantRun&) = delete;

    // The pop-up once the offer stands in its place; null if it never does.
    HWND WaitForOffer() {
        window_ = process_->WaitForOffer(30000);
        return window_;
    }
    HWND Window() const { return window_; }

    void Command(int id) const { Post(WM_COMMAND, MAKEWPARAM(id, 0), 0); }
    void Post(UINT message, WPARAM wParam, LPARAM lParam) const {
        PostMessageA(window_, message, wParam, lParam);
    }
    LRESULT Send(UINT message, WPARAM wParam, LPARAM lParam) const {
        DWORD_PTR answer = 0;
        SendMessageTimeoutA(window_, message, wParam, lParam, SMTO_NORMAL, 10000, &answer);
        return static_cast<LRESULT>(answer);
    }

    // A real click on the control, then until its command has reached the window.
    void Click(int id) const {
        ClickChild(window_, id);
        for (int i = 0; i < 100 && IsWindow(window_) && LastCommand() != MAKEWPARAM(id, 0); ++i)
            Sleep(50);
    }

    int Phase() const { return static_cast<int>(Send(pennant::WM_TEST_STATE, 0, 0) & 0xff); }

    // True once the phase is `phase` (within a minute, or while the program runs).
    bool WaitPhase(int phase) const {
        for (int i = 0; i < 1200 && process_->Wait(0) == -1; ++i) {
            if (Phase() == phase) return true;
            Sleep(50);
        }
        return false;
    }

    // The status line the window shows (its first 255 bytes, GBK).
    std::string StatusText() const {
        const ATOM atom = static_cast<ATOM>(Send(pennant::WM_TEST_STATUS_TEXT, 0, 0));
        if (atom == 0) return std::string();
        char text[256] = {};
        GlobalGetAtomNameA(atom, text, sizeof text);
        GlobalDeleteAtom(atom);
        return text;
    }

    // The status line once it reads `text` (within a minute), else what it
    // reads then. The line is set after the phase, and a message the window
    // dispatches in between (the tray's) may answer the phase already.
    std::string WaitStatusText(const std::string& text) const {
        std::string shown;
        for (int i = 0; i < 1200 && (shown = StatusText()) != text; ++i) Sleep(50);
        return shown;
    }

    // True once the log has `part` among the lines appended since the start.
    bool WaitLog(const std::string& part) const {
        for (int i = 0; i < 1200; ++i) {
            if (Log().find(part) != std::string::npos) return true;
            Sleep(50);
        }
        return false;
    }
    std::string Log() const { return log_.Appended(); }

    // The exit code, or -1 while the program still runs after `ms`.
    long Exit(DWORD ms = 60000) const { return process_->Wait(ms); }

    // The bodies of this task's reports the service received, in arrival
    // order. The recorder's port is the same for every build tree on the
    // machine, so it may also hear a pennant of another tree's tests.
    std::vector<std::string> ReportBodies() const {
        std::vector<std::string> bodies;
        for (const auto& request : RecordedRequests("HTTP_FEEDBACK_REQUESTS")) {
            const std::string body = request.substr(request.find("\r\n\r\n") + 4);
            if (body.rfind(Ids(), 0) == 0) bodies.push_back(body);
        }
        return bodies;
    }
    // The bodies the task's reports of `statuses` carry.
    std::vector<std::string> Bodies(const std::vector<int>& statuses) const {
        std::vector<std::string> bodies;
        for (int status : statuses) bodies.push_back(Ids() + "status=" + std::to_string(status));
        return bodies;
    }

    // The installer's files in the download directory ("", ".part", ".meta").
    std::string InstallerFile(const char* suffix = "") const {
        return pennant::GetDownloadDirectory() + "\\" + task_.fname + suffix;
    }

    // Leaves part, meta and installer file for a following run of the task.
    void KeepFilesForTheNextRun() { keepFiles_ = true; }

private:
    std::string Ids() const { return "deviceid=" + task_.devid + "&taskid=" + task_.taskid + "&"; }

    WPARAM LastCommand() const {
        return static_cast<WPARAM>(Send(pennant::WM_TEST_LAST_COMMAND, 0, 0));
    }

    void RemoveInstallerFiles() const {
        for (const char* suffix : {"", ".part", ".meta"})
            DeleteFileA(InstallerFile(suffix).c_str());
    }

    RunTask task_;
    LogTail log_;
    std::unique_ptr<PennantProcess> process_;
    HWND window_ = nullptr;
    bool keepFiles_ = false;
};

}  // namespace testing_support

#include "app/Task.h"

#include "app/Codes.h"
#include "app/Log.h"
#include "app/Text.h"

// The JSON reader still includes the old bind header, which otherwise
// announces its deprecation in every build of this file.
#define BOOST_BIND_GLOBAL_PLACEHOLDERS
#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>

#include <algorithm>
#include <memory>
#include <sstream>

namespace pennant {
namespace {

std::unique_ptr<TaskHolder> currentHolder;

// The JSON reader descends recursively, so a deeply nested argument could
// exhaust the stack; a task is one flat object, so a few levels are plenty.
constexpr int MaxJsonNesting = 32;

bool NestingWithinLimit(const std::string& json) {
    int depth = 0;
    bool inString = false;
    for (size_t i = 0; i < json.size(); ++i) {
        const char c = json[i];
        if (inString) {
            if (c == '\\') ++i;
            else if (c == '"') inString = false;
        } else if (c == '"') {
            inString = true;
        } else if (c == '{' || c == '[') {
            if (++depth > MaxJsonNesting) return false;
        } else if (c == '}' || c == ']') {
            --depth;
        }
    }
    return true;
}

}  // namespace

TaskHolder* CurrentTaskHolder() { return currentHolder.get(); }

void SetCurrentTaskHolder(TaskHolder* holder) { currentHolder.reset(holder); }

bool IsPlainFileName(const std::string& name) {
    // Judged on UTF-16: a trail byte of a double-byte character may equal a
    // backslash or a bar.
    const std::wstring wide = AnsiToWide(name);
    if (wide.empty() || wide == L"." || wide == L"..") return false;
    if (wide.find_first_of(L"\\/:<>\"|?*") != std::wstring::npos) return false;
    for (wchar_t c : wide)
        if (c < 0x20) return false;
    // Windows drops a trailing dot or blank, so the file made would not be
    // the file later started.
    if (wide.back() == L'.' || wide.back() == L' ') return false;
    // A device name opens the device whatever extension follows it.
    std::wstring stem = wide.substr(0, wide.find(L'.'));
    stem.erase(stem.find_last_not_of(L' ') + 1);
    for (const wchar_t* device : {L"CON", L"PRN", L"AUX", L"NUL"})
        if (_wcsicmp(stem.c_str(), device) == 0) return false;
    const bool numbered = stem.size() == 4 && stem[3] >= L'1' && stem[3] <= L'9';
    return !(numbered && (_wcsnicmp(stem.c_str(), L"COM", 3) == 0 ||
                          _wcsnicmp(stem.c_str(), L"LPT", 3) == 0));
}

bool ParseTask(const std::string& argument, Task& task) {
    std::string decoded;
    DecodeBase64(argument, decoded);  // a failure leaves it empty, which JSON rejects

    try {
        // The reader takes UTF-8 only (raw or as escapes); a service that
        // sends its texts raw in the ANSI code page (GBK) is read as such.
        const std::string json =
            IsUtf8(decoded) ? decoded : WideToUtf8(AnsiToWide(decoded));
        if (!NestingWithinLimit(json)) throw std::runtime_error("JSON nested too deeply");
        boost::property_tree::ptree tree;
        std::istringstream input(json);
        boost::property_tree::read_json(input, tree);

        // Every field but the two Base64 texts becomes a path, registry key,
        // file name or log text in the ANSI code page.
        auto ansi = [&tree](const char* name) {
            return WideToAnsi(Utf8ToWide(tree.get<std::string>(name)));
        };
        task.pid = ansi("pid");
        task.taskid = ansi("taskid");
        task.devid = ansi("devid");
        task.url = ansi("url");
        task.md5 = ansi("md5");
        task.version = ansi("version");
        task.oldversion = ansi("oldversion");
        task.fname = ansi("fname");
        task.showname = tree.get<std::string>("showname");
        task.description = tree.get<std::string>("description");
        task.path = ansi("path");
        task.exe = ansi("exe");
        task.logo = ansi("logo");
        std::replace(task.path.begin(), task.path.end(), '/', '\\');
        task.bits = tree.get<int32_t>("bits");
        // fname becomes a path in the download directory that is later run
        // elevated, so anything but a plain file name is refused.
        if (!IsPlainFileName(task.fname))
            throw std::runtime_error("fname is not a plain file name: " + task.fname);
        // A digest that can never match would only cost a whole download.
        if (const auto sha256 = tree.get_optional<std::string>("sha256")) {
            const bool hex = sha256->size() == 64 &&
                             sha256->find_first_not_of("0123456789abcdefABCDEF") == std::string::npos;
            if (!hex) throw std::runtime_error("sha256 is not 64 hexadecimal digits: " + *sha256);
            task.sha256 = *sha256;
        }
    } catch (const std::exception& e) {
        Log(LogError, "PARSE: %s\n%s", e.what(), argument.c_str());
        Log(LogError, "解析命令行出错，请检查参数:%s\n", decoded.c_str());
        return false;
    }

    std::string text;
    task.showname = DecodeBase64(task.showname, text) ? text : std::string();
    text.clear();
    task.description = DecodeBase64(task.description, text) ? text : std::string();

    Log(LogProgress, "pid = %s", task.pid.c_str());
    Log(LogProgress, "taskid = %s", task.taskid.c_str());
    Log(LogProgress, "url = %s", task.url.c_str());
    Log(LogProgress, "md5 = %s", task.md5.c_str());
    if (!task.sha256.empty()) Log(LogProgress, "sha256 = %s", task.sha256.c_str());
    Log(LogProgress, "version = %s", task.version.c_str());
    Log(LogProgress, "oldversion = %s", task.oldversion.c_str());
    Log(LogProgress, "path = %s", task.path.c_str());
    Log(LogProgress, "exe = %s", task.exe.c_str());
    Log(LogProgress, "bits = %d", task.bits);
    Log(LogProgress, "fname = %s", task.fname.c_str());
    Log(LogProgress, "logo = %s", task.logo.c_str());
    Log(LogProgress, "showname = %s", WideToAnsi(Utf8ToWide(task.showname)).c_str());
    Log(LogProgress, "description = %s", WideToAnsi(Utf8ToWide(task.description)).c_str());
    return true;
}

}  // namespace pennant

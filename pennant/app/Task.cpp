#include "app/Task.h"

#include "app/Codes.h"
#include "app/Log.h"
#include "app/Text.h"

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
    if (name.empty() || name == "." || name == "..") return false;
    return name.find_first_of("\\/:") == std::string::npos;
}

bool ParseTask(const std::string& argument, Task& task) {
    std::string decoded;
    DecodeBase64(argument, decoded);  // a failure leaves it empty, which JSON rejects

    try {
        if (!NestingWithinLimit(decoded)) throw std::runtime_error("JSON nested too deeply");
        boost::property_tree::ptree tree;
        std::istringstream input(decoded);
        boost::property_tree::read_json(input, tree);

        task.pid = tree.get<std::string>("pid");
        task.taskid = tree.get<std::string>("taskid");
        task.devid = tree.get<std::string>("devid");
        task.url = tree.get<std::string>("url");
        task.md5 = tree.get<std::string>("md5");
        task.version = tree.get<std::string>("version");
        task.oldversion = tree.get<std::string>("oldversion");
        task.fname = tree.get<std::string>("fname");
        task.showname = tree.get<std::string>("showname");
        task.description = tree.get<std::string>("description");
        task.path = tree.get<std::string>("path");
        task.exe = tree.get<std::string>("exe");
        task.logo = tree.get<std::string>("logo");
        std::replace(task.path.begin(), task.path.end(), '/', '\\');
        task.bits = tree.get<int32_t>("bits");
        // fname becomes a path in the download directory that is later run
        // elevated, so anything but a plain file name is refused.
        if (!IsPlainFileName(task.fname))
            throw std::runtime_error("fname is not a plain file name: " + task.fname);
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

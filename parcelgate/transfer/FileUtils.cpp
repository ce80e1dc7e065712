#include "transfer/FileUtils.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <utility>

#include "base/UniqueHandle.h"

namespace pcg {

namespace {

[[noreturn]] void ThrowFileError(const char* what, const std::string& name) {
    char code[32];
    std::snprintf(code, sizeof code, ", errno = %lu", static_cast<unsigned long>(GetLastError()));
    throw TransferError(std::string(what) + " \"" + name + "\"" + code);
}

}  // namespace

std::string ReadFileToString(const std::string& name) {
    UniqueHandle file(CreateFileA(name.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.Valid()) ThrowFileError("Cannot open file", name);
    LARGE_INTEGER size;
    if (!GetFileSizeEx(file.Get(), &size)) ThrowFileError("Cannot size file", name);
    if (static_cast<uint64_t>(size.QuadPart) > static_cast<uint64_t>(std::string().max_size()))
        throw TransferError("File too large to read into memory \"" + name + "\"");
    std::string bytes(static_cast<size_t>(size.QuadPart), '\0');
    size_t done = 0;
    while (done < bytes.size()) {
        DWORD piece = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, 1u << 24));
        DWORD got = 0;
        if (!ReadFile(file.Get(), &bytes[done], piece, &got, nullptr)) ThrowFileError("Cannot read file", name);
        if (got == 0) break;  // the file shrank meanwhile
        done += got;
    }
    bytes.resize(done);
    return bytes;
}

void WriteStringToFile(const std::string& name, const std::string& bytes, Durability durability) {
    // Beside the file, then moved over it: a killed process leaves the old
    // content or the new one, never a cut one.
    ReplacingFile file(name);
    if (!file.Write(bytes.data(), bytes.size())) ThrowFileError("Cannot write file", name);
    file.Commit(durability);
}

bool FileExists(const std::string& name) {
    DWORD attributes = GetFileAttributesA(name.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool DeleteFileIfExists(const std::string& name) {
    if (DeleteFileA(name.c_str())) return true;
    DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

bool DeleteOrEmptyFile(const std::string& name) {
    if (DeleteFileIfExists(name)) return true;
    const DWORD attributes = GetFileAttributesA(name.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0) {
        SetFileAttributesA(name.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
        if (DeleteFileIfExists(name)) return true;
    }
    // Held by a program that did not share deletion (a scanner, an indexer):
    // an empty file is at least no longer what it was.
    UniqueHandle file(CreateFileA(name.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, TRUNCATE_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    return file.Valid();
}

int64_t LastWriteTime(const std::string& name) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExA(name.c_str(), GetFileExInfoStandard, &data)) return -1;
    return static_cast<int64_t>((static_cast<uint64_t>(data.ftLastWriteTime.dwHighDateTime) << 32) |
                                data.ftLastWriteTime.dwLowDateTime);
}

int64_t GetFileSize64(const std::string& name) {
    if (!FileExists(name)) return -1;
    char full[MAX_PATH * 4];
    DWORD length = GetFullPathNameA(name.c_str(), sizeof full, full, nullptr);
    if (length == 0 || length >= sizeof full) return -1;
    WIN32_FIND_DATAA data;
    UniqueFindHandle find(FindFirstFileA(full, &data));
    if (!find.Valid()) return -1;
    return static_cast<int64_t>((static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow);
}

ReplacingFile::ReplacingFile(const std::string& target) : target_(target) {
    // Beside the target, so the final move stays on one volume and is a
    // rename; named after it, so a leftover says whose it is.
    const std::string temporary = target + kPartSuffix;
    file_.Reset(CreateFileA(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                            nullptr));
    if (!file_.Valid()) ThrowFileError("Cannot create file", temporary);
    temporary_ = temporary;
}

ReplacingFile::~ReplacingFile() {
    file_.Reset();
    if (!temporary_.empty()) DeleteFileA(temporary_.c_str());
}

bool ReplacingFile::Write(const char* data, size_t size) {
    while (size > 0) {
        DWORD piece = static_cast<DWORD>(std::min<size_t>(size, 1u << 24));
        DWORD written = 0;
        if (!WriteFile(file_.Get(), data, piece, &written, nullptr) || written == 0) return false;
        data += written;
        size -= written;
    }
    return true;
}

void ReplacingFile::Commit(Durability durability) {
    const bool durable = durability == Durability::Durable;
    if (durable && !FlushFileBuffers(file_.Get())) ThrowFileError("Cannot flush file", temporary_);
    if (!CloseHandle(file_.Release())) ThrowFileError("Cannot close file", temporary_);
    // Each a synchronous trip to the disk, which a record written a hundred
    // times per upload cannot afford; the move itself is the same rename
    // either way, so a killed process still finds the old file or the new.
    if (!MoveFileExA(temporary_.c_str(), target_.c_str(),
                     MOVEFILE_REPLACE_EXISTING | (durable ? MOVEFILE_WRITE_THROUGH : 0)))
        ThrowFileError("Cannot replace file", target_);
    temporary_.clear();
}

BackgroundFileWriter::BackgroundFileWriter(std::string name) noexcept : name_(std::move(name)) {
    try {
        thread_ = std::thread(&BackgroundFileWriter::Run, this);
    } catch (...) {
        // No thread to spare: Post() writes on the caller's own.
    }
}

BackgroundFileWriter::~BackgroundFileWriter() {
    if (!thread_.joinable()) return;
    {
        std::lock_guard<std::mutex> hold(lock_);
        ending_ = true;
    }
    changed_.notify_all();
    thread_.join();
}

void BackgroundFileWriter::Post(std::string content) noexcept {
    if (!thread_.joinable()) {
        Write(name_, content);
        return;
    }
    {
        std::unique_lock<std::mutex> hold(lock_);
        changed_.wait(hold, [this] { return !posted_ && !writing_; });
        next_.swap(content);
        posted_ = true;
    }
    changed_.notify_all();
}

void BackgroundFileWriter::Wait() noexcept {
    if (!thread_.joinable()) return;
    std::unique_lock<std::mutex> hold(lock_);
    changed_.wait(hold, [this] { return !posted_ && !writing_; });
}

void BackgroundFileWriter::Run() noexcept {
    std::unique_lock<std::mutex> hold(lock_);
    for (;;) {
        changed_.wait(hold, [this] { return posted_ || ending_; });
        // What was posted is written before the end, so nothing is lost.
        if (!posted_) return;
        std::string content;
        content.swap(next_);
        posted_ = false;
        writing_ = true;
        hold.unlock();
        Write(name_, content);
        hold.lock();
        writing_ = false;
        changed_.notify_all();
    }
}

void BackgroundFileWriter::Write(const std::string& name, const std::string& content) noexcept {
    try {
        WriteStringToFile(name, content, Durability::Cached);
    } catch (...) {
        // The file keeps the content of the last write that went through.
    }
}

}  // namespace pcg

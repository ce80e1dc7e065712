// File helpers of the transfer workers. Names are ANSI code page paths.
// Helpers that say so throw pcg::TransferError (declared in Utils.h); the
// others never throw.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "http/HttpParser.h"
#include "base/UniqueHandle.h"
#include "base/Utils.h"

namespace pcg {

// The whole content of the file, opened for reading while others may still
// read and write it, as a reader should. Throws TransferError when the file
// cannot be opened or read.
std::string ReadFileToString(const std::string& name);

// How far a replaced file must have gone when the call returns: Durable
// waits until its bytes and its name are on the disk; Cached leaves both to
// the system's write-back, so the file survives the end of the process at
// once but a machine that loses power may come back with the file before
// (or with bytes not yet written).
enum class Durability { Durable, Cached };

// Replaces the file's content with the bytes (a new file when there was
// none), through a ReplacingFile. Throws TransferError when the file cannot be
// created or a write fails.
void WriteStringToFile(const std::string& name, const std::string& bytes,
                       Durability durability = Durability::Durable);

// True when a file (not a directory) of that name exists.
bool FileExists(const std::string& name);

// Deletes the file if it exists; false only when it exists and could not be
// deleted.
bool DeleteFileIfExists(const std::string& name);

// Deletes the file, also when it is read-only; when it is held open so that
// it cannot go, empties it instead. False only when it is still there with
// its content.
bool DeleteOrEmptyFile(const std::string& name);

// The file's last-write time in 100-nanosecond units, or -1 when it cannot be
// read (no such file).
int64_t LastWriteTime(const std::string& name);

// -1 if no file of that name exists (a directory is no file); otherwise the name is expanded to a
// full path and looked up with a directory search matching any attribute,
// and the 64-bit size of the first match is returned (-1 if the search fails).
int64_t GetFileSize64(const std::string& name);

// A file written whole before it replaces its target: a temporary file
// beside the target (its name plus kPartSuffix) takes the bytes as they
// arrive and is moved over the target only once complete. Until then the
// target stays as it was, and a writer that fails leaves no trace. A writer
// that was killed leaves the temporary file, which the next writer of the
// same target replaces.
class ReplacingFile : public BodySink {
public:
    static constexpr const char* kPartSuffix = ".pcgpart";

    // Creates the temporary file (replacing a leftover one); throws
    // TransferError when it cannot.
    explicit ReplacingFile(const std::string& target);
    // Deletes the temporary file unless Commit() succeeded.
    ~ReplacingFile();
    ReplacingFile(const ReplacingFile&) = delete;
    ReplacingFile& operator=(const ReplacingFile&) = delete;

    bool Write(const char* data, size_t size) override;

    // Durable: flushes and closes the temporary file, checking both (a write
    // the disk refuses late, full, gone, a network share, shows only there),
    // then moves it over the target and waits for the move to reach the
    // disk. Cached: closes it and moves it over the target. Throws
    // TransferError on any failure.
    void Commit(Durability durability = Durability::Durable);

private:
    std::string target_;
    std::string temporary_;
    UniqueHandle file_;
};

// A small file replaced again and again on a thread of its own, so that
// the caller does not wait for the write it hands over: the thread writes
// the content beside the file and moves it over (Durability::Cached).
// Post() first waits for the content posted before it, so the file is never
// more than one Post() behind, then hands over the next and returns. A
// write that fails is dropped: the file keeps the content of the last one
// that went through. Without a thread (none could be made) Post() writes
// itself. Never throws.
class BackgroundFileWriter {
public:
    explicit BackgroundFileWriter(std::string name) noexcept;
    // Waits for the content posted last.
    ~BackgroundFileWriter();
    BackgroundFileWriter(const BackgroundFileWriter&) = delete;
    BackgroundFileWriter& operator=(const BackgroundFileWriter&) = delete;

    void Post(std::string content) noexcept;
    // Returns once the content posted last is written (or dropped): after
    // it, nothing posted touches the file any more.
    void Wait() noexcept;

private:
    void Run() noexcept;
    static void Write(const std::string& name, const std::string& content) noexcept;

    const std::string name_;
    std::mutex lock_;
    std::condition_variable changed_;
    std::string next_;
    bool posted_ = false;   // next_ holds content not yet taken
    bool writing_ = false;
    bool ending_ = false;
    std::thread thread_;
};

}  // namespace pcg

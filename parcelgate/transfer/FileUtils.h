// File helpers of the transfer workers. Names are ANSI code page paths.
// Helpers that say so throw pcg::TransferError (declared in Utils.h); the
// others never throw.
#pragma once

#include <cstdint>
#include <string>

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

}  // namespace pcg

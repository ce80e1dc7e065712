#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "base/UniqueHandle.h"
#include "transfer/FileUtils.h"
#include "transfer/WorkerThread.h"

namespace pcg {

// Uploads a file of more than the form limit as about a hundred chunks, each
// its own POST of raw bytes acknowledged by 201 (or 200). A resume record
// beside the file (extension ".upbreak", Base64 of a compact JSON object),
// written after every acknowledged chunk but the last (on a thread of its
// own, not flushed) and when a run fails or is stopped (flushed), lets the next upload of the same file to the same URL
// continue after the last acknowledged byte, even after a killed run, unless
// the file was written after its record was.
//
// Events: OnBegin, OnProgress(acknowledged, size) after every chunk, then
// OnFinish; OnFail(1) when the file is gone (or its size unreadable),
// OnFail(2) when it is empty, OnFail(3) when the client answered E_ABORT,
// OnFail(0) for every other failure after OnBegin. Every run after OnBegin
// ends in exactly one of OnFinish and OnFail.
class BigFileUploadWorker : public WorkerThread {
public:
    // Opens the file (others may still read and write it); throws
    // TransferError when it cannot.
    BigFileUploadWorker(bool forceReUpload, int64_t sessionId, const std::string& fileName,
                        const std::string& url, std::shared_ptr<ProgressSink> sink, const std::string& token);
    // With the file already opened as `file`.
    BigFileUploadWorker(bool forceReUpload, int64_t sessionId, const std::string& fileName, UniqueHandle file,
                        const std::string& url, std::shared_ptr<ProgressSink> sink, const std::string& token);

    // Bytes per chunk for a file of that size: size div N, with N from 100
    // down while size mod N is exactly 1, so no last chunk has one byte.
    static int64_t ChunkSize(int64_t fileSize);

    // The resume record of a file: its extension replaced by ".upbreak".
    static std::string ResumeName(const std::string& fileName);

protected:
    void Execute() override;

private:
    // Sends chunks until the file is through; throws on any failure.
    // Returns false when the client stopped the upload.
    // Posts the record of every acknowledged chunk but the last to records.
    bool SendChunks(int64_t chunkSize, BackgroundFileWriter& records);
    // True when the server acknowledged the chunk [start_, end_].
    bool SendChunk(const char* chunk, size_t size);
    void LoadResume();
    // The record's content: Base64 of the compact JSON object.
    std::string ResumeText() const;
    // Writes the record at the end of a run, flushed to the disk.
    void SaveResume() noexcept;
    // Forgets a chunk that was read but not acknowledged, so the record
    // makes the next run send it again.
    void RollBackUnacknowledged() noexcept;
    bool Seek(int64_t position);

    bool forceReUpload_;
    int64_t sessionId_;
    std::string fileName_;
    UniqueHandle file_;
    int64_t fileSize_;  // -1 when it cannot be read
    int64_t uploaded_ = 0;
    int64_t start_ = 0;
    int64_t end_ = -1;
    int64_t position_ = 0;  // of the file stream
    std::string hash_;      // compared with the record's; nothing computes it
};

}  // namespace pcg

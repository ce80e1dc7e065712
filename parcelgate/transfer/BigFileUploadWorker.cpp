#include "transfer/BigFileUploadWorker.h"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <new>
#include <utility>

#include "transfer/FileUtils.h"
#include "base/Json.h"
#include "base/Text.h"

namespace pcg {
namespace {

UniqueHandle OpenToUpload(const std::string& fileName) {
    UniqueHandle file(CreateFileA(fileName.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.Valid()) throw TransferError("Cannot open file " + fileName);
    return file;
}

int64_t SizeOrMinusOne(HANDLE file) {
    LARGE_INTEGER size;
    return GetFileSizeEx(file, &size) ? size.QuadPart : -1;
}

// Reads up to size bytes from the file's position; returns how many came.
size_t ReadSome(HANDLE file, char* data, size_t size) {
    size_t done = 0;
    while (done < size) {
        DWORD piece = static_cast<DWORD>(std::min<size_t>(size - done, 1u << 24));
        DWORD got = 0;
        if (!ReadFile(file, data + done, piece, &got, nullptr)) throw TransferError("Cannot read the file to upload");
        if (got == 0) break;
        done += got;
    }
    return done;
}

const JsonValue* Number(const JsonValue& object, const char* key) {
    const JsonValue* value = object.Find(key);
    return value && value->IsNumber() ? value : nullptr;
}

}  // namespace

BigFileUploadWorker::BigFileUploadWorker(bool forceReUpload, int64_t sessionId, const std::string& fileName,
                                         const std::string& url, std::shared_ptr<ProgressSink> sink,
                                         const std::string& token)
    : BigFileUploadWorker(forceReUpload, sessionId, fileName, OpenToUpload(fileName), url, std::move(sink), token) {}

BigFileUploadWorker::BigFileUploadWorker(bool forceReUpload, int64_t sessionId, const std::string& fileName,
                                         UniqueHandle file, const std::string& url,
                                         std::shared_ptr<ProgressSink> sink, const std::string& token)
    : WorkerThread(token, std::move(sink), url),
      forceReUpload_(forceReUpload),
      sessionId_(sessionId),
      fileName_(fileName),
      file_(std::move(file)),
      fileSize_(SizeOrMinusOne(file_.Get())) {}

int64_t BigFileUploadWorker::ChunkSize(int64_t fileSize) {
    if (fileSize <= 0) return 0;
    int64_t parts = 100;
    while (parts > 1 && fileSize % parts == 1) --parts;
    return fileSize / parts;
}

std::string BigFileUploadWorker::ResumeName(const std::string& fileName) {
    return ChangeFileExt(fileName, ".upbreak");
}

void BigFileUploadWorker::Execute() {
    // A size that cannot be read says nothing about the file being empty:
    // the file is as good as gone.
    if (!FileExists(fileName_) || fileSize_ < 0) {
        RaiseFail(1);
        return;
    }
    if (fileSize_ == 0) {
        RaiseFail(2);
        return;
    }
    const int64_t chunkSize = ChunkSize(fileSize_);
    if (forceReUpload_)
        DeleteFileIfExists(ResumeName(fileName_));
    else
        LoadResume();
    RaiseBegin();

    // The record is written before the event, so a client that answers a
    // failure with a new Upload finds it.
    bool completed = false;
    bool stopped = false;
    {
        // The records of acknowledged chunks are written while the next
        // chunk goes; leaving this block waits for the last one, so that the
        // run's own last record below is not overwritten by an older one.
        BackgroundFileWriter records(ResumeName(fileName_));
        try {
            stopped = !SendChunks(chunkSize, records);
            completed = uploaded_ == fileSize_;
        } catch (...) {
            // Not acknowledged, a failed read, a chunk that cannot be allocated,
            // a failing event call.
            RollBackUnacknowledged();
        }
    }
    if (stopped) {
        SaveResume();
        RaiseFail(3);
        return;
    }
    if (!completed) {
        // Also when the file shrank while it was sent: the loop ran dry.
        SaveResume();
        RaiseFail(0);
        return;
    }
    // A record left behind would send the next upload of the same file
    // mid-file under this finished session.
    DeleteOrEmptyFile(ResumeName(fileName_));
    RaiseFinish();
}

bool BigFileUploadWorker::SendChunks(int64_t chunkSize, BackgroundFileWriter& records) {
    // A chunk is a hundredth of the file: in a 32-bit process that may be
    // more than the address space holds (new throws std::bad_alloc). One
    // buffer serves every chunk: fresh memory for each would cost its page
    // faults again, and under Wine they are dear.
    const int64_t bufferSize = std::min(chunkSize, fileSize_ - position_);
    if (static_cast<uint64_t>(bufferSize) > static_cast<uint64_t>(SIZE_MAX)) throw std::bad_alloc();
    std::unique_ptr<char[]> buffer(new char[static_cast<size_t>(std::max<int64_t>(bufferSize, 1))]);
    while (uploaded_ < fileSize_) {
        Session().Clear();
        // Never beyond the size the upload announced: a file that grew
        // meanwhile goes up as its first fileSize_ bytes.
        const int64_t want = std::min(bufferSize, fileSize_ - position_);
        if (want <= 0) break;
        const size_t got = ReadSome(file_.Get(), buffer.get(), static_cast<size_t>(want));
        if (got == 0) break;
        start_ = end_ + 1;
        end_ += static_cast<int64_t>(got);
        position_ += static_cast<int64_t>(got);
        if (!SendChunk(buffer.get(), got)) throw TransferError("Chunk not acknowledged");
        uploaded_ += static_cast<int64_t>(got);
        // At every acknowledgement, not only when a run ends by itself: a
        // process that is killed gets no end, and the next upload would send
        // the whole file again under a new session. Neither flushed nor
        // waited for: under Wine on ext4 even an unflushed replace costs
        // milliseconds, a flush a disk round trip, a hundred times per
        // upload; the write runs while the next chunk goes. A process killed
        // after the progress event of a chunk finds the record of that chunk
        // or of the one before; a machine that loses power may lose the
        // latest records. Both cost chunks sent again (the whole file when
        // no record is readable), never wrong data. The run's end writes its
        // record flushed. After the last chunk the record goes anyway.
        if (uploaded_ < fileSize_ && FileExists(fileName_)) records.Post(ResumeText());
        // A stop answered to the last chunk comes too late: the file is up.
        if (RaiseProgress(static_cast<uint64_t>(uploaded_), static_cast<uint64_t>(fileSize_)) == E_ABORT &&
            uploaded_ < fileSize_)
            return false;
    }
    return true;
}

bool BigFileUploadWorker::SendChunk(const char* chunk, size_t size) {
    HttpSession& session = Session();
    session.SetMimeType("application/octet-stream");
    auto& headers = session.Headers();
    headers.push_back("Content-Disposition: attachment; filename=\"" + HeaderFileName(fileName_) + "\"");
    headers.push_back("Session-ID: " + std::to_string(sessionId_));
    headers.push_back("Host:" + ExtractHost(Url()));
    headers.push_back("X-Content-Range: bytes " + std::to_string(start_) + "-" + std::to_string(end_) + "/" +
                      std::to_string(fileSize_));
    // The session sends the chunk straight from the worker's buffer.
    session.SetBodyView(chunk, size);
    const bool exchanged = session.SendRequest("POST", Url());
    const int32_t code = session.ResultCode();
    return (exchanged && code == 201) || code == 200;
}

void BigFileUploadWorker::RollBackUnacknowledged() noexcept {
    if (end_ + 1 == uploaded_) return;
    start_ = uploaded_;
    end_ = uploaded_ - 1;
    position_ = uploaded_;
}

bool BigFileUploadWorker::Seek(int64_t position) {
    LARGE_INTEGER to;
    to.QuadPart = position;
    if (!SetFilePointerEx(file_.Get(), to, nullptr, FILE_BEGIN)) return false;
    position_ = position;
    return true;
}

void BigFileUploadWorker::LoadResume() {
    const std::string record = ResumeName(fileName_);
    if (!FileExists(fileName_) || !FileExists(record)) return;
    // Name and size say nothing about the content: a file written after its
    // record is another version, and joining its bytes to the ones the
    // server already holds would make a file that never existed.
    const int64_t written = LastWriteTime(fileName_);
    const int64_t saved = LastWriteTime(record);
    if (written < 0 || saved < 0 || written > saved) return;
    JsonValue json;
    try {
        if (!ParseJson(Base64Decode(ReadFileToString(record)), json) || !json.IsObject()) return;
    } catch (const std::exception&) {
        return;  // unreadable or not Base64: as if there were none
    }
    if (!SameText(json.GetString("hash"), hash_) || !SameText(json.GetString("url"), Url()) ||
        !SameText(json.GetString("filename"), fileName_))
        return;
    const JsonValue* size = Number(json, "size");
    const JsonValue* uploaded = Number(json, "uploadsize");
    const JsonValue* uid = Number(json, "uid");
    const JsonValue* start = Number(json, "start");
    const JsonValue* end = Number(json, "end");
    const JsonValue* pos = Number(json, "pos");
    if (!size || !uploaded || !uid || !start || !end || !pos || size->AsInt64() != fileSize_) return;
    // Numbers that do not describe a point of this file after an
    // acknowledged chunk come from elsewhere: start afresh.
    const int64_t at = pos->AsInt64();
    if (at < 0 || at >= fileSize_ || uploaded->AsInt64() != at || end->AsInt64() != at - 1 ||
        start->AsInt64() < 0 || start->AsInt64() > at || uid->AsInt64() < 0)
        return;
    if (!Seek(at)) return;
    uploaded_ = at;
    sessionId_ = uid->AsInt64();
    start_ = start->AsInt64();
    end_ = at - 1;
}

std::string BigFileUploadWorker::ResumeText() const {
    JsonValue record = JsonValue::Object();
    record.Set("size", JsonValue::Integer(fileSize_));
    record.Set("uploadsize", JsonValue::Integer(uploaded_));
    record.Set("uid", JsonValue::Integer(sessionId_));
    record.Set("start", JsonValue::Integer(start_));
    record.Set("end", JsonValue::Integer(end_));
    record.Set("pos", JsonValue::Integer(position_));
    record.Set("hash", JsonValue::String(hash_));
    record.Set("url", JsonValue::String(Url()));
    record.Set("filename", JsonValue::String(fileName_));
    return Base64Encode(WriteJson(record));
}

void BigFileUploadWorker::SaveResume() noexcept {
    try {
        if (!FileExists(fileName_)) return;
        WriteStringToFile(ResumeName(fileName_), ResumeText(), Durability::Durable);
    } catch (...) {
        // The next upload then starts from byte 0.
    }
}

}  // namespace pcg

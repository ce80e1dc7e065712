#pragma once

#include <memory>
#include <string>

#include "ProgressSink.h"

namespace pcg {

// Starts the form upload of a small file (or of a name that is no file).
class FormUpload {
public:
    FormUpload(const std::string& token, const std::string& fileName, const std::string& url,
               std::shared_ptr<ProgressSink> sink);
    FormUpload(const FormUpload&) = delete;
    FormUpload& operator=(const FormUpload&) = delete;

    // Starts the upload's threads, which then run by themselves.
    void Start();

private:
    std::string token_;
    std::string fileName_;
    std::string url_;
    std::shared_ptr<ProgressSink> sink_;
};

}  // namespace pcg

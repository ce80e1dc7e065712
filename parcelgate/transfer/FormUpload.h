#pragma once

#include <wrl/client.h>

#include <string>

#include "Parcelgate_h.h"

namespace pcg {

// Starts the form upload of a small file (or of a name that is no file).
class FormUpload {
public:
    FormUpload(const std::string& token, const std::string& fileName, const std::string& url,
               INetFileProgress* sink);
    FormUpload(const FormUpload&) = delete;
    FormUpload& operator=(const FormUpload&) = delete;

    // Starts the upload's threads, which then run by themselves.
    void Start();

private:
    std::string token_;
    std::string fileName_;
    std::string url_;
    Microsoft::WRL::ComPtr<INetFileProgress> sink_;
};

}  // namespace pcg

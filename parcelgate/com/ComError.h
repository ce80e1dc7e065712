// Errors inside the automation methods and how they leave them: as an HRESULT
// plus an error object for the calling thread, never as an exception.
#pragma once

#include <windows.h>

#include <stdexcept>
#include <string>

namespace pcg {

// An error that carries an OLE failure code of its own; the method that
// catches it returns that code instead of E_UNEXPECTED.
class OleError : public std::runtime_error {
public:
    OleError(HRESULT code, const std::string& message) : std::runtime_error(message), code_(code) {}
    HRESULT Code() const { return code_; }

private:
    HRESULT code_;
};

// To be called inside a catch block: sets an error object (the error's message
// as description, `iid` as GUID) for the calling thread and returns the code
// the method must answer: the error's own OLE code, E_OUTOFMEMORY for an
// exhausted heap, E_UNEXPECTED for anything else.
HRESULT ErrorFromCaught(REFIID iid) noexcept;

// To be called inside a catch block: the code as above, and the error's
// message when `message` is given; sets no error object.
HRESULT CodeFromCaught(std::string* message = nullptr) noexcept;

// Sets the calling thread's error object; `message` is ANSI text.
void SetErrorObject(REFIID iid, const std::string& message) noexcept;

}  // namespace pcg

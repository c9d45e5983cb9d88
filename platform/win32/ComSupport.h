// COM helpers of the Windows softphone binding: the apartment, automation strings
// and the failure of an automation call. (Free of base/ResultCodes.h, whose names
// are macros in <windows.h>.)
#pragma once

#include <ole2.h>

#include <string>

namespace quvo::platform::win32 {

// Puts the calling thread into the multithreaded apartment, once per thread. The
// console's main thread joins at start-up; this covers the other threads that use
// the binding (a re-binding monitor, tests).
void EnsureApartment();

// A BSTR made from wide text, freed when it goes out of scope, also when the call
// that used it failed. Raises CAutomationError (E_OUTOFMEMORY) when it cannot be
// allocated.
class CBstr {
  public:
    explicit CBstr(const std::wstring& text);
    ~CBstr() { ::SysFreeString(m_bstr); }
    CBstr(const CBstr&) = delete;
    CBstr& operator=(const CBstr&) = delete;
    BSTR Get() const { return m_bstr; }

  private:
    BSTR m_bstr;
};

// The system's message for a status, without its trailing line end; empty when the
// system has none.
std::string SystemMessage(HRESULT status);

// Raises the failure of a call on object's interface iid that returned status as
// link::CAutomationError (base/AutomationError.h). Its text is the error
// information's description when the object says that the interface supports error
// information and there is one, else the system's message for the status, else
// "Unknown error 0xXXXXXXXX". Takes the thread's error information.
[[noreturn]] void ThrowAutomationFailure(HRESULT status, IUnknown* object, REFIID iid);

}  // namespace quvo::platform::win32

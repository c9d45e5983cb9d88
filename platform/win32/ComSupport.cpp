// base/ResultCodes.h (through AutomationError.h) must come before <windows.h>,
// whose macros carry some of its names.
// clang-format off
#include "base/AutomationError.h"
#include "base/Output.h"
#include "platform/Text.h"
#include "platform/win32/ComSupport.h"
// clang-format on

#include <objbase.h>

#include <climits>

namespace quvo::platform::win32 {

void EnsureApartment() {
    thread_local bool joined = false;
    if (joined) return;
    // S_FALSE: the thread was in the apartment already. The thread stays in it for
    // its life: COM is never left while the console runs.
    joined = SUCCEEDED(::CoInitializeEx(nullptr, COINIT_MULTITHREADED));
}

CBstr::CBstr(const std::wstring& text) : m_bstr(nullptr) {
    if (text.size() <= static_cast<size_t>(UINT_MAX))
        m_bstr = ::SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    if (!m_bstr) ThrowAutomationFailure(E_OUTOFMEMORY, nullptr, IID_NULL);
}

std::string SystemMessage(HRESULT status) {
    const auto lookUp = [](DWORD id) {
        char* buffer = nullptr;
        const DWORD length = ::FormatMessageA(
            FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
            nullptr, id, 0, reinterpret_cast<char*>(&buffer), 0, nullptr);
        std::string message = length && buffer ? std::string(buffer, length) : std::string();
        if (buffer) ::LocalFree(buffer);
        while (!message.empty() && (message.back() == '\r' || message.back() == '\n')) message.pop_back();
        return message;
    };
    std::string message = lookUp(static_cast<DWORD>(status));
    // A Win32 error wrapped as an HRESULT: the system knows it by its plain code.
    if (message.empty() && HRESULT_FACILITY(status) == FACILITY_WIN32)
        message = lookUp(static_cast<DWORD>(HRESULT_CODE(status)));
    return message;
}

namespace {

// The description of the thread's error information, when there is one and the
// object says that the interface supports error information.
std::string ErrorInfoDescription(IUnknown* object, REFIID iid) {
    // Taken first, before the question below, which is a call of its own and
    // could replace it.
    IErrorInfo* info = nullptr;
    if (::GetErrorInfo(0, &info) != S_OK || !info) return std::string();

    bool supported = false;
    ISupportErrorInfo* support = nullptr;
    if (object &&
        SUCCEEDED(object->QueryInterface(IID_ISupportErrorInfo, reinterpret_cast<void**>(&support))) &&
        support) {
        supported = support->InterfaceSupportsErrorInfo(iid) == S_OK;
        support->Release();
    }
    std::string description;
    BSTR text = nullptr;
    if (supported && SUCCEEDED(info->GetDescription(&text)) && text)
        description = ToNarrow(std::wstring(text, ::SysStringLen(text)));
    ::SysFreeString(text);
    info->Release();
    return description;
}

}  // namespace

void ThrowAutomationFailure(HRESULT status, IUnknown* object, REFIID iid) {
    std::string text = object ? ErrorInfoDescription(object, iid) : std::string();
    if (text.empty()) text = SystemMessage(status);
    if (text.empty()) text = quvo::Format("Unknown error 0x%08X", static_cast<unsigned>(status));
    throw link::CAutomationError(static_cast<uint32_t>(status), "", std::move(text));
}

}  // namespace quvo::platform::win32

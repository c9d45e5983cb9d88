#include "platform/win32/EventDispatch.h"

#include <objbase.h>

#include <utility>

#include "QUVO.h"

namespace quvo::platform::win32 {

namespace {

// One event argument, taken only when its type is exactly one that an event
// declares; false for anything else, which is then left unread.
bool ReadArgument(const VARIANT& variant, link::EventArg& argument) {
    switch (V_VT(&variant)) {
        case VT_I4: argument = static_cast<int32_t>(V_I4(&variant)); return true;
        case VT_BOOL: argument = V_BOOL(&variant) != VARIANT_FALSE; return true;
        case VT_BSTR: {
            const BSTR text = V_BSTR(&variant);
            if (!text) return false;
            argument = std::wstring(text, ::SysStringLen(text));
            return true;
        }
        default: return false;
    }
}

}  // namespace

CEventDispatch* CEventDispatch::Create(link::IEventReceiver& receiver) {
    return new CEventDispatch(receiver);
}

HRESULT STDMETHODCALLTYPE CEventDispatch::QueryInterface(REFIID iid, void** object) {
    if (!IsEqualIID(iid, DIID_ISoftphoneEvents) && !IsEqualIID(iid, IID_IUnknown) &&
        !IsEqualIID(iid, IID_IDispatch)) {
        if (object) *object = nullptr;
        return E_NOINTERFACE;
    }
    if (!object) return E_POINTER;
    *object = static_cast<IDispatch*>(this);
    AddRef();
    return S_OK;
}

ULONG STDMETHODCALLTYPE CEventDispatch::AddRef() {
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_references;
    return 1;
}

ULONG STDMETHODCALLTYPE CEventDispatch::Release() {
    bool free = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_references > 0) --m_references;
        free = !m_owned && m_references == 0 && !m_freeing;
        if (free) m_freeing = true;
    }
    if (free) delete this;
    return 1;
}

HRESULT STDMETHODCALLTYPE CEventDispatch::GetTypeInfoCount(UINT*) {
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE CEventDispatch::GetTypeInfo(UINT, LCID, ITypeInfo**) {
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE CEventDispatch::GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) {
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE CEventDispatch::Invoke(DISPID dispid, REFIID, LCID, WORD, DISPPARAMS* params,
                                                 VARIANT* result, EXCEPINFO*, UINT*) {
    // The handlers return nothing.
    if (result) V_VT(result) = VT_EMPTY;

    const UINT count = params ? params->cArgs : 0;
    if (params && params->cNamedArgs != 0) return S_OK;
    if (count > 0 && !params->rgvarg) return S_OK;

    if (!Enter()) return S_OK;
    try {
        link::EventArgs arguments(count);
        bool readable = true;
        for (UINT i = 0; i < count && readable; ++i)
            readable = ReadArgument(params->rgvarg[count - 1 - i], arguments[i]);
        if (readable) m_receiver.Invoke(static_cast<int32_t>(dispid), arguments);
    } catch (...) {
        // Nothing that arrives with an event may end the process.
    }
    Leave();
    return S_OK;
}

bool CEventDispatch::Enter() {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_closed) return false;
    ++m_delivering;
    return true;
}

void CEventDispatch::Leave() {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (--m_delivering == 0) m_idle.notify_all();
}

void CEventDispatch::Close() {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_closed = true;
    m_idle.wait(lock, [this] { return m_delivering == 0; });
}

void CEventDispatch::Destroy() {
    Close();
    // Another process may still hold the sink (a softphone that died before it
    // let go): COM releases what it holds for it here.
    ::CoDisconnectObject(static_cast<IDispatch*>(this), 0);
    bool free = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_owned = false;
        free = m_references == 0 && !m_freeing;
        if (free) m_freeing = true;
    }
    if (free) delete this;
}

}  // namespace quvo::platform::win32

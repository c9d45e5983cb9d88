// The console's COM sink for the softphone's events (ISoftphoneEvents): an IDispatch
// whose Invoke hands each event, arguments in declaration order, to an
// IEventReceiver (the console's CEventSink with its sink map).
#pragma once

#include <ole2.h>

#include <condition_variable>
#include <mutex>

#include "base/ISoftphone.h"

namespace quvo::platform::win32 {

class CEventDispatch final : public IDispatch {
  public:
    // A new sink for receiver; its owner ends it with Destroy().
    static CEventDispatch* Create(link::IEventReceiver& receiver);

    // IUnknown. QueryInterface answers DIID_ISoftphoneEvents, IID_IUnknown and
    // IID_IDispatch. AddRef and Release answer 1: the sink's life is its owner's.
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

    // IDispatch. No type information, no names: E_NOTIMPL, touching nothing.
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override;
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID locale, ITypeInfo** info) override;
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID iid, LPOLESTR* names, UINT count, LCID locale,
                                            DISPID* dispids) override;
    // Delivers one event and answers S_OK whatever it carries. The arguments arrive
    // last-first and are passed on in declaration order. An event with an argument
    // that is not exactly VT_I4, VT_BOOL or VT_BSTR (a VT_BYREF form, VT_EMPTY, a
    // null BSTR...) or with named arguments is dropped without reading it; the
    // receiver drops those whose count or types differ from the event's declaration.
    HRESULT STDMETHODCALLTYPE Invoke(DISPID dispid, REFIID iid, LCID locale, WORD flags, DISPPARAMS* params,
                                     VARIANT* result, EXCEPINFO* exception, UINT* argumentError) override;

    // Stops delivery: returns once no event is being delivered; later events are
    // answered S_OK and dropped.
    void Close();
    // Closes, cuts the references that COM holds for other processes
    // (CoDisconnectObject), and frees the sink once nothing refers to it any more.
    // The owner does not use it afterwards.
    void Destroy();

  private:
    explicit CEventDispatch(link::IEventReceiver& receiver) : m_receiver(receiver) {}
    ~CEventDispatch() = default;
    bool Enter();
    void Leave();

    link::IEventReceiver& m_receiver;

    std::mutex m_mutex;
    std::condition_variable m_idle;
    int m_delivering = 0;    // events being delivered now
    bool m_closed = false;   // no further delivery
    ULONG m_references = 0;  // references COM took (AddRef) and has not given back
    bool m_owned = true;     // until Destroy()
    bool m_freeing = false;
};

}  // namespace quvo::platform::win32

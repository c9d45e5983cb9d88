#include "link/EventSink.h"

#include <utility>

#include "base/Output.h"
#include "link/SoftphoneControl.h"

namespace quvo::link {

namespace {

// How a handler parameter maps to an event argument.
template <typename T>
struct ArgTraits;
template <>
struct ArgTraits<int32_t> {
    static constexpr EventType kType = EventType::I4;
    static int32_t Get(const EventArg& arg) { return std::get<int32_t>(arg); }
};
template <>
struct ArgTraits<const std::wstring&> {
    static constexpr EventType kType = EventType::BSTR;
    static const std::wstring& Get(const EventArg& arg) { return std::get<std::wstring>(arg); }
};
template <>
struct ArgTraits<bool> {
    static constexpr EventType kType = EventType::BOOL;
    static bool Get(const EventArg& arg) { return std::get<bool>(arg); }
};

bool HasType(const EventArg& arg, EventType type) {
    switch (type) {
        case EventType::I4: return std::holds_alternative<int32_t>(arg);
        case EventType::BSTR: return std::holds_alternative<std::wstring>(arg);
        case EventType::BOOL: return std::holds_alternative<bool>(arg);
        case EventType::Empty: break;
    }
    return false;
}

// The call description and the typed call of one handler, both derived from the
// handler's own signature so that the two can never disagree.
template <auto Handler>
struct Route;
template <typename... P, void (CEventSink::*Handler)(P...)>
struct Route<Handler> {
    static constexpr EventCallInfo kInfo{static_cast<uint16_t>(sizeof...(P)), {ArgTraits<P>::kType...}};

    static void Call(CEventSink& sink, const EventArgs& args) {
        Call(sink, args, std::index_sequence_for<P...>{});
    }

    template <size_t... I>
    static void Call(CEventSink& sink, const EventArgs& args, std::index_sequence<I...>) {
        (sink.*Handler)(ArgTraits<P>::Get(args[I])...);
    }
};

struct EventSinkEntry {
    int32_t dispid;
    void (*call)(CEventSink&, const EventArgs&);
    const EventCallInfo* info;
};

template <auto Handler>
constexpr EventSinkEntry Entry(int32_t dispid) {
    return {dispid, &Route<Handler>::Call, &Route<Handler>::kInfo};
}

// DISPIDs 1 to 20 of the softphone's event interface, in DISPID order.
constexpr EventSinkEntry EventSinkMap[] = {
    Entry<&CEventSink::OnPartyHangup>(1),          Entry<&CEventSink::OnPartyBusy>(2),
    Entry<&CEventSink::OnPartyPickup>(3),          Entry<&CEventSink::OnIncomingCall>(4),
    Entry<&CEventSink::IgnoreEventNoArgs>(5),      Entry<&CEventSink::IgnoreEventNoArgs>(6),
    Entry<&CEventSink::IgnoreEventTwoArgs>(7),     Entry<&CEventSink::IgnoreEventNumberBool>(8),
    Entry<&CEventSink::IgnoreEventOneArg>(9),      Entry<&CEventSink::IgnoreEventOneArg>(10),
    Entry<&CEventSink::OnLineUpdate>(11),          Entry<&CEventSink::OnSpeedDialUpdate>(12),
    Entry<&CEventSink::OnCallParkReturned>(13),    Entry<&CEventSink::IgnoreEventBoolNumber>(14),
    Entry<&CEventSink::IgnoreEventOneBool>(15),    Entry<&CEventSink::OnCallManagerStatus>(16),
    Entry<&CEventSink::OnConnectionKeepAlive>(17), Entry<&CEventSink::OnIPCCAgentState>(18),
    Entry<&CEventSink::OnIPCCReasonCode>(19),      Entry<&CEventSink::OnCallStatsUpdate>(20),
};

const EventSinkEntry* FindEntry(int32_t dispid) {
    for (const EventSinkEntry& entry : EventSinkMap) {
        if (entry.dispid == dispid) return &entry;
    }
    return nullptr;
}

}  // namespace

const EventCallInfo* FindEventCallInfo(int32_t dispid) {
    const EventSinkEntry* entry = FindEntry(dispid);
    return entry ? entry->info : nullptr;
}

CEventSink::CEventSink(ISoftphone* softphone, CSoftphoneControl* owner)
    : m_pSoftphone(softphone), m_pOwner(owner) {
    if (!m_pSoftphone) return;
    auto* source = dynamic_cast<IEventSource*>(m_pSoftphone);
    uint32_t cookie = kNotConnected;
    bool connected = false;
    try {
        connected = source && source->Advise(*this, cookie);
    } catch (...) {
        connected = false;
    }
    if (connected) {
        m_dwAdviseCookie = cookie;
    } else {
        quvo::PrintEvent("Error : CEventSink::DispEventAdvise failed - will not receive events");
    }
}

CEventSink::~CEventSink() {
    // An abandoned sink may outlive its softphone object: it touches it only while connected.
    if (!m_pSoftphone || !IsConnected()) return;
    if (auto* source = dynamic_cast<IEventSource*>(m_pSoftphone)) {
        try {
            source->Unadvise(m_dwAdviseCookie);
        } catch (...) {
            // Disconnecting is best effort.
        }
    }
    m_dwAdviseCookie = kNotConnected;
}

void CEventSink::Invoke(int32_t dispid, const EventArgs& args) {
    const EventSinkEntry* entry = FindEntry(dispid);
    if (!entry) return;
    const EventCallInfo& info = *entry->info;
    if (args.size() != info.paramCount) return;
    for (size_t i = 0; i < args.size(); ++i) {
        if (!HasType(args[i], info.paramTypes[i])) return;
    }
    try {
        entry->call(*this, args);
    } catch (...) {
        // Nothing that arrives with an event may end the process.
    }
}

}  // namespace quvo::link

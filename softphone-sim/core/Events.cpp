#include "Events.h"

#include <cerrno>
#include <cstdlib>
#include <stdexcept>

#include "Text.h"

namespace quvo::sim {

const std::vector<EventInfo>& EventTable() {
    // 5-10, 14 and 15 carry the names of the type library; the console accepts and ignores them.
    static const std::vector<EventInfo> kEvents = {
        {1, "PartyHangup", "i"},
        {2, "PartyBusy", "i"},
        {3, "PartyPickup", "i"},
        {4, "IncomingCall", "iss"},
        {5, "Reserved5", ""},
        {6, "Reserved6", ""},
        {7, "Reserved7", "si"},
        {8, "Reserved8", "ib"},
        {9, "Reserved9", "i"},
        {10, "Reserved10", "i"},
        {11, "LineUpdate", "iissisiii"},
        {12, "SpeedDialUpdate", "isii"},
        {13, "CallParkReturned", "s"},
        {14, "Reserved14", "bi"},
        {15, "Reserved15", "b"},
        {16, "CallManagerStatus", "i"},
        {17, "ConnectionKeepAlive", ""},
        {18, "IPCCAgentState", "is"},
        {19, "IPCCReasonCode", "iis"},
        {20, "CallStatsUpdate", "isssiiiiii"},
    };
    return kEvents;
}

const EventInfo* FindEvent(int32_t dispid) {
    for (const EventInfo& e : EventTable())
        if (e.dispid == dispid) return &e;
    return nullptr;
}

int32_t ParseEventId(const std::string& word) {
    if (int32_t number = 0; ParseInt32(word, number)) return number;
    for (const EventInfo& e : EventTable())
        if (EqualsNoCase(word, e.name)) return e.dispid;
    throw std::invalid_argument("'" + word +
                                "' is neither an event name nor a DISPID (see ctl events --list)");
}

Arg ParseTypedArg(const std::string& word) {
    if (word.rfind("i:", 0) == 0) {
        int32_t number = 0;
        if (!ParseInt32(word.substr(2), number))
            throw std::invalid_argument("an i: argument must be a number, not '" + word.substr(2) + "'");
        return number;
    }
    if (word.rfind("s:", 0) == 0) return word.substr(2);
    if (word == "b:true" || word == "b:1") return true;
    if (word == "b:false" || word == "b:0") return false;
    throw std::invalid_argument("argument '" + word + "' is not i:NUMBER, s:TEXT or b:true|false");
}

std::vector<std::string> EventListLines() {
    std::vector<std::string> lines;
    for (const EventInfo& e : EventTable()) {
        std::string types;
        for (const char* t = e.types; *t; ++t) {
            if (!types.empty()) types += ',';
            types += *t == 'i' ? "I4" : *t == 's' ? "BSTR" : "BOOL";
        }
        lines.push_back(std::to_string(e.dispid) + " " + e.name + (types.empty() ? "" : " " + types));
    }
    return lines;
}

}  // namespace quvo::sim

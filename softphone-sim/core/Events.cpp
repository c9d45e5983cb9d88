#include "Events.h"

#include <cerrno>
#include <cstdlib>
#include <stdexcept>

#include "Text.h"
#include "contract/SoftphoneContract.h"

namespace quvo::sim {

const std::vector<EventInfo>& EventTable() {
    static const std::vector<EventInfo> kEvents = [] {
        std::vector<EventInfo> events;
        for (const bus::Event& e : bus::kEvents) events.push_back({e.dispid, e.name, e.signature});
        return events;
    }();
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

#include "Media.h"

#include <mediastreamer2/msfactory.h>
#include <mediastreamer2/mssndcard.h>

#include <algorithm>
#include <memory>

namespace quvo::sip {
namespace {

struct FactoryDeleter {
    void operator()(MSFactory* factory) const { ms_factory_destroy(factory); }
};
using Factory = std::unique_ptr<MSFactory, FactoryDeleter>;

}  // namespace

std::vector<SoundDevice> ListSoundDevices() {
    Factory factory(ms_factory_new_with_voip());
    std::vector<SoundDevice> devices;
    if (!factory) return devices;
    for (const MSList* it = ms_snd_card_manager_get_list(ms_factory_get_snd_card_manager(factory.get())); it;
         it = it->next) {
        const auto* card = static_cast<const MSSndCard*>(it->data);
        const unsigned caps = ms_snd_card_get_capabilities(card);
        const char* id = ms_snd_card_get_string_id(card);
        const char* name = ms_snd_card_get_name(card);
        if (!id) continue;
        devices.push_back({id, name ? name : "", (caps & MS_SND_CARD_CAP_CAPTURE) != 0,
                           (caps & MS_SND_CARD_CAP_PLAYBACK) != 0});
    }
    return devices;
}

std::string DeviceListing(const std::vector<SoundDevice>& devices) {
    std::string text;
    for (const SoundDevice& d : devices) {
        if (!d.capture && !d.playback) continue;
        text += d.id + "\t" + (d.capture ? "capture" : "") + (d.capture && d.playback ? "," : "") +
                (d.playback ? "playback" : "") + "\n";
    }
    return text;
}

std::string FindSoundDevice(const std::vector<SoundDevice>& devices, const std::string& wanted,
                            bool capture) {
    auto able = [capture](const SoundDevice& d) { return capture ? d.capture : d.playback; };
    for (const SoundDevice& d : devices)
        if (able(d) && d.id == wanted) return d.id;
    // By its own name only when that picks one device.
    std::string found;
    for (const SoundDevice& d : devices)
        if (able(d) && d.name == wanted) {
            if (!found.empty()) return {};
            found = d.id;
        }
    return found;
}

std::string CodecProblem(const std::vector<std::string>& names) {
    if (names.empty()) return {};
    Factory factory(ms_factory_new_with_voip());
    for (const std::string& name : names) {
        const std::string mime = name.substr(0, name.find('/'));
        if (!factory || !ms_factory_codec_supported(factory.get(), mime.c_str()))
            return "sSipCodecs names '" + name + "', a codec this phone does not have";
    }
    return {};
}

}  // namespace quvo::sip

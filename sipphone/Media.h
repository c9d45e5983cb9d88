// What the media library of this machine offers the phone: its sound devices, as the
// device settings name them, and its codecs, as sSipCodecs names them.
#pragma once

#include <string>
#include <vector>

namespace quvo::sip {

struct SoundDevice {
    std::string id;    // what the settings take, and what --list-devices prints
    std::string name;  // the card's own name (a PulseAudio sink or source, say)
    bool capture = false;
    bool playback = false;
};

// The machine's sound devices, found the way the SIP core finds them (without one).
std::vector<SoundDevice> ListSoundDevices();

// --list-devices: one line per device, its id, a tab, and what it does ("capture",
// "playback" or "capture,playback").
std::string DeviceListing(const std::vector<SoundDevice>& devices);

// The id of the device that wanted names (its id, else its own name, compared exactly)
// among those that can capture (or play); empty when there is none.
std::string FindSoundDevice(const std::vector<SoundDevice>& devices, const std::string& wanted, bool capture);

// A reason to refuse sSipCodecs: the first name that the media library has no codec of
// (NAME or NAME/RATE); empty when it has them all.
std::string CodecProblem(const std::vector<std::string>& names);

// The default codec order: these first, then the library's other enabled codecs.
inline const std::vector<std::string> kDefaultCodecOrder = {"opus", "G722", "PCMU", "PCMA"};

}  // namespace quvo::sip

// A sound card for machines without one: its microphone is a sine tone and its speaker a
// WAV file (or nothing). It is registered with mediastreamer like any other card, so the
// call's audio takes the normal path through it: mute, gains and conference mixing act on
// the tone and on what the file records.
#pragma once

#include <string>

struct _MSFactory;

namespace quvo::sip {

struct NullCardConfig {
    int toneHz = 440;        // 0: silence
    std::string recordPath;  // empty: what the far end says goes nowhere
};

// The card's sample rate: the stream resamples to and from it.
inline constexpr int kNullCardRate = 16000;

// Registers the card with the factory's card manager (once per process) and returns its
// device id, as the core names it ("QUVO: Null sound card").
std::string RegisterNullSoundCard(_MSFactory* factory, const NullCardConfig& config);

// Finishes the WAV file's header; called when the phone stops.
void CloseNullSoundCardRecording();

}  // namespace quvo::sip

#include "NullSoundCard.h"

#include <fcntl.h>
#include <mediastreamer2/msfactory.h>
#include <mediastreamer2/msfilter.h>
#include <mediastreamer2/msqueue.h>
#include <mediastreamer2/mssndcard.h>
#include <mediastreamer2/msticker.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <numbers>

namespace quvo::sip {
namespace {

constexpr const char* kDriver = "QUVO";
constexpr const char* kCardName = "Null sound card";
constexpr double kToneLevel = 0.3;  // of full scale: -10 dBFS, clear of clipping with +12 dB gain

// What the card plays and records, shared by every reader and writer it makes. The
// filters run on mediastreamer's ticker thread, the phone on its own: the file is locked.
struct CardState {
    int toneHz = 440;
    std::mutex mutex;
    int fd = -1;
    uint32_t dataBytes = 0;
};
CardState g_card;

// ---- the WAV file (16-bit mono at kNullCardRate) ------------------------------------------

void Put32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
void Put16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

void WriteHeader(int fd, uint32_t dataBytes) {
    uint8_t h[44];
    std::memcpy(h, "RIFF", 4);
    Put32(h + 4, 36 + dataBytes);
    std::memcpy(h + 8, "WAVEfmt ", 8);
    Put32(h + 16, 16);
    Put16(h + 20, 1);  // PCM
    Put16(h + 22, 1);  // mono
    Put32(h + 24, kNullCardRate);
    Put32(h + 28, kNullCardRate * 2);
    Put16(h + 32, 2);
    Put16(h + 34, 16);
    std::memcpy(h + 36, "data", 4);
    Put32(h + 40, dataBytes);
    // The header is rewritten after every block, so the file is whole at any moment.
    (void)!::pwrite(fd, h, sizeof h, 0);
}

void Record(const uint8_t* data, size_t size) {
    std::lock_guard lock(g_card.mutex);
    if (g_card.fd < 0 || size == 0) return;
    if (::pwrite(g_card.fd, data, size, 44 + static_cast<off_t>(g_card.dataBytes)) !=
        static_cast<ssize_t>(size))
        return;
    g_card.dataBytes += static_cast<uint32_t>(size);
    WriteHeader(g_card.fd, g_card.dataBytes);
}

// ---- filters --------------------------------------------------------------------------------

struct ToneSource {
    uint64_t produced = 0;  // samples since the stream started
    uint64_t startMs = 0;
    bool started = false;
    double phase = 0;
};

void ToneInit(MSFilter* f) {
    f->data = new ToneSource();
}
void ToneUninit(MSFilter* f) {
    delete static_cast<ToneSource*>(f->data);
}

// Produces as many samples as the ticker's clock says are due, so that the tone keeps
// real time whatever the tick.
void ToneProcess(MSFilter* f) {
    auto* s = static_cast<ToneSource*>(f->data);
    if (!s->started) {
        s->started = true;
        s->startMs = f->ticker->time;
    }
    const uint64_t due = (f->ticker->time - s->startMs) * kNullCardRate / 1000;
    if (due <= s->produced) return;
    const size_t count = static_cast<size_t>(due - s->produced);
    mblk_t* m = allocb(count * 2, 0);
    const double step = 2 * std::numbers::pi * g_card.toneHz / kNullCardRate;
    for (size_t i = 0; i < count; ++i) {
        const auto sample =
            static_cast<int16_t>(g_card.toneHz > 0 ? std::sin(s->phase) * kToneLevel * 32767 : 0);
        std::memcpy(m->b_wptr, &sample, 2);
        m->b_wptr += 2;
        s->phase += step;
        if (s->phase > 2 * std::numbers::pi) s->phase -= 2 * std::numbers::pi;
    }
    s->produced = due;
    ms_queue_put(f->outputs[0], m);
}

void SinkProcess(MSFilter* f) {
    while (mblk_t* m = ms_queue_get(f->inputs[0])) {
        for (mblk_t* part = m; part; part = part->b_cont)
            Record(part->b_rptr, static_cast<size_t>(part->b_wptr - part->b_rptr));
        freemsg(m);
    }
}

int SetRate(MSFilter*, void* arg) {
    // Any other rate is refused, and the stream puts a resampler in between.
    return *static_cast<int*>(arg) == kNullCardRate ? 0 : -1;
}
int GetRate(MSFilter*, void* arg) {
    *static_cast<int*>(arg) = kNullCardRate;
    return 0;
}
int SetChannels(MSFilter*, void* arg) {
    return *static_cast<int*>(arg) == 1 ? 0 : -1;
}
int GetChannels(MSFilter*, void* arg) {
    *static_cast<int*>(arg) = 1;
    return 0;
}

MSFilterMethod g_methods[] = {
    {MS_FILTER_SET_SAMPLE_RATE, SetRate},
    {MS_FILTER_GET_SAMPLE_RATE, GetRate},
    {MS_FILTER_SET_NCHANNELS, SetChannels},
    {MS_FILTER_GET_NCHANNELS, GetChannels},
    {0, nullptr},
};

MSFilterDesc g_readerDesc = {
    MS_FILTER_PLUGIN_ID,
    "QuvoToneRead",
    "The null card's microphone: a sine tone",
    MS_FILTER_OTHER,
    nullptr,
    0,
    1,
    ToneInit,
    nullptr,
    ToneProcess,
    nullptr,
    ToneUninit,
    g_methods,
    0,
};

MSFilterDesc g_writerDesc = {
    MS_FILTER_PLUGIN_ID,
    "QuvoWavWrite",
    "The null card's speaker: a WAV file",
    MS_FILTER_OTHER,
    nullptr,
    1,
    0,
    nullptr,
    nullptr,
    SinkProcess,
    nullptr,
    nullptr,
    g_methods,
    0,
};

// ---- the card -------------------------------------------------------------------------------

MSFilter* CreateReader(MSSndCard* card) {
    return ms_factory_create_filter_from_desc(card->sndcardmanager->factory, &g_readerDesc);
}
MSFilter* CreateWriter(MSSndCard* card) {
    return ms_factory_create_filter_from_desc(card->sndcardmanager->factory, &g_writerDesc);
}

MSSndCardDesc g_cardDesc = {};

void Detect(MSSndCardManager* manager) {
    MSSndCard* card = ms_snd_card_new_with_name(&g_cardDesc, kCardName);
    card->capabilities = MS_SND_CARD_CAP_CAPTURE | MS_SND_CARD_CAP_PLAYBACK;
    card->preferred_sample_rate = kNullCardRate;
    ms_snd_card_manager_add_card(manager, card);
}

}  // namespace

std::string RegisterNullSoundCard(_MSFactory* factory, const NullCardConfig& config) {
    g_card.toneHz = config.toneHz;
    {
        std::lock_guard lock(g_card.mutex);
        if (g_card.fd < 0 && !config.recordPath.empty()) {
            g_card.fd = ::open(config.recordPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
            if (g_card.fd >= 0) WriteHeader(g_card.fd, 0);
        }
    }
    if (!g_cardDesc.driver_type) {
        g_cardDesc.driver_type = kDriver;
        g_cardDesc.detect = Detect;
        g_cardDesc.create_reader = CreateReader;
        g_cardDesc.create_writer = CreateWriter;
    }
    MSSndCardManager* manager = ms_factory_get_snd_card_manager(factory);
    if (!ms_snd_card_manager_get_card(manager, (std::string(kDriver) + ": " + kCardName).c_str()))
        ms_snd_card_manager_register_desc(manager, &g_cardDesc);
    return std::string(kDriver) + ": " + kCardName;
}

void CloseNullSoundCardRecording() {
    std::lock_guard lock(g_card.mutex);
    if (g_card.fd < 0) return;
    WriteHeader(g_card.fd, g_card.dataBytes);
    ::close(g_card.fd);
    g_card.fd = -1;
}

}  // namespace quvo::sip

// Audio files through libsndfile.
#include <sndfile.h>

#include <cerrno>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "wav.h"

struct wav_reader {
    SNDFILE* f;
    SF_INFO info;
    float buf[4096 * 8];
};

struct wav_writer {
    SNDFILE* f;
    uint32_t channels;
    float buf[4096 * 2];
};

wav_reader* wav_open_read(const char* path, char* err, size_t cap) {
    auto* r = static_cast<wav_reader*>(std::calloc(1, sizeof(wav_reader)));
    if (!r) {
        std::snprintf(err, cap, "out of memory");
        return nullptr;
    }
    r->f = sf_open(path, SFM_READ, &r->info);
    if (!r->f) {
        FILE* probe = std::fopen(path, "rb");
        if (!probe) {
            std::snprintf(err, cap, "cannot open input %s: %s", path, std::strerror(errno));
        } else {
            std::fclose(probe);
            std::snprintf(err, cap, "input %s is not a WAV or other audio file this host reads (%s)", path,
                          sf_strerror(nullptr));
        }
        std::free(r);
        return nullptr;
    }
    if (r->info.channels < 1 || r->info.channels > 2) {
        std::snprintf(err, cap, "input %s has %d channels; only mono and stereo are supported", path,
                      r->info.channels);
        sf_close(r->f);
        std::free(r);
        return nullptr;
    }
    if (r->info.samplerate <= 0) {
        std::snprintf(err, cap, "input %s has no valid sample rate", path);
        sf_close(r->f);
        std::free(r);
        return nullptr;
    }
    return r;
}

uint32_t wav_channels(const wav_reader* r) {
    return uint32_t(r->info.channels);
}

double wav_rate(const wav_reader* r) {
    return double(r->info.samplerate);
}

int64_t wav_frames(const wav_reader* r) {
    return r->info.frames > 0 ? int64_t(r->info.frames) : -1;
}

uint32_t wav_read(wav_reader* r, float* left, float* right, uint32_t frames) {
    uint32_t ch = uint32_t(r->info.channels);
    uint32_t done = 0;
    while (done < frames) {
        uint32_t want = frames - done;
        uint32_t cap = uint32_t(sizeof(r->buf) / sizeof(float)) / ch;
        if (want > cap) want = cap;
        sf_count_t got = sf_readf_float(r->f, r->buf, sf_count_t(want));
        if (got <= 0) break;
        for (sf_count_t i = 0; i < got; ++i) {
            left[done + i] = r->buf[i * ch];
            right[done + i] = ch > 1 ? r->buf[i * ch + 1] : r->buf[i * ch];
        }
        done += uint32_t(got);
    }
    return done;
}

void wav_close_read(wav_reader* r) {
    if (!r) return;
    sf_close(r->f);
    std::free(r);
}

wav_writer* wav_open_write(const char* path, double rate, uint32_t channels, char* err, size_t cap) {
    auto* w = static_cast<wav_writer*>(std::calloc(1, sizeof(wav_writer)));
    if (!w) {
        std::snprintf(err, cap, "out of memory");
        return nullptr;
    }
    SF_INFO info{};
    info.samplerate = int(rate + 0.5);
    info.channels = int(channels);
    info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    w->f = sf_open(path, SFM_WRITE, &info);
    if (!w->f) {
        std::snprintf(err, cap, "cannot write output %s: %s", path, sf_strerror(nullptr));
        std::free(w);
        return nullptr;
    }
    w->channels = channels;
    return w;
}

bool wav_write(wav_writer* w, const float* left, const float* right, uint32_t frames) {
    uint32_t done = 0;
    while (done < frames) {
        uint32_t n = frames - done;
        if (n > 4096) n = 4096;
        for (uint32_t i = 0; i < n; ++i) {
            w->buf[i * w->channels] = left[done + i];
            if (w->channels > 1) w->buf[i * w->channels + 1] = right[done + i];
        }
        if (sf_writef_float(w->f, w->buf, sf_count_t(n)) != sf_count_t(n)) return false;
        done += n;
    }
    return true;
}

bool wav_close_write(wav_writer* w) {
    if (!w) return false;
    bool ok = sf_close(w->f) == 0;
    std::free(w);
    return ok;
}

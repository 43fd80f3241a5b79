// Audio files as RIFF/WAVE read and written by hand, for builds without libsndfile (the Windows
// build). Reads PCM of 8, 16, 24 or 32 bits and IEEE float of 32 or 64 bits, plain or
// WAVE_FORMAT_EXTENSIBLE, mono or stereo; writes 32-bit float. Integer samples scale by 2^-(bits-1)
// (8-bit data is unsigned around 128), as libsndfile scales them, so both builds read a file alike.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "wav.h"

namespace {

constexpr uint16_t FORMAT_PCM = 1, FORMAT_FLOAT = 3, FORMAT_EXTENSIBLE = 0xFFFE;
constexpr uint32_t READ_CHUNK_FRAMES = 4096;
constexpr uint32_t MAX_FRAME_BYTES = 2 * 8; // stereo of 64-bit samples

uint16_t le16(const unsigned char* p) {
    return uint16_t(p[0] | (p[1] << 8));
}
uint32_t le32(const unsigned char* p) {
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}
void put16(unsigned char* p, uint32_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}
void put32(unsigned char* p, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = uint8_t(v >> (8 * i));
}

// 64-bit file positions (a long has 32 bits on Windows).
int file_seek(FILE* f, int64_t offset, int whence) {
#if defined(_WIN32)
    return _fseeki64(f, offset, whence);
#else
    return fseeko(f, off_t(offset), whence);
#endif
}
int64_t file_tell(FILE* f) {
#if defined(_WIN32)
    return _ftelli64(f);
#else
    return int64_t(ftello(f));
#endif
}

// One sample of the data chunk as a float.
float sample_of(const unsigned char* p, uint16_t format, uint16_t bits) {
    if (format == FORMAT_FLOAT) {
        if (bits == 32) {
            uint32_t u = le32(p);
            float f;
            std::memcpy(&f, &u, 4);
            return f;
        }
        uint64_t u = uint64_t(le32(p)) | (uint64_t(le32(p + 4)) << 32);
        double d;
        std::memcpy(&d, &u, 8);
        return float(d);
    }
    switch (bits) {
        case 8:
            return float(int(p[0]) - 128) * (1.0f / 128.0f);
        case 16:
            return float(int16_t(le16(p))) * (1.0f / 32768.0f);
        case 24: {
            int32_t v = int32_t(uint32_t(p[0]) << 8 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 24) >> 8;
            return float(v) * (1.0f / 8388608.0f);
        }
        default:
            return float(double(int32_t(le32(p))) * (1.0 / 2147483648.0));
    }
}

} // namespace

struct wav_reader {
    FILE* f;
    uint16_t format, channels, bits, block_align;
    uint32_t rate;
    uint64_t frames_left;
    int64_t frames;
    unsigned char buf[READ_CHUNK_FRAMES * MAX_FRAME_BYTES];
};

struct wav_writer {
    FILE* f;
    uint32_t channels;
    uint64_t data_bytes;
    bool failed;
    unsigned char buf[4096 * 2 * 4];
};

static wav_reader* read_fail(wav_reader* r, char* err, size_t cap, const char* path, const char* why) {
    std::snprintf(err, cap, "input %s is not a WAV or other audio file this host reads (%s)", path, why);
    std::fclose(r->f);
    std::free(r);
    return nullptr;
}

wav_reader* wav_open_read(const char* path, char* err, size_t cap) {
    auto* r = static_cast<wav_reader*>(std::calloc(1, sizeof(wav_reader)));
    if (!r) {
        std::snprintf(err, cap, "out of memory");
        return nullptr;
    }
    r->f = std::fopen(path, "rb");
    if (!r->f) {
        std::snprintf(err, cap, "cannot open input %s: %s", path, std::strerror(errno));
        std::free(r);
        return nullptr;
    }
    unsigned char head[12];
    if (std::fread(head, 1, 12, r->f) != 12 || std::memcmp(head, "RIFF", 4) ||
        std::memcmp(head + 8, "WAVE", 4))
        return read_fail(r, err, cap, path, "no RIFF/WAVE header");

    bool have_fmt = false;
    uint32_t data_size = 0;
    for (;;) {
        unsigned char ch[8];
        if (std::fread(ch, 1, 8, r->f) != 8) return read_fail(r, err, cap, path, "no data chunk");
        const uint32_t size = le32(ch + 4);
        if (!std::memcmp(ch, "fmt ", 4)) {
            unsigned char fmt[40] = {};
            if (size < 16) return read_fail(r, err, cap, path, "short fmt chunk");
            const uint32_t take = size < sizeof fmt ? size : uint32_t(sizeof fmt);
            if (std::fread(fmt, 1, take, r->f) != take)
                return read_fail(r, err, cap, path, "short fmt chunk");
            if (size > take && std::fseek(r->f, long(size - take), SEEK_CUR) != 0)
                return read_fail(r, err, cap, path, "short fmt chunk");
            r->format = le16(fmt);
            r->channels = le16(fmt + 2);
            r->rate = le32(fmt + 4);
            r->block_align = le16(fmt + 12);
            r->bits = le16(fmt + 14);
            // WAVE_FORMAT_EXTENSIBLE: the real format is the first two bytes of the sub-format GUID.
            if (r->format == FORMAT_EXTENSIBLE) {
                if (size < 40) return read_fail(r, err, cap, path, "short extensible fmt chunk");
                r->format = le16(fmt + 24);
            }
            have_fmt = true;
            if ((size & 1) && std::fseek(r->f, 1, SEEK_CUR) != 0)
                return read_fail(r, err, cap, path, "truncated chunk");
        } else if (!std::memcmp(ch, "data", 4)) {
            if (!have_fmt) return read_fail(r, err, cap, path, "data before fmt");
            data_size = size;
            break;
        } else if (file_seek(r->f, int64_t(size) + (size & 1), SEEK_CUR) != 0) {
            return read_fail(r, err, cap, path, "truncated chunk");
        }
    }

    const bool pcm_ok =
        r->format == FORMAT_PCM && (r->bits == 8 || r->bits == 16 || r->bits == 24 || r->bits == 32);
    const bool float_ok = r->format == FORMAT_FLOAT && (r->bits == 32 || r->bits == 64);
    if (!pcm_ok && !float_ok) return read_fail(r, err, cap, path, "unsupported sample format");
    if (r->channels < 1 || r->channels > 2) {
        std::snprintf(err, cap, "input %s has %d channels; only mono and stereo are supported", path,
                      int(r->channels));
        std::fclose(r->f);
        std::free(r);
        return nullptr;
    }
    if (r->rate == 0) {
        std::snprintf(err, cap, "input %s has no valid sample rate", path);
        std::fclose(r->f);
        std::free(r);
        return nullptr;
    }
    if (r->block_align != r->channels * (r->bits / 8))
        return read_fail(r, err, cap, path, "bad block alignment");

    // The data chunk's size, checked against what the file holds (a streamed file may say 0 or more).
    const int64_t data_start = file_tell(r->f);
    file_seek(r->f, 0, SEEK_END);
    const int64_t end = file_tell(r->f);
    file_seek(r->f, data_start, SEEK_SET);
    const uint64_t present = end > data_start ? uint64_t(end - data_start) : 0;
    uint64_t declared = data_size;
    if (declared == 0 || declared > present) declared = present;
    r->frames_left = declared / r->block_align;
    r->frames = int64_t(r->frames_left);
    return r;
}

uint32_t wav_channels(const wav_reader* r) {
    return r->channels;
}

double wav_rate(const wav_reader* r) {
    return double(r->rate);
}

int64_t wav_frames(const wav_reader* r) {
    return r->frames > 0 ? r->frames : -1;
}

uint32_t wav_read(wav_reader* r, float* left, float* right, uint32_t frames) {
    const uint32_t bytes = r->bits / 8;
    uint32_t done = 0;
    while (done < frames && r->frames_left > 0) {
        uint32_t want = frames - done;
        if (want > READ_CHUNK_FRAMES) want = READ_CHUNK_FRAMES;
        if (want > r->frames_left) want = uint32_t(r->frames_left);
        const size_t got = std::fread(r->buf, r->block_align, want, r->f);
        if (got == 0) break;
        for (size_t i = 0; i < got; ++i) {
            const unsigned char* frame = r->buf + i * r->block_align;
            left[done + i] = sample_of(frame, r->format, r->bits);
            right[done + i] = r->channels > 1 ? sample_of(frame + bytes, r->format, r->bits) : left[done + i];
        }
        done += uint32_t(got);
        r->frames_left -= got;
    }
    return done;
}

void wav_close_read(wav_reader* r) {
    if (!r) return;
    std::fclose(r->f);
    std::free(r);
}

// The 44-byte header of a 32-bit float file with `data_bytes` of samples.
static void float_header(unsigned char* h, uint32_t rate, uint32_t channels, uint32_t data_bytes) {
    std::memcpy(h, "RIFF", 4);
    put32(h + 4, 36 + data_bytes);
    std::memcpy(h + 8, "WAVEfmt ", 8);
    put32(h + 16, 16);
    put16(h + 20, FORMAT_FLOAT);
    put16(h + 22, channels);
    put32(h + 24, rate);
    put32(h + 28, rate * channels * 4);
    put16(h + 32, channels * 4);
    put16(h + 34, 32);
    std::memcpy(h + 36, "data", 4);
    put32(h + 40, data_bytes);
}

wav_writer* wav_open_write(const char* path, double rate, uint32_t channels, char* err, size_t cap) {
    if (channels < 1 || channels > 2 || !(rate >= 1 && rate < 4.0e9)) {
        std::snprintf(err, cap, "cannot write output %s: %u channels at %g Hz", path, channels, rate);
        return nullptr;
    }
    auto* w = static_cast<wav_writer*>(std::calloc(1, sizeof(wav_writer)));
    if (!w) {
        std::snprintf(err, cap, "out of memory");
        return nullptr;
    }
    w->f = std::fopen(path, "wb");
    if (!w->f) {
        std::snprintf(err, cap, "cannot write output %s: %s", path, std::strerror(errno));
        std::free(w);
        return nullptr;
    }
    w->channels = channels;
    unsigned char h[44];
    float_header(h, uint32_t(rate + 0.5), channels, 0);
    if (std::fwrite(h, 1, 44, w->f) != 44) {
        std::snprintf(err, cap, "cannot write output %s: %s", path, std::strerror(errno));
        std::fclose(w->f);
        std::free(w);
        return nullptr;
    }
    // The rate is kept in the header written at open; close rewrites only the two sizes.
    return w;
}

bool wav_write(wav_writer* w, const float* left, const float* right, uint32_t frames) {
    uint32_t done = 0;
    while (done < frames) {
        uint32_t n = frames - done;
        if (n > 4096) n = 4096;
        for (uint32_t i = 0; i < n; ++i) {
            uint32_t u;
            std::memcpy(&u, &left[done + i], 4);
            put32(w->buf + (i * w->channels) * 4, u);
            if (w->channels > 1) {
                std::memcpy(&u, &right[done + i], 4);
                put32(w->buf + (i * w->channels + 1) * 4, u);
            }
        }
        const size_t bytes = size_t(n) * w->channels * 4;
        // A RIFF size field holds 32 bits: refuse to grow past it rather than write a broken file.
        if (w->data_bytes + bytes > 0xFFFFFFFFull - 36 || std::fwrite(w->buf, 1, bytes, w->f) != bytes) {
            w->failed = true;
            return false;
        }
        w->data_bytes += bytes;
        done += n;
    }
    return true;
}

bool wav_close_write(wav_writer* w) {
    if (!w) return false;
    bool ok = !w->failed;
    unsigned char sz[4];
    put32(sz, uint32_t(36 + w->data_bytes));
    ok = std::fseek(w->f, 4, SEEK_SET) == 0 && std::fwrite(sz, 1, 4, w->f) == 4 && ok;
    put32(sz, uint32_t(w->data_bytes));
    ok = std::fseek(w->f, 40, SEEK_SET) == 0 && std::fwrite(sz, 1, 4, w->f) == 4 && ok;
    ok = std::fclose(w->f) == 0 && ok;
    std::free(w);
    return ok;
}

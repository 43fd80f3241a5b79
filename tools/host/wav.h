// Reading and writing audio files (WAV through libsndfile) as 32-bit float frames.
#pragma once

#include <cstddef>
#include <cstdint>

struct wav_reader;
struct wav_writer;

// Opens `path` for reading. Null with a message for the user in `err` when the file is missing,
// unreadable or not an audio file with 1 or 2 channels. [main-thread]
wav_reader* wav_open_read(const char* path, char* err, size_t err_cap);
uint32_t wav_channels(const wav_reader* r);
double wav_rate(const wav_reader* r);
int64_t wav_frames(const wav_reader* r); // -1 when unknown
// Reads up to `frames` frames, deinterleaved into left/right (right = left for mono). Returns the
// frames read (0 at the end). [main-thread]
uint32_t wav_read(wav_reader* r, float* left, float* right, uint32_t frames);
void wav_close_read(wav_reader* r);

// Creates `path` as a 32-bit float stereo WAV at `rate`. Null with a message when it cannot.
// [main-thread]
wav_writer* wav_open_write(const char* path, double rate, uint32_t channels, char* err, size_t err_cap);
// Writes frames from left/right (right ignored for mono). False on a write error. [main-thread]
bool wav_write(wav_writer* w, const float* left, const float* right, uint32_t frames);
// Closes the file; false when finishing it failed. [main-thread]
bool wav_close_write(wav_writer* w);

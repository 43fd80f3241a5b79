// Data compiled into the binary. [any-thread]: read-only for the life of the process.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

// The editor's typeface (a TrueType file, Roboto Regular), lodrin_font_size bytes.
extern const unsigned char lodrin_font_data[];
extern const unsigned int lodrin_font_size;

#ifdef __cplusplus
}
#endif

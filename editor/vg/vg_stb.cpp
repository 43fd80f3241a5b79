// The one translation unit that compiles stb_truetype's implementation (Debian's libstb-dev). It is
// built without the project's warning flags: the header is third-party code.
#define STB_TRUETYPE_IMPLEMENTATION
#include <stb_truetype.h>

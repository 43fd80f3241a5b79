// Whether the engine takes its SSE2 paths. A processor without SSE2 (an ARM build) runs the portable
// paths; LODRIN_PORTABLE_ENGINE forces them on any processor, so that an x86 tree builds and tests
// exactly what such a build runs.
#pragma once

#if defined(__SSE2__) && !defined(LODRIN_PORTABLE_ENGINE)
#define LODRIN_ENGINE_SSE2 1
#else
#define LODRIN_ENGINE_SSE2 0
#endif

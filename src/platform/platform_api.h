// Flat entry points through which the plug-in object reaches the engine.
#pragma once

#if defined(_WIN32)
#define TVX_API extern "C" __declspec(dllexport)
#else
#define TVX_API extern "C" __attribute__((visibility("default")))
#endif

// The snapshot as compact JSON text and a line feed, from malloc; release
// with free. Never null.
TVX_API char* platform_getMetricsJson();

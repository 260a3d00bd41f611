// Symbol visibility for the imgnorm shared library: everything is hidden by
// default and only the names marked IMGNORM_API are exported.
#pragma once

#if defined(_WIN32)
#if defined(IMGNORM_BUILDING)
#define IMGNORM_API __declspec(dllexport)
#else
#define IMGNORM_API __declspec(dllimport)
#endif
#else
#define IMGNORM_API __attribute__((visibility("default")))
#endif

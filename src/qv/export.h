// Export marker shared by the engines: every symbol is hidden by default
// (the build sets -fvisibility=hidden), so only what carries QV_API is
// visible in the built module files, under its plain unmangled name.
#pragma once

#define QV_API extern "C" __attribute__((visibility("default")))

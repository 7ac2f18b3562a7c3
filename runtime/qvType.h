// Basic integer types and values shared by every layer of the tunnel library.
#pragma once

#include <cstddef>
#include <cstdint>

typedef uint8_t u8;
typedef uint16_t u16;
typedef uint32_t u32;
typedef uint64_t u64;
typedef int8_t s8;
typedef int16_t s16;
typedef int32_t s32;
typedef int32_t i32;
typedef int64_t s64;

// Searches report this position when nothing was found; failing socket reads and writes
// report it too (as -1 seen unsigned).
#define QV_NOT_FOUND 0xFFFFFFFFu

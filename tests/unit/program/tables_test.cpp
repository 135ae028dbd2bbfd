// The shared tables hold the same bits on every platform, and the bits Linux builds have always
// had: renders of scripts that read them stay identical everywhere.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>

#include "program/tables.h"

namespace {

uint64_t Fnv1a(const double* values, int count) {
    uint64_t hash = 0xcbf29ce484222325ULL;
    for (int i = 0; i < count; ++i) {
        uint64_t bits;
        std::memcpy(&bits, &values[i], sizeof bits);
        for (int b = 0; b < 8; ++b) {
            hash ^= (bits >> (8 * b)) & 0xFF;
            hash *= 0x100000001b3ULL;
        }
    }
    return hash;
}

// The FNV-1a hashes of the tables' bytes as glibc's sin and pow fill them (computed once with
// them), the values every Linux render has used. Running this on Windows proves the DLL's tables identical to Linux's.
TEST(Tables, HoldTheSameBitsOnEveryPlatform) {
    morvanel::FillTables();
    EXPECT_EQ(Fnv1a(morvanel::SineTable, morvanel::kSineTableSize), 0x009f107b8096d454ULL);
    EXPECT_EQ(Fnv1a(morvanel::NoteFrequencyTable, morvanel::kNoteTableSize), 0xf73e015ce51efb5cULL);
}

// Entry for entry against the C runtime's functions where they are glibc's. The first
// difference is reported with both values.
TEST(Tables, EqualGlibcSinAndPowInEveryEntry) {
#if defined(__GLIBC__)
    morvanel::FillTables();
    int differences = 0;
    for (int j = 0; j < morvanel::kSineTableSize && differences < 5; ++j) {
        const float turns = static_cast<float>(j) / 65536.0f;
        const double expected = std::sin(6.283185307 * static_cast<double>(turns));
        if (morvanel::SineTable[j] != expected) {
            ++differences;
            ADD_FAILURE() << "SineTable[" << j << "] is " << std::hexfloat << morvanel::SineTable[j] << ", glibc's sin "
                          << expected;
        }
    }
    EXPECT_EQ(morvanel::NoteFrequencyTable[0], 0.0);
    for (int n = 1; n < morvanel::kNoteTableSize && differences < 5; ++n) {
        const double expected = 13.75 * std::pow(2.0, (n - 9) / 12.0);
        if (morvanel::NoteFrequencyTable[n] != expected) {
            ++differences;
            ADD_FAILURE() << "NoteFrequencyTable[" << n << "] is " << std::hexfloat << morvanel::NoteFrequencyTable[n]
                          << ", glibc's pow gives " << expected;
        }
    }
#else
    GTEST_SKIP() << "skipped: the reference values are glibc's sin and pow, and this C runtime is not glibc";
#endif
}

}  // namespace

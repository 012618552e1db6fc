#pragma once

// The codec's hot stages as a table of functions: a portable scalar table that defines the results,
// and vector tables for x86 chosen at run time. Every table gives the same bits as the scalar one.

#include "viewer/engine/rfx7/Rfx7Codec.h"

struct Rfx7Kernels {
    const char* name;
    void (*dequantizePlane)(int16_t* plane, const Rfx7QuantSet& quant);
    void (*addCoefficients)(int16_t* destination, const int16_t* source, size_t count); // wraps to 16 bits
    void (*inverseDwt)(int16_t* plane, int16_t* scratch);
    void (*yCbCrToArgb)(const int16_t* y, const int16_t* cb, const int16_t* cr, const uint8_t* alpha,
                        uint8_t* destination, ptrdiff_t strideBytes);
};

const Rfx7Kernels& rfx7ScalarKernels();
// Null when the processor (or the build's target) lacks the instructions.
const Rfx7Kernels* rfx7Sse2Kernels();
const Rfx7Kernels* rfx7Avx2Kernels();
// The fastest table the processor runs; VELNOR_RFX7_KERNELS=scalar|sse2|avx2 narrows the choice.
const Rfx7Kernels& rfx7ActiveKernels();

// Subband boundaries of one plane in band order LL3, LH3, HL3, HH3, LH2, HL2, HH2, LH1, HL1, HH1
// (the quantiser order): start index and length.
struct Rfx7Band {
    int start;
    int length;
};
extern const Rfx7Band kRfx7Bands[10];

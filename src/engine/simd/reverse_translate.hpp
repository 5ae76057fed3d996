// Reversing bytes while mapping each through a table: the kernel under reverse complement.
#pragma once

#include <array>
#include <cstddef>

#include "engine/simd/cpu.hpp"

namespace sekva {

using ByteTable = std::array<unsigned char, 256>;

// dst[i] = table[src[n - 1 - i]] for i < n; src and dst do not overlap.
using ReverseTranslateKernel = void (*)(const char* src, std::size_t n, char* dst, const ByteTable& table);
// The same over p[0, n) in place.
using ReverseTranslateInPlaceKernel = void (*)(char* p, std::size_t n, const ByteTable& table);

// The kernels for a processor with these features; tests compare them.
ReverseTranslateKernel reverse_translate_kernel(const CpuFeatures& cpu);
ReverseTranslateInPlaceKernel reverse_translate_in_place_kernel(const CpuFeatures& cpu);

inline void reverse_translate(const char* src, std::size_t n, char* dst, const ByteTable& table) {
    static const ReverseTranslateKernel kernel = reverse_translate_kernel(cpu_features());
    kernel(src, n, dst, table);
}

inline void reverse_translate_in_place(char* p, std::size_t n, const ByteTable& table) {
    static const ReverseTranslateInPlaceKernel kernel = reverse_translate_in_place_kernel(cpu_features());
    kernel(p, n, table);
}

}  // namespace sekva

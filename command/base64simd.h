#ifndef BASE64SIMD_H
#define BASE64SIMD_H

#include <QtCore/qglobal.h>

// Base64Codec's vector loops, for the x86 processors that have SSSE3, AVX2 or AVX-512 with VBMI.
// The module is built for the baseline of its architecture, so each loop is compiled for its own
// instruction set and run only where the processor, and for the wider ones the system, says it
// may. Compilers that cannot do that, and other architectures, get none of them; compilers too
// old for the byte permutations of VBMI get the other two.
#if defined(Q_PROCESSOR_X86) && (defined(Q_CC_GNU) || defined(Q_CC_MSVC))
#define BASE64_SIMD
#if defined(Q_CC_CLANG)  ? Q_CC_CLANG >= 600                                                       \
    : defined(Q_CC_MSVC) ? Q_CC_MSVC >= 1920                                                       \
                         : Q_CC_GNU >= 800
#define BASE64_AVX512_VBMI
#endif

namespace Base64Simd {

bool hasSsse3();
bool hasAvx2();
#ifdef BASE64_AVX512_VBMI
bool hasAvx512Vbmi();
#endif

// Encode whole groups of three bytes from the start of `size` bytes at `in`, four characters a
// group at `out`, as far as the loop goes without reading past the end; returns the number of
// bytes encoded, a multiple of three, and leaves the rest to the caller.
int encodeSsse3(const quint8 *in, int size, char *out);
int encodeAvx2(const quint8 *in, int size, char *out);
// The same for the bytes from `from` on of big-endian UTF-16 whose units lie at `units` in the
// processor's order, which is little-endian: byte k is units[k ^ 1].
int encodeSwappedSsse3(const quint8 *units, int from, int size, char *out);
int encodeSwappedAvx2(const quint8 *units, int from, int size, char *out);
#ifdef BASE64_AVX512_VBMI
int encodeAvx512Vbmi(const quint8 *in, int size, char *out);
int encodeSwappedAvx512Vbmi(const quint8 *units, int from, int size, char *out);
#endif

// Decode groups of four characters from the start of `size` characters at `in`, all in the
// alphabet and none of them padding, three bytes a group at `out`, as far as the loop goes
// while `out` has room for size / 4 * 3 bytes; returns the number of characters decoded, a
// multiple of four, or -1 if any of them is outside the alphabet.
int decodeSsse3(const quint8 *in, int size, quint8 *out);
int decodeAvx2(const quint8 *in, int size, quint8 *out);
// The same, with the bytes of every pair swapped, the first pair at `out`: big-endian UTF-16
// goes out in the processor's order, which is little-endian.
int decodeSwappedSsse3(const quint8 *in, int size, quint8 *out);
int decodeSwappedAvx2(const quint8 *in, int size, quint8 *out);
#ifdef BASE64_AVX512_VBMI
int decodeAvx512Vbmi(const quint8 *in, int size, quint8 *out);
int decodeSwappedAvx512Vbmi(const quint8 *in, int size, quint8 *out);
#endif

} // namespace Base64Simd

#endif

#endif

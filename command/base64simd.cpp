#include "base64simd.h"

#ifdef BASE64_SIMD

#include <array>
#include <immintrin.h>
#ifdef Q_CC_MSVC
#include <intrin.h>
#endif

// GCC and Clang compile a function for more than the unit's instruction set only when told;
// MSVC compiles any intrinsic anywhere.
#if defined(Q_CC_GNU) || defined(Q_CC_CLANG)
#define BASE64_TARGET(set) __attribute__((target(set)))
#else
#define BASE64_TARGET(set)
#endif

namespace {

struct Features
{
    bool ssse3;
    bool avx2;
    bool avx512Vbmi;
};

#ifdef Q_CC_GNU
Features detect()
{
    // The run-time library fills in what the processor offers before constructors run, but this
    // may be called from one.
    __builtin_cpu_init();
    // Its AVX2 and AVX-512 also ask whether the system saves the wide registers.
    return { __builtin_cpu_supports("ssse3") != 0, __builtin_cpu_supports("avx2") != 0,
#ifdef BASE64_AVX512_VBMI
        __builtin_cpu_supports("avx512bw") != 0 && __builtin_cpu_supports("avx512vbmi") != 0
#else
        false
#endif
    };
}
#else
BASE64_TARGET("xsave") Features detect()
{
    int info[4];
    __cpuid(info, 0);
    const int leaves = info[0];
    __cpuid(info, 1);
    const bool ssse3 = (info[2] & (1 << 9)) != 0;
    // AVX2 needs the system to save the wide registers as it switches threads; XGETBV says so
    // only where OSXSAVE says it may be run.
    const bool osxsave = (info[2] & (1 << 27)) != 0;
    const bool avx = (info[2] & (1 << 28)) != 0;
    const bool wideRegistersSaved = osxsave && avx && (_xgetbv(0) & 6) == 6;
    bool avx2 = false;
    bool avx512Vbmi = false;
    if (wideRegistersSaved && leaves >= 7) {
        __cpuidex(info, 7, 0);
        avx2 = (info[1] & (1 << 5)) != 0;
        // AVX-512 needs the mask registers and all 32 registers' full width saved as well.
        avx512Vbmi = (_xgetbv(0) & 0xe6) == 0xe6 && (info[1] & (1 << 16)) != 0
            && (info[1] & (1 << 30)) != 0 && (info[2] & (1 << 1)) != 0;
    }
    return { ssse3, avx2, avx512Vbmi };
}
#endif

const Features &features()
{
    static const Features found = detect();
    return found;
}

// Encoding, the same in each 128-bit lane: bytes 0 to 11 are four groups of three. Each group
// is spread over a 32-bit word as bytes b1 b0 b2 b1, so that in the word's two 16-bit halves
// every sextet lies whole; a multiply then moves each to the bottom of its own byte. Each sextet
// becomes a character by adding the distance from its value to its character, which is the same
// for a whole range of the alphabet: the range is told from the value by one saturating
// subtraction and one comparison, and the distance is looked up by it.
#define BASE64_SPREAD 1, 0, 2, 1, 4, 3, 5, 4, 7, 6, 8, 7, 10, 9, 11, 10
// The same spreads for bytes that are UTF-16 units in the wrong order: lane byte k is then taken
// from k ^ 1, or, with the lane loaded from a byte before an odd start, from k when k is even
// and from k + 2 when it is odd.
#define BASE64_SPREAD_SWAPPED 0, 1, 3, 0, 5, 2, 4, 5, 6, 7, 9, 6, 11, 8, 10, 11
#define BASE64_SPREAD_SWAPPED_ODD 3, 0, 2, 3, 4, 5, 7, 4, 9, 6, 8, 9, 10, 11, 13, 10
#define BASE64_DISTANCES                                                                           \
    'a' - 26, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52,      \
        '0' - 52, '0' - 52, '+' - 62, '/' - 63, 'A', 0, 0

// Decoding, the same in each lane: a character is in the alphabet when the class of its high
// nibble (one bit for each of 2 to 7, all bits for the rest) shares no bit with what is invalid
// for its low nibble under each class. Its value is the character plus a distance looked up by
// its high nibble, save '/', which shares its nibble with '+' and is moved to a slot of its own.
// Two multiply-adds then join four sextets into three bytes, which a shuffle sets in order.
#define BASE64_INVALID_FOR_LOW                                                                     \
    0x15, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x13, 0x1a, 0x1b, 0x1b, 0x1b, 0x1a
#define BASE64_HIGH_CLASS                                                                          \
    0x10, 0x10, 0x01, 0x02, 0x04, 0x08, 0x04, 0x08, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10
#define BASE64_VALUE_DISTANCES 0, 16, 19, 4, -65, -65, -71, -71, 0, 0, 0, 0, 0, 0, 0, 0
#define BASE64_GATHER 2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1
// The same bytes with those of each pair swapped, for UTF-16 that starts on an even byte.
#define BASE64_GATHER_SWAPPED 1, 2, 6, 0, 4, 5, 9, 10, 14, 8, 12, 13, -1, -1, -1, -1

BASE64_TARGET("ssse3") inline __m128i encodeLanes(__m128i bytes, __m128i order)
{
    const __m128i spread = _mm_shuffle_epi8(bytes, order);
    const __m128i firstAndThird = _mm_mulhi_epu16(
        _mm_and_si128(spread, _mm_set1_epi32(0x0fc0fc00)), _mm_set1_epi32(0x04000040));
    const __m128i secondAndFourth = _mm_mullo_epi16(
        _mm_and_si128(spread, _mm_set1_epi32(0x003f03f0)), _mm_set1_epi32(0x01000010));
    const __m128i sextets = _mm_or_si128(firstAndThird, secondAndFourth);
    __m128i range = _mm_subs_epu8(sextets, _mm_set1_epi8(51));
    range = _mm_or_si128(
        range, _mm_and_si128(_mm_cmpgt_epi8(_mm_set1_epi8(26), sextets), _mm_set1_epi8(13)));
    return _mm_add_epi8(sextets, _mm_shuffle_epi8(_mm_setr_epi8(BASE64_DISTANCES), range));
}

BASE64_TARGET("avx2") inline __m256i encodeLanes(__m256i bytes, __m256i order)
{
    const __m256i spread = _mm256_shuffle_epi8(bytes, order);
    const __m256i firstAndThird = _mm256_mulhi_epu16(
        _mm256_and_si256(spread, _mm256_set1_epi32(0x0fc0fc00)), _mm256_set1_epi32(0x04000040));
    const __m256i secondAndFourth = _mm256_mullo_epi16(
        _mm256_and_si256(spread, _mm256_set1_epi32(0x003f03f0)), _mm256_set1_epi32(0x01000010));
    const __m256i sextets = _mm256_or_si256(firstAndThird, secondAndFourth);
    __m256i range = _mm256_subs_epu8(sextets, _mm256_set1_epi8(51));
    range = _mm256_or_si256(range,
        _mm256_and_si256(_mm256_cmpgt_epi8(_mm256_set1_epi8(26), sextets), _mm256_set1_epi8(13)));
    return _mm256_add_epi8(
        sextets, _mm256_shuffle_epi8(_mm256_setr_epi8(BASE64_DISTANCES, BASE64_DISTANCES), range));
}

// The bytes of the lane's sixteen characters, in its first twelve bytes; ORs into `invalid` a
// bit for each character outside the alphabet.
BASE64_TARGET("ssse3") inline __m128i decodeLanes(__m128i text, __m128i *invalid, __m128i order)
{
    const __m128i nibbleMask = _mm_set1_epi8(0x0f);
    const __m128i high = _mm_and_si128(_mm_srli_epi32(text, 4), nibbleMask);
    const __m128i low = _mm_and_si128(text, nibbleMask);
    // Both nibbles masked: a shuffle reads an index with its top bit set as a zero.
    *invalid = _mm_or_si128(*invalid,
        _mm_and_si128(_mm_shuffle_epi8(_mm_setr_epi8(BASE64_HIGH_CLASS), high),
            _mm_shuffle_epi8(_mm_setr_epi8(BASE64_INVALID_FOR_LOW), low)));
    const __m128i slash = _mm_cmpeq_epi8(text, _mm_set1_epi8('/'));
    const __m128i sextets = _mm_add_epi8(
        text, _mm_shuffle_epi8(_mm_setr_epi8(BASE64_VALUE_DISTANCES), _mm_add_epi8(high, slash)));
    const __m128i pairs = _mm_maddubs_epi16(sextets, _mm_set1_epi32(0x01400140));
    const __m128i groups = _mm_madd_epi16(pairs, _mm_set1_epi32(0x00011000));
    return _mm_shuffle_epi8(groups, order);
}

BASE64_TARGET("avx2") inline __m256i decodeLanes(__m256i text, __m256i *invalid, __m256i order)
{
    const __m256i nibbleMask = _mm256_set1_epi8(0x0f);
    const __m256i high = _mm256_and_si256(_mm256_srli_epi32(text, 4), nibbleMask);
    const __m256i low = _mm256_and_si256(text, nibbleMask);
    *invalid = _mm256_or_si256(*invalid,
        _mm256_and_si256(
            _mm256_shuffle_epi8(_mm256_setr_epi8(BASE64_HIGH_CLASS, BASE64_HIGH_CLASS), high),
            _mm256_shuffle_epi8(
                _mm256_setr_epi8(BASE64_INVALID_FOR_LOW, BASE64_INVALID_FOR_LOW), low)));
    const __m256i slash = _mm256_cmpeq_epi8(text, _mm256_set1_epi8('/'));
    const __m256i sextets = _mm256_add_epi8(text,
        _mm256_shuffle_epi8(_mm256_setr_epi8(BASE64_VALUE_DISTANCES, BASE64_VALUE_DISTANCES),
            _mm256_add_epi8(high, slash)));
    const __m256i pairs = _mm256_maddubs_epi16(sextets, _mm256_set1_epi32(0x01400140));
    const __m256i groups = _mm256_madd_epi16(pairs, _mm256_set1_epi32(0x00011000));
    return _mm256_shuffle_epi8(groups, order);
}

#ifdef BASE64_AVX512_VBMI
// With VBMI a byte permutation reaches across the whole 64-byte register, so each table below is
// one register, or two for decoding's 128 characters, rather than a 16-byte table in every lane.
struct Avx512VbmiTables
{
    // Encoding: sixteen groups of three spread over 32-bit words as above, b1 b0 b2 b1; and the
    // same for UTF-16 in the wrong order, as for the narrower loops.
    quint8 spread[64];
    quint8 spreadSwapped[64];
    quint8 spreadSwappedOdd[64];
    // The character of each sextet.
    quint8 alphabet[64];
    // Decoding: the value of each character below 0x80, or 0x80 for one outside the alphabet.
    quint8 values[128];
    // The three bytes of each group of four characters, highest first, side by side; and the
    // same with the bytes of every pair swapped.
    quint8 gather[64];
    quint8 gatherSwapped[64];
};

constexpr Avx512VbmiTables avx512VbmiTables()
{
    constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    Avx512VbmiTables tables {};
    for (int group = 0; group < 16; ++group) {
        tables.spread[4 * group] = quint8(3 * group + 1);
        tables.spread[4 * group + 1] = quint8(3 * group);
        tables.spread[4 * group + 2] = quint8(3 * group + 2);
        tables.spread[4 * group + 3] = quint8(3 * group + 1);
        tables.gather[3 * group] = quint8(4 * group + 2);
        tables.gather[3 * group + 1] = quint8(4 * group + 1);
        tables.gather[3 * group + 2] = quint8(4 * group);
    }
    for (int k = 0; k < 64; ++k) {
        const int from = tables.spread[k];
        tables.spreadSwapped[k] = quint8(from ^ 1);
        tables.spreadSwappedOdd[k] = quint8(from % 2 == 0 ? from : from + 2);
    }
    for (int k = 0; k < 48; ++k)
        tables.gatherSwapped[k] = tables.gather[k ^ 1];
    for (auto &value : tables.values)
        value = 0x80;
    for (int i = 0; i < 64; ++i) {
        tables.alphabet[i] = quint8(alphabet[i]);
        tables.values[quint8(alphabet[i])] = quint8(i);
    }
    return tables;
}

alignas(64) constexpr Avx512VbmiTables Avx512Vbmi = avx512VbmiTables();

// GCC 12 warns that the plain byte permutation and multishift read an uninitialised register,
// which they never do; their zero-masked forms under a full mask are the same instructions.
constexpr __mmask64 AllBytes = ~__mmask64(0);
#endif

} // namespace

bool Base64Simd::hasSsse3()
{
    return features().ssse3;
}

bool Base64Simd::hasAvx2()
{
    return features().avx2;
}

#ifdef BASE64_AVX512_VBMI
bool Base64Simd::hasAvx512Vbmi()
{
    // Short texts go to the AVX2 loops, which every such processor has.
    return features().avx512Vbmi && features().avx2;
}
#endif

namespace {

// Each round reads sixteen bytes from `in` on and encodes twelve of them, in `order`.
BASE64_TARGET("ssse3") int encodeSsse3(const quint8 *in, int size, char *out, __m128i order)
{
    int i = 0;
    for (; i + 16 <= size; i += 12, out += 16) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i *>(in + i));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(out), encodeLanes(bytes, order));
    }
    return i;
}

// Each round reads sixteen bytes into each lane, the second lane's from twelve bytes on, and
// encodes twelve of each.
BASE64_TARGET("avx2") int encodeAvx2(const quint8 *in, int size, char *out, __m256i order)
{
    int i = 0;
    for (; i + 28 <= size; i += 24, out += 32) {
        const __m256i bytes = _mm256_inserti128_si256(
            _mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i *>(in + i))),
            _mm_loadu_si128(reinterpret_cast<const __m128i *>(in + i + 12)), 1);
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(out), encodeLanes(bytes, order));
    }
    return i;
}

} // namespace

BASE64_TARGET("ssse3") int Base64Simd::encodeSsse3(const quint8 *in, int size, char *out)
{
    return ::encodeSsse3(in, size, out, _mm_setr_epi8(BASE64_SPREAD));
}

BASE64_TARGET("avx2") int Base64Simd::encodeAvx2(const quint8 *in, int size, char *out)
{
    return ::encodeAvx2(in, size, out, _mm256_setr_epi8(BASE64_SPREAD, BASE64_SPREAD));
}

// An odd start is read from the byte before it, which the caller's `from` guarantees; the lane
// then ends a byte earlier, so no round reads further than an even start's.
BASE64_TARGET("ssse3")
int Base64Simd::encodeSwappedSsse3(const quint8 *units, int from, int size, char *out)
{
    if (from % 2 == 0)
        return ::encodeSsse3(units + from, size, out, _mm_setr_epi8(BASE64_SPREAD_SWAPPED));
    return ::encodeSsse3(units + from - 1, size, out, _mm_setr_epi8(BASE64_SPREAD_SWAPPED_ODD));
}

BASE64_TARGET("avx2")
int Base64Simd::encodeSwappedAvx2(const quint8 *units, int from, int size, char *out)
{
    if (from % 2 == 0)
        return ::encodeAvx2(units + from, size, out,
            _mm256_setr_epi8(BASE64_SPREAD_SWAPPED, BASE64_SPREAD_SWAPPED));
    return ::encodeAvx2(units + from - 1, size, out,
        _mm256_setr_epi8(BASE64_SPREAD_SWAPPED_ODD, BASE64_SPREAD_SWAPPED_ODD));
}

namespace {

// Each round stores sixteen bytes, of which the last four are written over by the next round or
// by the caller: they must fit the room for what is left.
BASE64_TARGET("ssse3") int decodeSsse3(const quint8 *in, int size, quint8 *out, __m128i order)
{
    __m128i invalid = _mm_setzero_si128();
    int i = 0;
    for (; i + 24 <= size; i += 16, out += 12) {
        const __m128i text = _mm_loadu_si128(reinterpret_cast<const __m128i *>(in + i));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(out), decodeLanes(text, &invalid, order));
    }
    return _mm_movemask_epi8(_mm_cmpeq_epi8(invalid, _mm_setzero_si128())) == 0xffff ? i : -1;
}

// Each round stores 32 bytes, of which the last eight are written over as above.
BASE64_TARGET("avx2") int decodeAvx2(const quint8 *in, int size, quint8 *out, __m256i order)
{
    __m256i invalid = _mm256_setzero_si256();
    int i = 0;
    for (; i + 44 <= size; i += 32, out += 24) {
        const __m256i text = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(in + i));
        // The twelve bytes of each lane side by side.
        const __m256i bytes = _mm256_permutevar8x32_epi32(
            decodeLanes(text, &invalid, order), _mm256_setr_epi32(0, 1, 2, 4, 5, 6, 7, 7));
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(out), bytes);
    }
    return _mm256_testz_si256(invalid, invalid) ? i : -1;
}

} // namespace

BASE64_TARGET("ssse3") int Base64Simd::decodeSsse3(const quint8 *in, int size, quint8 *out)
{
    return ::decodeSsse3(in, size, out, _mm_setr_epi8(BASE64_GATHER));
}

BASE64_TARGET("avx2") int Base64Simd::decodeAvx2(const quint8 *in, int size, quint8 *out)
{
    return ::decodeAvx2(in, size, out, _mm256_setr_epi8(BASE64_GATHER, BASE64_GATHER));
}

BASE64_TARGET("ssse3") int Base64Simd::decodeSwappedSsse3(const quint8 *in, int size, quint8 *out)
{
    return ::decodeSsse3(in, size, out, _mm_setr_epi8(BASE64_GATHER_SWAPPED));
}

BASE64_TARGET("avx2") int Base64Simd::decodeSwappedAvx2(const quint8 *in, int size, quint8 *out)
{
    return ::decodeAvx2(
        in, size, out, _mm256_setr_epi8(BASE64_GATHER_SWAPPED, BASE64_GATHER_SWAPPED));
}

#ifdef BASE64_AVX512_VBMI
#define BASE64_AVX512_VBMI_TARGET BASE64_TARGET("avx512f,avx512bw,avx512vbmi")

namespace {

// Each round reads the bytes `load` picks from `in + i` on, and no further: the load's mask leaves
// out the rest of the register, which the processor then does not touch, even past the end of a
// page. Once spread, every sextet lies whole in its 64-bit word, at a place the same for each
// word: a multishift copies the eight bits from there to the sextet's byte, and the permutation
// that looks the character up reads only the low six of them.
BASE64_AVX512_VBMI_TARGET int encodeAvx512Vbmi(
    const quint8 *in, int size, char *out, const quint8 *order, __mmask64 load)
{
    const __m512i spread = _mm512_loadu_si512(order);
    const __m512i alphabet = _mm512_loadu_si512(Avx512Vbmi.alphabet);
    // Where each character's sextet starts in its 64-bit word: bits 10, 4, 22 and 16 of each
    // 32-bit group, as the narrower loops' multiplies find them.
    const __m512i places = _mm512_set1_epi64(0x3036242a1016040a);
    int i = 0;
    for (; i + 48 <= size; i += 48, out += 64) {
        const __m512i bytes = _mm512_maskz_loadu_epi8(load, in + i);
        const __m512i sextets = _mm512_maskz_multishift_epi64_epi8(
            AllBytes, places, _mm512_maskz_permutexvar_epi8(AllBytes, spread, bytes));
        _mm512_storeu_si512(out, _mm512_maskz_permutexvar_epi8(AllBytes, sextets, alphabet));
    }
    return i;
}

constexpr __mmask64 Bytes48 = 0xffffffffffff;
// Below this many bytes or characters the narrower loops are used: readying the wide tables
// costs more than a round or two of them saves.
constexpr int MinWideSize = 128;

} // namespace

BASE64_AVX512_VBMI_TARGET int Base64Simd::encodeAvx512Vbmi(const quint8 *in, int size, char *out)
{
    if (size < MinWideSize)
        return encodeAvx2(in, size, out);
    return ::encodeAvx512Vbmi(in, size, out, Avx512Vbmi.spread, Bytes48);
}

// From an odd start the 48 bytes are read from the byte before it, and one more after them: the
// second of the last pair, which is in the text since the text is whole pairs.
BASE64_AVX512_VBMI_TARGET int Base64Simd::encodeSwappedAvx512Vbmi(
    const quint8 *units, int from, int size, char *out)
{
    if (size < MinWideSize)
        return encodeSwappedAvx2(units, from, size, out);
    if (from % 2 == 0)
        return ::encodeAvx512Vbmi(units + from, size, out, Avx512Vbmi.spreadSwapped, Bytes48);
    return ::encodeAvx512Vbmi(
        units + from - 1, size, out, Avx512Vbmi.spreadSwappedOdd, (__mmask64(1) << 50) - 1);
}

namespace {

// A two-register permutation looks each character's value up by its low seven bits; the
// character itself is ORed into `invalid` beside its value, so one above 0x7f is caught as well
// as one the table marks. Each round stores 64 bytes, of which the last sixteen are written over
// as above.
BASE64_AVX512_VBMI_TARGET int decodeAvx512Vbmi(
    const quint8 *in, int size, quint8 *out, const quint8 *order)
{
    const __m512i lowValues = _mm512_loadu_si512(Avx512Vbmi.values);
    const __m512i highValues = _mm512_loadu_si512(Avx512Vbmi.values + 64);
    const __m512i gather = _mm512_loadu_si512(order);
    __m512i invalid = _mm512_setzero_si512();
    int i = 0;
    for (; i + 88 <= size; i += 64, out += 48) {
        const __m512i text = _mm512_loadu_si512(in + i);
        const __m512i sextets = _mm512_permutex2var_epi8(lowValues, text, highValues);
        // 0xfe: the OR of all three.
        invalid = _mm512_ternarylogic_epi32(invalid, text, sextets, 0xfe);
        const __m512i pairs = _mm512_maddubs_epi16(sextets, _mm512_set1_epi32(0x01400140));
        const __m512i groups = _mm512_madd_epi16(pairs, _mm512_set1_epi32(0x00011000));
        _mm512_storeu_si512(out, _mm512_maskz_permutexvar_epi8(AllBytes, gather, groups));
    }
    return _mm512_movepi8_mask(invalid) == 0 ? i : -1;
}

} // namespace

BASE64_AVX512_VBMI_TARGET int Base64Simd::decodeAvx512Vbmi(const quint8 *in, int size, quint8 *out)
{
    if (size < MinWideSize)
        return decodeAvx2(in, size, out);
    return ::decodeAvx512Vbmi(in, size, out, Avx512Vbmi.gather);
}

BASE64_AVX512_VBMI_TARGET int Base64Simd::decodeSwappedAvx512Vbmi(
    const quint8 *in, int size, quint8 *out)
{
    if (size < MinWideSize)
        return decodeSwappedAvx2(in, size, out);
    return ::decodeAvx512Vbmi(in, size, out, Avx512Vbmi.gatherSwapped);
}
#endif

#endif

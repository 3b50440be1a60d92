// Block transcoding of UTF-8 into string units, 32 input bytes a step.
//
// The loader's per-character decoder stays the authority on what a byte
// sequence means; this decoder only takes the blocks whose meaning is plain
// and leaves every other byte to it. A block is taken when all its sequences
// are ones the per-character decoder takes as well (its overlong forms and
// surrogates included, U+DC00-U+DCFF excluded, as it refuses those) and whose
// code points fit the unit: ASCII and two- and three-byte sequences, and for
// 4-byte units four-byte ones too (for 1-byte units only code points up to
// U+00FF). On every block it takes it produces exactly the code points the
// per-character decoder would. Anything else (stray or missing continuation
// bytes, bytes F5-FF, values above U+10FFFF, a code point too wide for the
// unit) stops it before that block, and so does an overlong CR when line
// ends are converted (the per-character decoder converts it as a CR).
//
// Needs AVX2 (checked at run time); without it the loader keeps its SSE2
// ASCII runs and per-character decoding.
#pragma once
#include <cstdint>

namespace kel {

// True when this CPU can run utf8_decode_blocks.
bool utf8_blocks_available();

// Decodes whole blocks from src[*i], which must start a sequence, into [out]
// at [unit]-byte units (1, 2 or 4) from unit *n, advancing *i and *n past
// what it decoded. With [crlf], CR LF reads as LF and a lone CR as LF.
// Returns the input position the caller's per-character decoding must get
// past before calling again: one past the first byte of a block it refused,
// or [count] once fewer than 35 bytes are left (a block reads three bytes
// past its end). Whole blocks of units are stored before their length is
// known: [out] must have room for [count] units and *n <= *i must hold, as it
// does in a load where code points never outnumber bytes.
uint32_t utf8_decode_blocks(const uint8_t* src, uint32_t count, uint32_t* i, uint32_t* n, uint8_t* out,
                            uint32_t unit, bool crlf);

}  // namespace kel

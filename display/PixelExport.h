// Conversion of the library's 16-bit pixels to the engine's 8-bit BGRA.
#pragma once

#include <cstddef>
#include <cstdint>

namespace engine {

// One 16-bit sample rounded to 8 bits as the library rounds: ((q + 128) - ((q + 128) >> 8)) >> 8.
inline std::uint8_t SampleToByte(std::uint32_t q) {
    return static_cast<std::uint8_t>(((q + 128u) - ((q + 128u) >> 8)) >> 8);
}

// in: n pixels of four 16-bit samples in the order blue, green, red, opacity (the library's
// pixel packets); out: n pixels of 8-bit blue, green, red, alpha. Each sample is rounded as the
// library rounds to 8 bits; alpha is the inverted opacity when the image has an alpha channel
// (matte) and 255 otherwise.
// Uses the widest instruction set the processor has.
void ExportBgra(const std::uint16_t* in, std::uint8_t* out, std::size_t n, bool matte);
// The same, one sample at a time: the plain form the fast one is checked against.
void ExportBgraPlain(const std::uint16_t* in, std::uint8_t* out, std::size_t n, bool matte);

// n pixels of 8-bit red, green, blue (and alpha with alpha set; 255 otherwise) as BGRA.
void RgbToBgra(const std::uint8_t* in, std::uint8_t* out, std::size_t n, bool alpha);

// Multiplies the colour of each of n BGRA pixels by its alpha (rounded), so that averaging
// pixels, as the scaler does, weighs each colour by how much of it shows: averaged straight, the
// colour stored under transparent pixels bleeds into the edges. Returns whether any pixel is
// less than opaque; pixels are left untouched when none is.
bool PremultiplyAlpha(std::uint8_t* bgra, std::size_t n);
// Premultiplied pixels laid over white and made opaque (paper shows where they are clear).
void CompositeOverWhite(std::uint8_t* bgra, std::size_t n);

} // namespace engine

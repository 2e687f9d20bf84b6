// Starting and stopping the image library (ImageMagick 6) with the program's own policy.
#pragma once

namespace engine {

// Starts the library once per process (later calls do nothing) and adds the program's strict
// policy to whatever the system's is: no delegate programs, none of the coders that fetch
// addresses or read other files (URL, HTTP, HTTPS, FTP, MSL, MVG, TEXT, TXT, ...), no "@file"
// indirection, and resource limits that refuse an image too large to hold before its pixels
// are allocated (each side at most 32768, 256 megapixels, no disk cache). programPath may be
// null. Thread-safe.
void InitializeMagick(const char* programPath);
// Stops the library if it was started; harmless otherwise.
void DestroyMagick();
// True between the two.
bool MagickStarted();

// The most pixels, and the longest side, that an image may have.
constexpr long long kMaximumPixels = 256LL * 1024 * 1024;
constexpr long kMaximumSide = 32768;

} // namespace engine

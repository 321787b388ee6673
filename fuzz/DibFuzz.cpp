// Any bytes as a tag icon bitmap: the reader refuses or takes them, and every
// pixel of what it took can be read.
#include "ui/CDib.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // The "Read error" boxes go to the program's default services, which
    // answer them and keep nothing.
    CDib dib;
    if (dib.Read(data, size)) {
        const CDib::Size s = dib.GetSize();
        unsigned sum = 0;
        // Bounded, so that a large valid bitmap does not stall the run.
        for (std::int32_t y = 0; y < s.height && y < 64; ++y)
            for (std::int32_t x = 0; x < s.width && x < 64; ++x) sum += dib.PixelAt(x, y).red;
        (void)sum;
    }
    return 0;
}

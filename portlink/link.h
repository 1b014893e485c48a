// The seam under the driver: a link moves whole SPI frames (chip selected,
// bytes out, bytes in, chip released) to one chip and says what a frame
// costs. The driver sends every command through the link in use; it never
// knows which one is below. Knows nothing of the chip's commands.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace spilink {

using Clock = std::chrono::steady_clock;

// What moving a frame costs on this link, for planning and for the bench's
// bounds: a frame of n bytes takes about frameNs + n * byteNs.
struct Cost {
    double byteNs = 0; // one byte clocked (eight bits)
    double frameNs = 0; // selecting and releasing the chip, and the call that moves the frame
};

// How the bytes of a frame go out, where the link can tell the two apart:
// the parallel port clocks ByteAtATime with its byte-wise transfer (the
// window's programming sequence), Block with its block transfers. Links that
// move a frame whole do the same for both.
enum class Pace { ByteAtATime, Block };

// Says, after each byte received, whether the frame has what it needs;
// got is the number of bytes received so far.
using Enough = std::function<bool(std::size_t got)>;

class Link {
public:
    virtual ~Link() = default;

    // Puts the lines in their idle state before a chip is looked for.
    virtual void start() {}

    // One frame: selects the chip, sends outLength bytes, receives inLength
    // bytes (clocking out 0xFF), releases the chip. When the link could not
    // move the frame, in reads as an undriven line (0xFF) and failure() says
    // why. Returns the time the chip was released, as near as the link can
    // tell: just before on the port, just after the call on a link whose
    // hardware releases it.
    virtual Clock::time_point frame(const std::uint8_t* out, std::size_t outLength, std::uint8_t* in, std::size_t inLength,
                       Pace pace) = 0;

    // The same, receiving at most inLength bytes and stopping once enough
    // says so. A link that moves a frame whole receives all of them, then
    // asks enough about each in turn. Returns the number enough was satisfied
    // with (inLength when it never was).
    virtual std::size_t frameUntil(const std::uint8_t* out, std::size_t outLength, std::uint8_t* in,
                                   std::size_t inLength, const Enough& enough, Pace pace);

    virtual Cost cost() const = 0;

    // Where the chip hangs, for texts: "port 378", "/dev/spidev0.0".
    virtual std::string place() const = 0;

    // Why the last frame could not be moved, in words for the user; empty
    // while every frame went out.
    virtual std::string failure() const { return {}; }
};

// The link every frame goes through: the parallel port unless a front end
// chose another. The window never does.
Link& inUse();
void use(Link& link);
// The parallel-port link, through the loaded port library at lptBase.
Link& parallelPort();

} // namespace spilink

// The link in use, and the parallel port as a link.
#include "link.h"

#include "lpt.h"

#include <cstdio>
#include <string>

namespace spilink {

std::size_t Link::frameUntil(const std::uint8_t* out, std::size_t outLength, std::uint8_t* in,
                             std::size_t inLength, const Enough& enough, Pace pace)
{
    frame(out, outLength, in, inLength, pace);
    for (std::size_t got = 1; got <= inLength; ++got)
        if (enough(got))
            return got;
    return inLength;
}

namespace {

// A real port's bus cycle is about a microsecond. A block transfer takes two
// accesses per bit sent and three per bit received; selecting and releasing
// the chip one each.
constexpr double kPortAccessNs = 1000;

class ParallelPort : public Link {
public:
    void start() override { LPT_WriteStartPattern(); }

    Clock::time_point frame(const std::uint8_t* out, std::size_t outLength, std::uint8_t* in, std::size_t inLength,
                            Pace pace) override
    {
        Clock::time_point released;
        transfer(out, outLength, in, inLength, {}, pace, released);
        return released;
    }

    std::size_t frameUntil(const std::uint8_t* out, std::size_t outLength, std::uint8_t* in, std::size_t inLength,
                           const Enough& enough, Pace pace) override
    {
        Clock::time_point released;
        return transfer(out, outLength, in, inLength, enough, pace, released);
    }

    Cost cost() const override { return { 24 * kPortAccessNs, 2 * kPortAccessNs }; }

    std::string place() const override
    {
        char text[16];
        std::snprintf(text, sizeof text, "port %X", static_cast<unsigned>(static_cast<std::uint16_t>(lptBase)));
        return text;
    }

private:
    static std::size_t transfer(const std::uint8_t* out, std::size_t outLength, std::uint8_t* in,
                                std::size_t inLength, const Enough& enough, Pace pace, Clock::time_point& released)
    {
        LPT_SetChipSelect(false);
        if (pace == Pace::ByteAtATime)
            for (std::size_t i = 0; i < outLength; ++i)
                LPT_SpiTransferByte(out[i]);
        else
            LPT_SpiWriteBytes(out, outLength);
        std::size_t got = 0;
        if (!enough && pace == Pace::Block) {
            LPT_SpiReadBytes(in, inLength);
            got = inLength;
        }
        // Byte by byte while the caller may stop early: the bytes clocked
        // are exactly the ones asked for.
        while (got < inLength) {
            if (pace == Pace::ByteAtATime)
                in[got] = LPT_SpiTransferByte(0xFF);
            else
                LPT_SpiReadBytes(in + got, 1);
            ++got;
            if (enough && enough(got))
                break;
        }
        released = Clock::now();
        LPT_SetChipSelect(true);
        return got;
    }
};

ParallelPort thePort;
Link* current = &thePort;

} // namespace

Link& inUse()
{
    return *current;
}

void use(Link& link)
{
    current = &link;
}

Link& parallelPort()
{
    return thePort;
}

} // namespace spilink

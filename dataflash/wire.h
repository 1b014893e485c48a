// What the driver's source files share about the wire: command frames, page
// addresses, status decoding and the bounded busy poll. Not for front ends.
#pragma once

#include "at45db041d.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>

namespace dataflash {

// Opcodes (datasheet command names).
constexpr std::uint8_t kStatusRegisterRead = 0xD7;
constexpr std::uint8_t kManufacturerDeviceIdRead = 0x9F;
constexpr std::uint8_t kBuffer1Write = 0x84;
constexpr std::uint8_t kBuffer2Write = 0x87;
constexpr std::uint8_t kBuffer1Read = 0xD4;
constexpr std::uint8_t kBuffer1ToPageProgramWithErase = 0x83;
constexpr std::uint8_t kBuffer2ToPageProgramWithErase = 0x86;
constexpr std::uint8_t kBuffer1ToPageProgramNoErase = 0x88;
constexpr std::uint8_t kBuffer2ToPageProgramNoErase = 0x89;
constexpr std::uint8_t kPageToBuffer1Compare = 0x60;
constexpr std::uint8_t kPageToBuffer2Compare = 0x61;
constexpr std::uint8_t kMainMemoryPageRead = 0xD2;
constexpr std::uint8_t kDummy = 0xFF; // sent while only receiving

// The commands of each SRAM buffer, indexed by buffer (0 or 1).
constexpr std::uint8_t kBufferWrite[2] = { kBuffer1Write, kBuffer2Write };
constexpr std::uint8_t kBufferToPageWithErase[2] = { kBuffer1ToPageProgramWithErase, kBuffer2ToPageProgramWithErase };
constexpr std::uint8_t kBufferToPageNoErase[2] = { kBuffer1ToPageProgramNoErase, kBuffer2ToPageProgramNoErase };
constexpr std::uint8_t kPageToBufferCompare[2] = { kPageToBuffer1Compare, kPageToBuffer2Compare };

// How a frame goes on the parallel port: one byte at a time with
// LPT_SpiTransferByte (the window's programming sequence), or on the port
// link's block transfers (the same bits in fewer port accesses). Other links
// (spilink::inUse()) move a frame whole either way.
enum class Wire { ByteWise, Block };

using WireClock = std::chrono::steady_clock;

// One command frame: select the chip, send the command bytes, receive
// replyLength bytes (clocking out dummies), release the chip. Returns the
// time taken just before the release: a command the chip runs when it is
// released (a program, a compare) starts no earlier.
WireClock::time_point frame(Wire wire, const std::uint8_t* command, std::size_t commandLength,
                            std::uint8_t* reply = nullptr, std::size_t replyLength = 0);

// Whether the last status read was confirmed and said ready, with no
// command frame since: the chip is idle without another read, which costs
// a round trip on a USB adapter.
bool chipIdleSinceLastStatus();

// Bits of a main-memory page address of the chip in use; the pages whose
// address differs from a page's in one of them are where a program for that
// page lands when that bit flips on the wire.
inline unsigned pageAddressBits()
{
    return dataFlashChip().pageAddressBits;
}

// The three address bytes of a main-memory page, byte address 0.
void encodePageAddress(std::uint32_t page, bool pageSize256, std::uint8_t* out);

// A buffer write of length bytes from buffer address offset. The page
// address bits of a buffer write are don't-care to the chip; they carry
// aimPage, so that a write whose opcode noise turns into a page program
// through a buffer (0x84 -> 0x85, 0x87 -> 0x86 or 0x83) can only reach that
// page. Returns the time just before the chip was released.
WireClock::time_point sendBufferWrite(Wire wire, int buffer, std::uint32_t aimPage, bool pageSize256,
                                      const std::uint8_t* data, unsigned length, unsigned offset = 0);

// An opcode with a main-memory page address: program, compare.
void sendPageCommand(Wire wire, std::uint8_t opcode, std::uint32_t page, bool pageSize256);

// Main memory page read of one whole page into out.
void sendPageRead(Wire wire, std::uint32_t page, bool pageSize256, std::uint8_t* out);

// Reads a page until two reads agree (any two of a few), each on a chip
// whose confirmed status says ready: a busy chip reads as 0xFF, and two
// such reads agree too. NotReady, with lastMessage set, when the chip stays
// busy or stops answering.
enum class PageRead { Agreed, Disagreed, NotReady };
PageRead readPageAgreed(std::uint32_t page, bool pageSize256, std::uint8_t* out);

// Decodes a status byte; false (flags all 0) when it lacks the AT45DB041D's
// density code.
bool decodeStatus(std::uint8_t byte, DataFlashStatus& st);

// A status read that a decision can rest on.
enum class Status {
    Confirmed, // two consecutive bytes agreed and carried the density code
    Disagreed, // the chip answered, but no two consecutive bytes agreed
    Silent,    // no byte carried the density code
};
// One continuous status read: the chip repeats its status register for as
// long as it is clocked, so a byte flipped on the wire shows as two
// neighbours that disagree. Reads until two agree, a few bytes at most.
Status readConfirmedStatus(Wire wire, DataFlashStatus& st);

// A status read that a decision rests on: confirmed reads until one
// succeeds, a few at most; false (flags all 0) when none does or the chip
// is silent.
bool readStatusAgreed(Wire wire, DataFlashStatus& st);

// Sector registers (protection 32h, lockdown 35h): a byte per sector, sector
// 0's byte marking 0a (pages 0 to 7) with bits 7 and 6 and 0b (8 to 255)
// with 5 and 4; each other sector (256 pages) marked by FF.
bool pageInMarkedSector(const std::uint8_t (&reg)[kDataFlashMaxSectors], std::uint32_t page);
// Runs a job that must change nothing (read, verify) with the chip's
// volatile sector protection on, where the sector protection register marks
// every sector: the chip then refuses any frame that noise turns into a
// program or an erase. job receives whether that is so; when it is not, the
// job must send nothing one damaged bit could turn into a program (page and
// status reads only). The protection is turned off again at the end only
// when it was off before. False, with lastMessage set, when the job failed
// or the protection could not be put back as it was.
bool whileProtected(const std::function<bool(bool protectedChip)>& job);

// Reads the lockdown register (35h) until two reads agree; false, with
// lastMessage set, when they keep disagreeing.
bool readLockdownRegister(std::uint8_t (&reg)[kDataFlashMaxSectors]);
// The sectors of the chip in use as indexes (0: 0a, 1: 0b, 2 on: sectors 1
// on): how many, and the first page of each.
unsigned sectorIndexes();
std::uint32_t sectorFirstPage(unsigned index);
// Marks the sector holding page in reg, in the same layout.
void markSectorOf(std::uint8_t (&reg)[kDataFlashMaxSectors], std::uint32_t page);

// The page size in force, from a confirmed status read; false, with "Failed to read
// chip's status byte!" in lastMessage, when the chip does not answer.
bool pageSizeInForce(bool& pageSize256);

enum class Wait {
    Ready,    // a confirmed status said ready
    TimedOut, // the chip answered, but stayed busy past the poll's bound
    Silent,   // no status read carried the density code for about 30 ms
};

// Polls the status register until a confirmed read says ready, sleeping one
// interval before each read (none: back to back, without a system call).
// Ends at the poll's time bound, or once no read has carried the density
// code for about 30 ms: a busy chip still reports it, so that long means the
// chip is gone. last, when given, receives the status that ended a Ready
// wait. eachPoll, when given, is called before each pause: a long wait
// uses it to answer a stop request at once.
Wait waitUntilReady(const DataFlashPoll& poll, Wire wire, DataFlashStatus* last = nullptr,
                    const std::function<void()>& eachPoll = {});

// What a wait that did not end ready says; %1, where present, is the page.
struct WaitTexts {
    const char* timedOut;
    const char* silent;
};

// Waits as waitUntilReady does; when the chip did not become ready, puts the
// matching text in lastMessage and returns false.
bool waitReported(const DataFlashPoll& poll, Wire wire, const WaitTexts& texts, std::uint32_t page = 0,
                  DataFlashStatus* last = nullptr, const std::function<void()>& eachPoll = {});

} // namespace dataflash

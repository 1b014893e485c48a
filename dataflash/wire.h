// What the driver's source files share about the wire: command framing, page
// addresses, status decoding and the bounded busy poll. Not for front ends.
#pragma once

#include "at45db041d.h"

#include <cstddef>
#include <cstdint>

namespace dataflash {

// Opcodes (datasheet command names).
constexpr std::uint8_t kStatusRegisterRead = 0xD7;
constexpr std::uint8_t kManufacturerDeviceIdRead = 0x9F;
constexpr std::uint8_t kBuffer1Write = 0x84;
constexpr std::uint8_t kBuffer2Write = 0x87;
constexpr std::uint8_t kBuffer1Read = 0xD4;
constexpr std::uint8_t kBuffer2Read = 0xD6;
constexpr std::uint8_t kBuffer1ToPageProgramWithErase = 0x83;
constexpr std::uint8_t kBuffer1ToPageProgramNoErase = 0x88;
constexpr std::uint8_t kBuffer2ToPageProgramNoErase = 0x89;
constexpr std::uint8_t kPageToBuffer1Compare = 0x60;
constexpr std::uint8_t kPageToBuffer2Compare = 0x61;
constexpr std::uint8_t kMainMemoryPageRead = 0xD2;
constexpr std::uint8_t kContinuousArrayRead = 0x0B;
constexpr std::uint8_t kDummy = 0xFF; // sent while only receiving

// One command frame, one byte at a time (the window's programming sequence):
// select the chip, send the command bytes, receive replyLength bytes
// (clocking out dummies), release the chip.
void transfer(const std::uint8_t* command, std::size_t commandLength,
              std::uint8_t* reply = nullptr, std::size_t replyLength = 0);

// The same frame on the port link's block transfers: the same bytes on the
// wire in fewer port accesses.
void blockTransfer(const std::uint8_t* command, std::size_t commandLength,
                   std::uint8_t* reply = nullptr, std::size_t replyLength = 0);

// The three address bytes of a main-memory page, byte address 0.
void encodePageAddress(std::uint32_t page, bool pageSize256, std::uint8_t* out);

// Decodes a status byte; false (flags all 0) when it lacks the AT45DB041D's
// density code.
bool decodeStatus(std::uint8_t byte, DataFlashStatus& st);

// Status register reads, as the poll takes them: one byte at a time (the
// window's sequence) or on the block transfers.
using StatusReader = bool (*)(DataFlashStatus& st);
bool readStatus(DataFlashStatus& st);
bool readStatusFast(DataFlashStatus& st);

// The page size in force, from one status read; false, with "Failed to read
// chip's status byte!" in lastMessage, when the chip does not answer.
bool pageSizeInForce(bool& pageSize256);

enum class Wait {
    Ready,    // the chip reported ready
    TimedOut, // it answered, but stayed busy past the poll's bound
    Silent,   // its status reads stopped carrying the density code
};

// Polls the status register (read by readStatus) until the chip reports
// ready, sleeping one interval before each read. Ends at the poll's time
// bound, or at once when the chip stops answering: a busy chip still
// reports its density code, so a few reads in a row without it mean the
// chip is gone.
// last, when given, receives the status that ended a Ready wait.
Wait waitUntilReady(const DataFlashPoll& poll, StatusReader reader = readStatus, DataFlashStatus* last = nullptr);

// A chip that has gone reads as 0xFF, like an erased page: what was read
// counts only if the chip still answers after it. True once a status read
// carries the density code; false after the reads in a row without it that
// mean the chip is gone (within the page program's bound).
bool confirmChipAnswers();

} // namespace dataflash

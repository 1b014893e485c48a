// The frames of the driver's file operations: a file checked and read into
// memory, and a loaded image checked against the chip. Not for front ends.
#pragma once

#include "wire.h"

namespace dataflash {

// AT45DB041D_LoadFile: empties lastMessage and lastFileReason, reads the page
// size in force (one status read), then checks and reads the file.
bool loadInputFile(const char* path, DataFlashLayout layout, DataFlashImage& image);

// The frame of every file operation by path: loads the file for the page
// size in force and hands the image to body(image). False, with the reason in
// lastMessage, when a step fails.
template <typename Body>
bool withInputFile(const char* path, Body body)
{
    DataFlashImage image;
    return loadInputFile(path, DataFlashLayout::PageSizeInForce, image) && body(image);
}

// The frame of every operation on a loaded image: empties lastMessage, reads
// the page size in force (one status read) and refuses an image laid out for
// another page size; then body(image).
bool imageFitsChip(const DataFlashImage& image);
template <typename Body>
bool withImage(const DataFlashImage& image, Body body)
{
    return imageFitsChip(image) && body(image);
}

} // namespace dataflash

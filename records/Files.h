// The files the records tools open on their own (the records file, its
// spool, the connection file): whatever is found in their place, none of
// them may hold a program up. A FIFO blocks open() until another program
// opens its other end, a device may block a read for ever; both are
// refused before they are opened, or opened without waiting and refused.
#pragma once

#include <string>

namespace qv::records {

// Empty when path names a regular file or nothing at all; otherwise why it
// is not a file to read or write, for the operator ("is a folder, not a
// file", "is a FIFO, not a file").
std::string NotAFile(const std::string& path);

// Opens path (open(2) flags; O_CREAT takes mode 0644) without waiting on a
// FIFO or device; -1 with why when it cannot be opened or is no regular
// file. errnoOut gets the reason's errno (0 for a file of another kind).
int OpenFile(const std::string& path, int flags, std::string& why, int* errnoOut = nullptr);

// The whole file, or false with why; a missing file reads as empty when
// missingIsEmpty.
bool ReadFile(const std::string& path, std::string& bytes, std::string& why, bool missingIsEmpty = true);

// What an errno means for the operator: "the disk is full", "permission
// denied", ...
std::string ErrnoText(int error);

}  // namespace qv::records

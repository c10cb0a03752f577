// Transcripts kept compressed: one zstd frame each, with its size in the
// frame, so that a record's transcript reads back byte for byte.
#pragma once

#include <string>

namespace qv::records {

std::string Compress(const std::string& bytes);
// False, out unchanged, for bytes that are not one whole frame, or that
// would decompress to more than a transcript ever holds.
bool Decompress(const std::string& frame, std::string& out);

}  // namespace qv::records

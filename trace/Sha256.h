// SHA-256 of a byte range, as sha256sum prints it: 64 lower-case hex digits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace qv::trace {

std::string Sha256Hex(const uint8_t* data, size_t size);

}  // namespace qv::trace

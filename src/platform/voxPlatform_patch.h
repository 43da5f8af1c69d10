#pragma once
// Writing into an existing file in place (repairing a damaged start of a source).
#include <cstddef>
#include <cstdint>
#include <string>

namespace kavrix::platform {

// Overwrites size bytes at offset of an existing file, without truncating or creating it.
// False when the file cannot be opened for writing or not every byte was written.
bool PatchFile(const std::string& name, uint64_t offset, const uint8_t* data, size_t size);

}  // namespace kavrix::platform

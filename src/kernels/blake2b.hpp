// BLAKE2b (RFC 7693), unkeyed: the hash a formula's text seeds its description with
// (`hashlib.blake2b(text, digest_size=n)`).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace kt::kernels {

// The digest of `data`, `digest_size` bytes (1 to 64).
std::string blake2b(std::string_view data, std::size_t digest_size);

}  // namespace kt::kernels

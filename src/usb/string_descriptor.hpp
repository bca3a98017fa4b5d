// USB string descriptors: UTF-16LE text behind a two-byte header.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace zt::usb {

// The text of a string descriptor as UTF-8, or std::nullopt when `data` is not one (too
// short or of another descriptor type). A bLength beyond the bytes received is cut to
// what arrived; an odd trailing byte is dropped; unpaired surrogates become U+FFFD.
std::optional<std::string> decode_string_descriptor(const uint8_t* data, size_t size);

// The first language ID of string descriptor 0, or std::nullopt when it lists none.
std::optional<uint16_t> first_language_id(const uint8_t* data, size_t size);

}  // namespace zt::usb

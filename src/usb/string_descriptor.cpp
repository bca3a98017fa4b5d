#include "usb/string_descriptor.hpp"

#include <algorithm>

namespace zt::usb {
namespace {

constexpr uint8_t kStringDescriptorType = 0x03;
constexpr size_t kHeaderSize = 2;
constexpr char32_t kReplacement = 0xFFFD;

// The UTF-16 code units after the header, bounded by both bLength and what arrived.
size_t unit_count(const uint8_t* data, size_t size) {
    const size_t length = std::min<size_t>(data[0], size);
    return length < kHeaderSize ? 0 : (length - kHeaderSize) / 2;
}

uint16_t unit_at(const uint8_t* data, size_t i) {
    return static_cast<uint16_t>(data[kHeaderSize + 2 * i] | (data[kHeaderSize + 2 * i + 1] << 8));
}

bool is_string_descriptor(const uint8_t* data, size_t size) {
    return data != nullptr && size >= kHeaderSize && data[1] == kStringDescriptorType;
}

void append_utf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

}  // namespace

std::optional<std::string> decode_string_descriptor(const uint8_t* data, size_t size) {
    if (!is_string_descriptor(data, size)) return std::nullopt;
    const size_t count = unit_count(data, size);
    std::string text;
    text.reserve(count);
    for (size_t i = 0; i < count; ++i) {
        const char32_t unit = unit_at(data, i);
        if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < count) {
            const char32_t low = unit_at(data, i + 1);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                append_utf8(text, 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
                ++i;
                continue;
            }
        }
        append_utf8(text, unit >= 0xD800 && unit <= 0xDFFF ? kReplacement : unit);
    }
    return text;
}

std::optional<uint16_t> first_language_id(const uint8_t* data, size_t size) {
    if (!is_string_descriptor(data, size) || unit_count(data, size) == 0) return std::nullopt;
    return unit_at(data, 0);
}

}  // namespace zt::usb

#include "wire/wire_format.hpp"

namespace zt::wire {

std::string describe_short_packet(size_t needed_index, size_t received) {
    return "malformed packet: byte " + std::to_string(needed_index) + " is needed but only " +
           std::to_string(received) + " bytes were received";
}

}  // namespace zt::wire

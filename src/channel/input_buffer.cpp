#include "channel/input_buffer.hpp"

#include <algorithm>

#include "sync/blocking_lock.hpp"

namespace zt::channel {

void InputBuffer::append(std::vector<uint8_t> chunk) {
    if (chunk.empty()) return;
    sync::BlockingLock lock(mutex_);
    if (closed_) return;
    total_ += chunk.size();
    chunks_.push_back(std::move(chunk));
}

size_t InputBuffer::waiting() const {
    sync::BlockingLock lock(mutex_);
    return total_;
}

InputBuffer::Take InputBuffer::take(size_t max_size, std::vector<uint8_t>& out) {
    sync::BlockingLock lock(mutex_);
    if (closed_) return Take::Closed;
    if (chunks_.empty() || max_size == 0) return Take::Empty;
    std::vector<uint8_t>& front = chunks_.front();
    const size_t available = front.size() - front_offset_;
    const size_t n = std::min(available, max_size);
    if (front_offset_ == 0 && n == front.size()) {
        out = std::move(front);
    } else {
        out.assign(front.begin() + static_cast<std::ptrdiff_t>(front_offset_),
                   front.begin() + static_cast<std::ptrdiff_t>(front_offset_ + n));
    }
    total_ -= n;
    if (n == available) {
        chunks_.pop_front();
        front_offset_ = 0;
    } else {
        front_offset_ += n;
    }
    return Take::Got;
}

bool InputBuffer::clear() {
    sync::BlockingLock lock(mutex_);
    if (closed_) return false;
    chunks_.clear();
    front_offset_ = 0;
    total_ = 0;
    return true;
}

void InputBuffer::close() {
    sync::BlockingLock lock(mutex_);
    closed_ = true;
    chunks_.clear();
    front_offset_ = 0;
    total_ = 0;
}

}  // namespace zt::channel

#include "channel/input_buffer.hpp"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>

#include "sync/blocking_lock.hpp"

namespace zt::channel {

void InputBuffer::append(std::vector<uint8_t> chunk) {
    if (chunk.empty()) return;
    sync::BlockingLock lock(mutex_);
    if (closed_) return;
    total_ += chunk.size();
    chunks_.push_back(std::move(chunk));
    if (!signalled_ && readiness_fd_ >= 0) update_readiness_locked();
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
    if (total_ == 0 && readiness_fd_ >= 0) update_readiness_locked();
    return Take::Got;
}

bool InputBuffer::clear() {
    sync::BlockingLock lock(mutex_);
    if (closed_) return false;
    chunks_.clear();
    front_offset_ = 0;
    total_ = 0;
    update_readiness_locked();
    return true;
}

void InputBuffer::close() {
    sync::BlockingLock lock(mutex_);
    closed_ = true;
    chunks_.clear();
    front_offset_ = 0;
    total_ = 0;
    update_readiness_locked();
}

InputBuffer::~InputBuffer() {
    if (readiness_fd_ >= 0) ::close(readiness_fd_);
}

void InputBuffer::end_input() {
    sync::BlockingLock lock(mutex_);
    ended_ = true;
    update_readiness_locked();
}

bool InputBuffer::input_ended() const {
    sync::BlockingLock lock(mutex_);
    return ended_;
}

int InputBuffer::readiness_fd() {
    sync::BlockingLock lock(mutex_);
    if (readiness_fd_ < 0) {
        readiness_fd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        signalled_ = false;
        update_readiness_locked();
    }
    return readiness_fd_;
}

void InputBuffer::update_readiness_locked() {
    if (readiness_fd_ < 0) return;
    const bool ready = closed_ || ended_ || total_ > 0;
    if (ready == signalled_) return;
    uint64_t value = 1;
    // Non-blocking both ways: the counter is only ever 0 or 1 here.
    const ssize_t done = ready ? ::write(readiness_fd_, &value, sizeof value)
                               : ::read(readiness_fd_, &value, sizeof value);
    if (done == static_cast<ssize_t>(sizeof value)) signalled_ = ready;
}

}  // namespace zt::channel

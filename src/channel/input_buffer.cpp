#include "channel/input_buffer.hpp"

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
    if (!signalled_ && readiness_) update_readiness_locked();
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
    if (total_ == 0 && readiness_) update_readiness_locked();
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

InputBuffer::~InputBuffer() = default;

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
    const std::shared_ptr<sync::ReadinessPair> pair = readiness();
    return pair ? pair->fd() : -1;
}

std::shared_ptr<sync::ReadinessPair> InputBuffer::readiness() {
    sync::BlockingLock lock(mutex_);
    if (!readiness_) {
        auto pair = std::make_shared<sync::ReadinessPair>();
        if (!pair->open()) return nullptr;
        readiness_ = std::move(pair);
        signalled_ = false;
        update_readiness_locked();
    }
    return readiness_;
}

void InputBuffer::update_readiness_locked() {
    if (!readiness_) return;
    const bool ready = closed_ || ended_ || total_ > 0;
    if (ready == signalled_) return;
    readiness_->set_readable(ready);
    signalled_ = ready;
}

}  // namespace zt::channel

// What an output queue's owner hears of it: the channel's readiness descriptor writable
// while there is room, and, for a queue that waits for the device, the events descriptor
// and the events it collects.
#include "device/output_queue.hpp"

#include <algorithm>

namespace zt::device {
namespace {

constexpr int kNoDevice = -4;  // LIBUSB_ERROR_NO_DEVICE

}  // namespace

void OutputQueue::update_writable_locked() {
    bool writable = writable_;
    const size_t room = free_locked();
    if (stopped_ || failed_) {
        writable = true;  // a writer must come to hear of it
    } else if (room == 0) {
        writable = false;
    } else if (room >= std::max<size_t>(1, ring_.size() / 4)) {
        writable = true;  // as a tty, not for every few bytes freed
    }
    const bool drained = buffered_ == 0 && transfers_ == 0 && changes_.empty() && change_state_ == ChangeState::Idle;
    if (drained && !was_drained_) notify_locked();
    was_drained_ = drained;
    if (writable == writable_) return;
    if (readiness_) readiness_->set_writable(writable);
    writable_ = writable;
    if (writable) notify_locked();  // room again
}

void OutputQueue::notify_locked() {
    if (notified_ || events_.fd() < 0) return;
    events_.set_readable(true);
    notified_ = true;
}

size_t OutputQueue::room() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return stopped_ ? 0 : free_locked();
}

OutputQueue::Events OutputQueue::events() {
    std::lock_guard<std::mutex> guard(mutex_);
    check_change_locked();
    if (!failed_ && !stopped_ && (buffered_ > 0 || transfers_ > 0 || change_state_ != ChangeState::Idle) &&
        input_->input_ended())
        fail_locked(kNoDevice);
    // Full now: the descriptor tells when room comes back.
    update_writable_locked();
    Events events;
    events.room = stopped_ ? 0 : free_locked();
    events.waiting = buffered_ + in_flight_bytes_;
    events.changes = changes_.size() + (change_state_ == ChangeState::Idle ? 0 : 1);
    events.outcomes.swap(outcomes_);
    if (notified_) {
        events_.set_readable(false);
        notified_ = false;
    }
    // A failure ready to be reported keeps the descriptor readable: the owner's next put()
    // or drain() reports it. One still waiting for transfers in flight is told by the last
    // of their completions.
    if (failed_ && (transfers_ == 0 || input_->input_ended())) notify_locked();
    return events;
}

}  // namespace zt::device

#include "device/device_core.hpp"

#include <array>
#include <chrono>

#include "device/threaded_writes.hpp"
#include "sync/blocking_lock.hpp"
#include "sync/thread_setup.hpp"
#include "usb/usb_device.hpp"
#include "wire/wire_format.hpp"

namespace zt::device {

void MasterMailbox::clear() {
    sync::BlockingLock lock(mutex_);
    set_ = false;
    replies_ = 0;
}

bool MasterMailbox::is_set() const {
    sync::BlockingLock lock(mutex_);
    return set_;
}

void MasterMailbox::offer(std::span<const uint8_t> reply) {
    {
        std::lock_guard lock(mutex_);
        if (replies_ < std::numeric_limits<unsigned>::max()) ++replies_;
        if (!set_) {
            reply_.assign(reply.begin(), reply.end());
            set_ = true;
        }
    }
    set_cv_.notify_all();
}

namespace {

std::chrono::steady_clock::time_point after_seconds(double seconds) {
    return std::chrono::steady_clock::now() + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                                  std::chrono::duration<double>(std::min(seconds, 1e9)));
}

}  // namespace

bool MasterMailbox::wait(double seconds) {
    std::unique_lock lock(mutex_);
    if (seconds > 0) set_cv_.wait_until(lock, after_seconds(seconds), [this] { return set_; });
    return set_;
}

bool MasterMailbox::wait_for_second_reply(double seconds) {
    std::unique_lock lock(mutex_);
    if (seconds > 0) set_cv_.wait_until(lock, after_seconds(seconds), [this] { return replies_ >= 2; });
    return replies_ >= 2;
}

std::vector<uint8_t> MasterMailbox::reply() const {
    sync::BlockingLock lock(mutex_);
    return reply_;
}

namespace {

std::unique_ptr<ThreadedWrites> writes_over(const std::shared_ptr<Link>& link) {
    if (link->asynchronous()) return nullptr;
    return std::make_unique<ThreadedWrites>(link);
}

}  // namespace

DeviceCore::DeviceCore(std::unique_ptr<Link> link)
    : link_(std::move(link)),
      writes_(writes_over(link_)),
      output_link_(writes_ ? static_cast<Link*>(writes_.get()) : link_.get()) {}

DeviceCore::~DeviceCore() = default;

void DeviceCore::stop_output() noexcept {
    if (writes_) writes_->stop();
}

void DeviceCore::insert_channel(int channel, std::shared_ptr<DataSink> sink) {
    sync::BlockingLock lock(table_guard_);
    channels_[channel] = std::move(sink);
}

bool DeviceCore::has_channel(int channel) const {
    sync::BlockingLock lock(table_guard_);
    return channels_.count(channel) != 0;
}

std::shared_ptr<DataSink> DeviceCore::erase_channel(int channel) {
    sync::BlockingLock lock(table_guard_);
    auto it = channels_.find(channel);
    if (it == channels_.end()) return nullptr;
    auto sink = std::move(it->second);
    channels_.erase(it);
    return sink;
}

bool DeviceCore::no_channels() const {
    sync::BlockingLock lock(table_guard_);
    return channels_.empty();
}

void DeviceCore::handle_control(int channel, std::span<const uint8_t> payload) {
    // A reply for a channel without a handler is dropped without a word.
    with_handler(channel, [&](ControlHandler& handler) { handler.call(payload); });
}

std::shared_ptr<ControlHandler> DeviceCore::reset_handler(int channel) {
    sync::BlockingLock lock(handlers_protector_);
    auto it = handlers_.find(channel);
    if (it == handlers_.end()) return nullptr;
    auto handler = std::move(it->second);
    handlers_.erase(it);
    return handler;
}

void DeviceCore::end_input_of_channels() noexcept {
    std::vector<std::shared_ptr<DataSink>> sinks;
    try {
        std::lock_guard lock(table_guard_);
        for (auto& [number, sink] : channels_) sinks.push_back(sink);
    } catch (const std::bad_alloc&) {
        return;
    }
    for (auto& sink : sinks) sink->end();
}

std::optional<std::string> DeviceCore::run_reader() {
    const sync::SignalsBlocked signals_go_to_the_main_thread;
    const sync::ThreadNamed named("torvak-reader");
    // However the reader stops, whoever waits for a channel's data is told that no more comes.
    struct EndOfInput {
        DeviceCore& core;
        ~EndOfInput() { core.end_input_of_channels(); }
    } const end_of_input{*this};
    std::vector<uint8_t> packet(std::max<size_t>(link_->in_packet_size(), 1));
    while (!stop_flag.load()) {
        try {
            const size_t n = link_->read(packet.data(), packet.size(), kReadTimeoutMs);
            if (n == 0) continue;  // a zero-length packet is an idle poll
            const auto outcome = wire::parse_packet(std::span<const uint8_t>(packet.data(), n), [&](const wire::Record& r) {
                switch (r.kind) {
                    case wire::RecordKind::Data: {
                        std::shared_ptr<DataSink> sink;
                        {
                            std::lock_guard lock(table_guard_);
                            auto it = channels_.find(r.channel);
                            if (it != channels_.end()) sink = it->second;
                        }
                        if (sink) sink->input(r.payload);
                        break;
                    }
                    case wire::RecordKind::Master: master.offer(r.payload); break;
                    case wire::RecordKind::Control: control_route(r.channel, r.payload); break;
                }
            });
            if (outcome.malformed) return outcome.error;
        } catch (const usb::Timeout&) {
            continue;
        } catch (const std::exception& e) {
            return std::string(e.what());
        }
    }
    return std::nullopt;
}

}  // namespace zt::device

// The device core's link and data sink over this module's own native pieces: a USB
// handle of the access layer and a channel's receive buffer. Neither calls Python, so
// reads, writes and deliveries through them run without the GIL.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <utility>
#include <vector>

#include "channel/input_buffer.hpp"
#include "device/device_core.hpp"
#include "usb/usb_device.hpp"

namespace zt::device {

// The device's endpoints on a USB handle of the access layer.
class NativeLink final : public Link {
public:
    NativeLink(std::shared_ptr<usb::Device> dev, uint8_t ep_in, uint8_t ep_out, size_t in_size)
        : dev_(std::move(dev)), ep_in_(ep_in), ep_out_(ep_out), in_size_(in_size) {}
    size_t read(uint8_t* buffer, size_t capacity, unsigned timeout_ms) override {
        return dev_->read(ep_in_, buffer, capacity, timeout_ms);
    }
    size_t write(std::span<const uint8_t> data, unsigned timeout_ms) override {
        return dev_->write(ep_out_, data.data(), data.size(), timeout_ms);
    }
    size_t in_packet_size() const override { return in_size_; }
    bool asynchronous() const override { return true; }
    void cancel_submitted(const void* owner) noexcept override { dev_->cancel_writes(owner); }
    int submit(std::vector<uint8_t> data, unsigned timeout_ms, Sent done, const void* owner) noexcept override {
        return dev_->submit_write(ep_out_, std::move(data), timeout_ms, std::move(done), owner);
    }

private:
    std::shared_ptr<usb::Device> dev_;
    uint8_t ep_in_, ep_out_;
    size_t in_size_;
};

// A channel's receive buffer as the receiver of its data.
class NativeSink final : public DataSink {
public:
    explicit NativeSink(std::shared_ptr<channel::InputBuffer> buffer) : buffer_(std::move(buffer)) {}
    void input(std::span<const uint8_t> data) override { buffer_->append(data.data(), data.size()); }
    void end() noexcept override { buffer_->end_input(); }

private:
    std::shared_ptr<channel::InputBuffer> buffer_;
};

}  // namespace zt::device

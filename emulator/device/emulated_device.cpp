#include "emulated_device.hpp"

#include <linux/usb/ch9.h>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <exception>
#include <stdexcept>

#include "standard_requests.hpp"

namespace torvak_emu {
namespace {

constexpr uint32_t kCapabilities = USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_BULK_CONTINUATION |
                                   USBDEVFS_CAP_NO_PACKET_SIZE_LIM |
                                   USBDEVFS_CAP_REAP_AFTER_DISCONNECT;
constexpr size_t kSetupSize = 8;
constexpr const char* kUsbfsDriverName = "usbfs";

using Reply = EmulatedDevice::Reply;

Reply ok(long result = 0) { return Reply{result, 0, false}; }
Reply fail(int error) { return Reply{-1, error, false}; }
Reply deferred() { return Reply{0, 0, true}; }

// Copies `size` bytes of the client's memory that the pointer at `offset` of `data` points to.
GObjectRef<UMockdevIoctlData> resolve(UMockdevIoctlData* data, size_t offset, size_t size) {
  GError* error = nullptr;
  UMockdevIoctlData* child = umockdev_ioctl_data_resolve(data, offset, size, &error);
  if (error != nullptr) {
    g_error_free(error);
    return {};
  }
  return GObjectRef<UMockdevIoctlData>::adopt(child);
}

// The value of an ioctl argument that is not a pointer (DISCARDURB passes the URB's address).
uint64_t argument_value(UMockdevIoctlData* arg) {
  uint64_t value = 0;
  std::memcpy(&value, arg->data, std::min(sizeof(value), static_cast<size_t>(arg->data_len)));
  return value;
}

template <typename T>
T* as(const GObjectRef<UMockdevIoctlData>& data) {
  return reinterpret_cast<T*>(data->data);
}

double monotonic_seconds(Clock::time_point when) {
  return std::chrono::duration<double>(when.time_since_epoch()).count();
}

}  // namespace

EmulatedDevice::EmulatedDevice(DeviceOptions options, std::string devnode, std::string syspath,
                               std::string node_path, std::string ioctl_socket,
                               Scheduler& scheduler, RemovalRequest request_removal)
    : options_(std::move(options)),
      devnode_(std::move(devnode)),
      syspath_(std::move(syspath)),
      ioctl_socket_(std::move(ioctl_socket)),
      scheduler_(scheduler),
      request_removal_(std::move(request_removal)),
      handler_(GObjectRef<UMockdevIoctlBase>::adopt(umockdev_ioctl_base_new())),
      fifo_(std::move(node_path)),
      firmware_(options_.channels, options_.version),
      kernel_driver_attached_(options_.kernel_driver) {
  g_signal_connect(handler_.get(), "handle-ioctl", G_CALLBACK(on_handle_ioctl), this);
  g_signal_connect(handler_.get(), "client-connected", G_CALLBACK(on_client_connected), this);
}

EmulatedDevice::~EmulatedDevice() { g_signal_handlers_disconnect_by_data(handler_.get(), this); }

// ---- umockdev worker thread ------------------------------------------------------------

gboolean EmulatedDevice::on_handle_ioctl(UMockdevIoctlBase*, UMockdevIoctlClient* client,
                                         gpointer self) {
  static_cast<EmulatedDevice*>(self)->handle_ioctl(client);
  return TRUE;
}

void EmulatedDevice::on_client_connected(UMockdevIoctlBase*, UMockdevIoctlClient* client,
                                         gpointer self) {
  auto* device = static_cast<EmulatedDevice*>(self);
  ClientConnection connection = ClientConnection::newest(device->ioctl_socket_);
  std::lock_guard<std::mutex> lock(device->mutex_);
  device->client_state(client).connection = std::move(connection);
}

void EmulatedDevice::handle_ioctl(UMockdevIoctlClient* client) {
  Reply reply;
  try {
    reply = dispatch(client);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "torvak_emu: ioctl on %s failed: %s\n", devnode_.c_str(), error.what());
    reply = fail(EIO);
  }
  if (!reply.deferred) umockdev_ioctl_client_complete(client, reply.result, reply.error);
}

EmulatedDevice::Reply EmulatedDevice::dispatch(UMockdevIoctlClient* client) {
  const unsigned long request = umockdev_ioctl_client_get_request(client);
  UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
  switch (request) {
    case USBDEVFS_SUBMITURB:
      return submit_urb(client, arg);
    case USBDEVFS_REAPURB:
      return reap_urb(client, arg, true);
    case USBDEVFS_REAPURBNDELAY:
      return reap_urb(client, arg, false);
    case USBDEVFS_DISCARDURB:
      return discard_urb(client, argument_value(arg));
    case USBDEVFS_CONTROL:
      return control_ioctl(arg);
    default:
      break;
  }

  // The rest are short; they only look at the device's state.
  GObjectRef<UMockdevIoctlData> data;
  size_t size = 0;
  switch (request) {
    case USBDEVFS_GET_CAPABILITIES:
      size = sizeof(uint32_t);
      break;
    case USBDEVFS_CLAIMINTERFACE:
    case USBDEVFS_RELEASEINTERFACE:
    case USBDEVFS_SETCONFIGURATION:
    case USBDEVFS_CLEAR_HALT:
    case USBDEVFS_RESETEP:
      size = sizeof(unsigned int);
      break;
    case USBDEVFS_SETINTERFACE:
      size = sizeof(usbdevfs_setinterface);
      break;
    case USBDEVFS_CONNECTINFO:
      size = sizeof(usbdevfs_connectinfo);
      break;
    case USBDEVFS_GETDRIVER:
      size = sizeof(usbdevfs_getdriver);
      break;
    case USBDEVFS_IOCTL:
      size = sizeof(usbdevfs_ioctl);
      break;
    case USBDEVFS_DISCONNECT_CLAIM:
      size = sizeof(usbdevfs_disconnect_claim);
      break;
    default:
      break;
  }
  if (size > 0) {
    data = resolve(arg, 0, size);
    if (!data) return fail(EFAULT);
  }

  std::lock_guard<std::mutex> lock(mutex_);
  if (!connected_) return fail(ENODEV);
  client_state(client);
  const auto unsigned_arg = [&] { return *as<unsigned int>(data); };
  switch (request) {
    case USBDEVFS_GET_CAPABILITIES:
      *as<uint32_t>(data) = kCapabilities;
      return ok();
    case USBDEVFS_GET_SPEED:
      return ok(USB_SPEED_FULL);
    case USBDEVFS_CONNECTINFO:
      as<usbdevfs_connectinfo>(data)->devnum = static_cast<unsigned>(options_.address);
      as<usbdevfs_connectinfo>(data)->slow = 0;
      return ok();
    case USBDEVFS_CLAIMINTERFACE:
      if (unsigned_arg() != kInterfaceNumber) return fail(ENOENT);
      if (int error = claim_for(client)) return fail(error);
      return ok();
    case USBDEVFS_RELEASEINTERFACE:
      if (unsigned_arg() != kInterfaceNumber || claimed_by_ != client) return fail(EINVAL);
      claimed_by_ = nullptr;
      trim_buffers(Clock::now());  // nobody reads any more
      return ok();
    case USBDEVFS_SETINTERFACE: {
      const auto* setting = as<usbdevfs_setinterface>(data);
      if (setting->interface != kInterfaceNumber || setting->altsetting != 0) return fail(EINVAL);
      if (int error = claim_for(client)) return fail(error);
      return ok();
    }
    case USBDEVFS_SETCONFIGURATION: {
      const int value = static_cast<int>(unsigned_arg());
      if (value != -1 && value != 0 && value != kConfigurationValue) return fail(EINVAL);
      return ok();
    }
    case USBDEVFS_CLEAR_HALT:
    case USBDEVFS_RESETEP: {
      const unsigned endpoint = unsigned_arg();
      if (endpoint != 0 && endpoint != kInEndpoint && endpoint != kOutEndpoint) {
        return fail(ENOENT);
      }
      return ok();
    }
    case USBDEVFS_RESET:
    case USBDEVFS_DROP_PRIVILEGES:
      return ok();
    case USBDEVFS_GETDRIVER: {
      auto* query = as<usbdevfs_getdriver>(data);
      const char* driver = bound_driver();
      if (query->interface != kInterfaceNumber || driver == nullptr) return fail(ENODATA);
      std::snprintf(query->driver, sizeof(query->driver), "%s", driver);
      return ok();
    }
    case USBDEVFS_IOCTL: {
      const auto* command = as<usbdevfs_ioctl>(data);
      if (command->ifno != kInterfaceNumber) return fail(EINVAL);
      if (command->ioctl_code == static_cast<int>(USBDEVFS_DISCONNECT)) {
        if (kernel_driver_attached_) {
          kernel_driver_attached_ = false;
        } else if (claimed_by_ != nullptr) {
          claimed_by_ = nullptr;
        } else {
          return fail(ENODATA);
        }
        return ok();
      }
      if (command->ioctl_code == static_cast<int>(USBDEVFS_CONNECT)) {
        if (kernel_driver_attached_ || claimed_by_ != nullptr) return fail(EBUSY);
        kernel_driver_attached_ = options_.kernel_driver;
        return ok();
      }
      return fail(ENOTTY);
    }
    case USBDEVFS_DISCONNECT_CLAIM: {
      const auto* claim = as<usbdevfs_disconnect_claim>(data);
      if (claim->interface != kInterfaceNumber) return fail(EINVAL);
      const char* bound = bound_driver();
      if (bound != nullptr) {
        const std::string named(claim->driver, strnlen(claim->driver, sizeof(claim->driver)));
        if ((claim->flags & USBDEVFS_DISCONNECT_CLAIM_IF_DRIVER) && named != bound) {
          return fail(EBUSY);
        }
        if ((claim->flags & USBDEVFS_DISCONNECT_CLAIM_EXCEPT_DRIVER) && named == bound) {
          return fail(EBUSY);
        }
        if (claimed_by_ == nullptr) kernel_driver_attached_ = false;
      }
      if (int error = claim_for(client)) return fail(error);
      return ok();
    }
    default:
      return fail(ENOTTY);
  }
}

EmulatedDevice::Reply EmulatedDevice::submit_urb(UMockdevIoctlClient* client,
                                                 UMockdevIoctlData* arg) {
  auto urb_data = resolve(arg, 0, sizeof(usbdevfs_urb));
  if (!urb_data) return fail(EFAULT);
  const auto* raw = as<usbdevfs_urb>(urb_data);
  if (raw->buffer_length < 0) return fail(EINVAL);
  Urb urb;
  urb.client = client;
  urb.address = urb_data->client_addr;
  urb.type = raw->type;
  urb.endpoint = raw->endpoint;
  urb.buffer_length = raw->buffer_length;
  if (urb.buffer_length > 0) {
    urb.buffer = resolve(urb_data.get(), offsetof(usbdevfs_urb, buffer),
                         static_cast<size_t>(urb.buffer_length));
    if (!urb.buffer) return fail(EFAULT);
  }
  urb.urb = std::move(urb_data);

  std::lock_guard<std::mutex> lock(mutex_);
  if (!connected_) return fail(ENODEV);
  client_state(client);
  const auto now = Clock::now();
  switch (urb.type) {
    case USBDEVFS_URB_TYPE_CONTROL: {
      if ((urb.endpoint & 0x7F) != 0) return fail(ENOENT);
      if (urb.buffer_length < static_cast<int>(kSetupSize)) return fail(EINVAL);
      const auto setup =
          SetupPacket::parse(std::span<const uint8_t, kSetupSize>(urb.buffer->data, kSetupSize));
      if (setup.length > urb.buffer_length - static_cast<int>(kSetupSize)) return fail(EINVAL);
      urb.in_offset = kSetupSize;
      if (auto answer = answer_standard_request(options_, setup)) {
        const int length = static_cast<int>(answer->size());
        urb.in_data = std::move(*answer);
        finish(std::move(urb), 0, length);
      } else {
        finish(std::move(urb), -EPIPE, 0);
      }
      break;
    }
    case USBDEVFS_URB_TYPE_BULK:
    case USBDEVFS_URB_TYPE_INTERRUPT:
      if (urb.endpoint != kInEndpoint && urb.endpoint != kOutEndpoint) return fail(ENOENT);
      // usbfs turns a bulk URB on an interrupt endpoint into an interrupt one, but refuses
      // an interrupt URB on a bulk endpoint.
      if (urb.type == USBDEVFS_URB_TYPE_INTERRUPT && options_.transfer == TransferKind::kBulk) {
        return fail(EINVAL);
      }
      if (int error = claim_for(client)) return fail(error);
      urb.submitted = now;
      if (urb.endpoint == kInEndpoint) {
        // Back after a pause: the device could not hold more than its buffers meanwhile.
        if (!host_reads(now)) trim_buffers(now);
        pending_in_.push_back(std::move(urb));
      } else {
        const auto packets = std::max<int64_t>(1, (urb.buffer_length + kMaxPacketSize - 1) /
                                                      kMaxPacketSize);
        if (pace_ == Clock::duration::zero()) {
          urb.due = now;
        } else {
          // The host controller sends at the start of a frame, one packet per frame.
          const auto start = std::max(frame_ceil(now), next_out_slot_);
          urb.due = start + (packets - 1) * pace_;
          next_out_slot_ = urb.due + pace_;
        }
        pending_out_.push_back(std::move(urb));
      }
      break;
    default:
      return fail(EINVAL);
  }
  pump_locked(now);
  update_readiness();
  return ok();
}

EmulatedDevice::Reply EmulatedDevice::reap_urb(UMockdevIoctlClient* client,
                                               UMockdevIoctlData* arg, bool block) {
  auto slot = resolve(arg, 0, sizeof(void*));
  if (!slot) return fail(EFAULT);
  std::lock_guard<std::mutex> lock(mutex_);
  ClientState& state = client_state(client);
  Reply reply;
  if (!state.reapable.empty()) {
    deliver(state, slot.get());
    reply = ok();
  } else if (!connected_) {
    reply = fail(ENODEV);
  } else if (block) {
    state.blocked_reap_slot = std::move(slot);
    reply = deferred();
  } else {
    reply = fail(EAGAIN);
  }
  update_readiness();
  return reply;
}

EmulatedDevice::Reply EmulatedDevice::discard_urb(UMockdevIoctlClient* client, uint64_t address) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!connected_) return fail(ENODEV);
  for (auto* queue : {&pending_in_, &pending_out_}) {
    auto it = std::find_if(queue->begin(), queue->end(), [&](const Urb& urb) {
      return urb.client == client && urb.address == address;
    });
    if (it != queue->end()) {
      if (queue == &pending_in_) in_last_seen_ = Clock::now();
      Urb urb = std::move(*it);
      queue->erase(it);
      finish(std::move(urb), -ENOENT, 0);
      update_readiness();
      return ok();
    }
  }
  return fail(EINVAL);
}

EmulatedDevice::Reply EmulatedDevice::control_ioctl(UMockdevIoctlData* arg) {
  auto transfer_data = resolve(arg, 0, sizeof(usbdevfs_ctrltransfer));
  if (!transfer_data) return fail(EFAULT);
  const auto* transfer = as<usbdevfs_ctrltransfer>(transfer_data);
  const SetupPacket setup{transfer->bRequestType, transfer->bRequest, transfer->wValue,
                          transfer->wIndex, transfer->wLength};
  GObjectRef<UMockdevIoctlData> buffer;
  if (setup.length > 0) {
    buffer = resolve(transfer_data.get(), offsetof(usbdevfs_ctrltransfer, data), setup.length);
    if (!buffer) return fail(EFAULT);
  }
  std::lock_guard<std::mutex> lock(mutex_);
  if (!connected_) return fail(ENODEV);
  auto answer = answer_standard_request(options_, setup);
  if (!answer) return fail(EPIPE);
  if (!answer->empty()) std::copy(answer->begin(), answer->end(), buffer->data);
  return ok(static_cast<long>(answer->size()));
}

// ---- helpers; mutex_ held ------------------------------------------------------------

EmulatedDevice::ClientState& EmulatedDevice::client_state(UMockdevIoctlClient* client) {
  auto [it, inserted] = clients_.try_emplace(client);
  if (!inserted) return it->second;
  // An ioctl sent just before the client went: back in until the next prune.
  if (auto gone = abandoned_.find(client); gone != abandoned_.end()) {
    it->second = std::move(gone->second);
    abandoned_.erase(gone);
  } else {
    it->second.client = GObjectRef<UMockdevIoctlClient>::share(client);
  }
  return it->second;
}

void EmulatedDevice::prune_closed_clients() {
  for (auto it = clients_.begin(); it != clients_.end();) {
    UMockdevIoctlClient* client = it->first;
    const bool connected = umockdev_ioctl_client_get_connected(client);
    if (connected && !it->second.connection.client_gone()) {
      ++it;
      continue;
    }
    for (auto* queue : {&pending_in_, &pending_out_}) {
      std::erase_if(*queue, [&](const Urb& urb) { return urb.client == client; });
    }
    if (claimed_by_ == client) {
      claimed_by_ = nullptr;
      trim_buffers(Clock::now());
    }
    if (connected) {
      ClientState& gone = abandoned_[client] = std::move(it->second);
      gone.reapable.clear();
      gone.blocked_reap_slot = {};
    }
    it = clients_.erase(it);
  }
  // Those umockdev has since seen go will send nothing more: their descriptors go too.
  std::erase_if(abandoned_, [](const auto& entry) { return !umockdev_ioctl_client_get_connected(entry.first); });
  update_readiness();
  if (!connected_ && node_removed_ && clients_.empty()) fifo_.close();
}

const char* EmulatedDevice::bound_driver() const {
  if (claimed_by_ != nullptr) return kUsbfsDriverName;
  if (kernel_driver_attached_) return kKernelDriverName;
  return nullptr;
}

int EmulatedDevice::claim_for(UMockdevIoctlClient* client) {
  if (claimed_by_ == client) return 0;
  prune_closed_clients();
  if (clients_.count(client) == 0) return ENODEV;  // the client itself has gone
  if (claimed_by_ != nullptr || kernel_driver_attached_) return EBUSY;
  claimed_by_ = client;
  return 0;
}

void EmulatedDevice::finish(Urb urb, int status, int actual_length) {
  urb.status = status;
  urb.actual_length = actual_length;
  auto it = clients_.find(urb.client);
  if (it == clients_.end()) return;
  ClientState& state = it->second;
  state.reapable.push_back(std::move(urb));
  if (state.blocked_reap_slot) {
    deliver(state, state.blocked_reap_slot.get());
    umockdev_ioctl_client_complete(state.client.get(), 0, 0);
    state.blocked_reap_slot.reset();
  }
}

void EmulatedDevice::deliver(ClientState& state, UMockdevIoctlData* slot) {
  Urb urb = std::move(state.reapable.front());
  state.reapable.pop_front();
  auto* raw = as<usbdevfs_urb>(urb.urb);
  raw->status = urb.status;
  raw->actual_length = urb.actual_length;
  raw->error_count = 0;
  if (urb.buffer && !urb.in_data.empty()) {
    const size_t room = static_cast<size_t>(urb.buffer->data_len) - urb.in_offset;
    std::copy_n(urb.in_data.begin(), std::min(room, urb.in_data.size()),
                urb.buffer->data + urb.in_offset);
  }
  if (urb.timed) {
    in_timing_.push_back(InTiming{urb.offered, urb.completed, monotonic_seconds(Clock::now()),
                                  urb.actual_length});
  }
  // The slot keeps its own reference; the buffer is a child of the URB's copy.
  umockdev_ioctl_data_set_ptr(slot, 0, urb.urb.get());
}

Clock::time_point EmulatedDevice::frame_ceil(Clock::time_point when) const {
  const auto into = when.time_since_epoch() % pace_;
  return into == Clock::duration::zero() ? when : when - into + pace_;
}

size_t EmulatedDevice::next_in_index() {
  // The channels' buffers take turns, so that one full buffer does not hold up the others;
  // everything else (replies, raw packets, the stream) is one more turn, in its own order.
  const size_t unbounded = in_queue_.size() - bounded_packets_;
  int turn = in_turn_;
  for (size_t step = 0; step < buffered_.size(); ++step) {
    turn = (turn + 1) % static_cast<int>(buffered_.size());
    if (turn == 0 ? unbounded > 0 : buffered_[static_cast<size_t>(turn)] > 0) break;
  }
  in_turn_ = turn;
  for (size_t i = 0; i < in_queue_.size(); ++i) {
    if (in_queue_[i].channel == turn) return i;
  }
  return 0;  // not reached while the counts are right
}

Clock::time_point EmulatedDevice::in_due(Clock::time_point now, size_t index) const {
  if (pace_ == Clock::duration::zero()) return now;
  // Polled at the start of each frame: the first frame in which the endpoint is free, a
  // transfer waits and the packet is there.
  const auto ready = std::max(pending_in_.front().submitted, in_queued_at_[index]);
  return std::max(next_in_slot_, frame_ceil(ready));
}

void EmulatedDevice::stamp_in_queue(Clock::time_point now) {
  while (in_queued_at_.size() > in_queue_.size()) in_queued_at_.pop_front();
  while (in_queued_at_.size() < in_queue_.size()) in_queued_at_.push_back(now);
  in_backlog_max_ = std::max(in_backlog_max_, in_queue_.size());
}

void EmulatedDevice::produce_locked(Clock::time_point now) {
  if (!stream_ || !connected_) return;
  stamp_in_queue(now);  // what others queued keeps its own time
  Stream& stream = *stream_;
  while (stream.next <= now) {
    const int channel = stream.channels[stream.turn++ % stream.channels.size()];
    uint8_t& counter = stream.counters[static_cast<size_t>(channel)];
    Bytes payload(static_cast<size_t>(stream.payload));
    for (auto& byte : payload) byte = counter++;
    in_queue_.push_back(InPacket{Firmware::make_packet(static_cast<uint8_t>(channel), payload), 0});
    // Produced late only because the timer fired late: the data existed since `next`.
    in_queued_at_.push_back(stream.next);
    ++stream_produced_;
    stream.next += stream.interval;
  }
  in_backlog_max_ = std::max(in_backlog_max_, in_queue_.size());
}

bool EmulatedDevice::has_room_for(const Urb& urb) const {
  std::array<size_t, Firmware::kMaxDataChannel + 1> need{};
  const uint8_t* data = urb.buffer ? urb.buffer->data : nullptr;
  const size_t length = static_cast<size_t>(urb.buffer_length);
  for (size_t offset = 0; offset < length; offset += kMaxPacketSize) {
    const size_t end = std::min(length, offset + kMaxPacketSize);
    if (auto back = firmware_.line_return(std::span<const uint8_t>(data + offset, end - offset))) {
      need[static_cast<size_t>(back->channel)] += back->bytes;
    }
  }
  for (size_t channel = 1; channel < need.size(); ++channel) {
    // An empty buffer takes a transfer bigger than itself, as a full one does after kLineWait.
    if (need[channel] > 0 && buffered_[channel] > 0 &&
        buffered_[channel] + need[channel] > kChannelBufferBytes) {
      return false;
    }
  }
  return true;
}

bool EmulatedDevice::take_out_locked(Clock::time_point now) {
  while (connected_ && !pending_out_.empty() && pending_out_.front().due <= now) {
    // Whole transfers or nothing: a transfer the host cancels meanwhile has moved no byte.
    const Urb& first = pending_out_.front();
    if (now - first.submitted < kLineWait && !has_room_for(first)) return true;
    Urb urb = std::move(pending_out_.front());
    pending_out_.pop_front();
    const uint8_t* data = urb.buffer ? urb.buffer->data : nullptr;
    const size_t length = static_cast<size_t>(urb.buffer_length);
    int status = 0;
    size_t taken = 0;
    if (length == 0) status = out_packet_arrived({}, now);
    for (size_t offset = 0; status == 0 && offset < length; offset += kMaxPacketSize) {
      const size_t end = std::min(length, offset + kMaxPacketSize);
      status = out_packet_arrived(Bytes(data + offset, data + end), now);
      if (status == 0) taken = end;
    }
    if (!connected_) {
      finish(std::move(urb), -ENODEV, 0);
      return false;
    }
    if (status != 0) {
      finish(std::move(urb), status, static_cast<int>(taken));
      continue;
    }
    const int sent = urb.buffer_length;
    finish(std::move(urb), 0, sent);
  }
  return false;
}

void EmulatedDevice::pump_locked(Clock::time_point now) {
  bool out_waits = false;
  bool delivered = true;
  // Each IN packet delivered makes room that a waiting OUT transfer may need.
  while (delivered) {
    delivered = false;
    out_waits = take_out_locked(now);
    if (!connected_) return;
    produce_locked(now);
    stamp_in_queue(now);
    if (fail_in_error_ != 0 && !pending_in_.empty()) {
      Urb urb = std::move(pending_in_.front());
      pending_in_.pop_front();
      finish(std::move(urb), -std::exchange(fail_in_error_, 0), 0);
    }
    const bool paced = pace_ != Clock::duration::zero();
    while (!pending_in_.empty() && !in_queue_.empty()) {
      // The time on the bus; a late timer or pump completes the transfer now but logs when the
      // device sent it.
      const int turn = in_turn_;
      const size_t index = next_in_index();
      const Clock::time_point sent = in_due(now, index);
      if (sent > now) {
        in_turn_ = turn;  // the same packet goes when its time comes
        break;
      }
      Urb urb = std::move(pending_in_.front());
      pending_in_.pop_front();
      in_last_seen_ = now;
      const auto at = static_cast<std::ptrdiff_t>(index);
      InPacket queued_packet = std::move(in_queue_[index]);
      in_queue_.erase(in_queue_.begin() + at);
      Bytes packet = std::move(queued_packet.bytes);
      if (queued_packet.channel != 0) {
        buffered_[static_cast<size_t>(queued_packet.channel)] -= packet[1];
        --bounded_packets_;
      }
      const Clock::time_point queued = in_queued_at_[index];
      in_queued_at_.erase(in_queued_at_.begin() + at);
      const int length = static_cast<int>(std::min(packet.size(),
                                                    static_cast<size_t>(urb.buffer_length)));
      const int status = packet.size() > static_cast<size_t>(urb.buffer_length) ? -EOVERFLOW : 0;
      packet.resize(static_cast<size_t>(length));
      urb.in_data = std::move(packet);
      in_log_.push_back(InLogEntry{monotonic_seconds(sent), length});
      // Offered: when it could have gone had a transfer been waiting; paced, the first frame
      // after it was queued in which the endpoint was free; unpaced, once it was queued and
      // the packet before it had gone.
      urb.timed = true;
      urb.offered = monotonic_seconds(paced ? std::max(next_in_slot_, frame_ceil(queued))
                                            : std::max(queued, last_in_done_));
      urb.completed = monotonic_seconds(sent);
      last_in_done_ = sent;
      if (paced) next_in_slot_ = sent + pace_;
      finish(std::move(urb), status, length);
      delivered = out_waits;
    }
  }
  std::optional<Clock::time_point> next;
  if (!pending_out_.empty()) {
    next = out_waits ? pending_out_.front().submitted + kLineWait : pending_out_.front().due;
  }
  if (!pending_in_.empty() && !in_queue_.empty()) {
    const int turn = in_turn_;
    const auto due = in_due(now, next_in_index());
    in_turn_ = turn;
    next = next ? std::min(*next, due) : due;
  }
  if (stream_) next = next ? std::min(*next, stream_->next) : stream_->next;
  if (next) arm_timer(*next);
}

void EmulatedDevice::queue_from_firmware(std::deque<Bytes>& packets, Clock::time_point now) {
  stamp_in_queue(now);
  for (auto& packet : packets) {
    const int channel = packet[0] <= Firmware::kMaxDataChannel ? packet[0] : 0;
    const size_t count = packet[1];
    if (channel == 0 || count == 0) {
      in_queue_.push_back(InPacket{std::move(packet), 0});
      in_queued_at_.push_back(now);
      continue;
    }
    auto& held = buffered_[static_cast<size_t>(channel)];
    held += count;
    size_t moved = 0;
    if (!in_queue_.empty() && in_queue_.back().channel == channel) {
      Bytes& last = in_queue_.back().bytes;
      const size_t room = Firmware::kMaxDataPerInPacket - std::min<size_t>(last[1], Firmware::kMaxDataPerInPacket);
      moved = std::min(count, room);
      std::copy_n(packet.begin() + 2, moved, last.begin() + 2 + last[1]);
      last[1] = static_cast<uint8_t>(last[1] + moved);
    }
    if (moved < count) {
      const auto rest = std::span<const uint8_t>(packet).subspan(2 + moved, count - moved);
      in_queue_.push_back(InPacket{Firmware::make_packet(static_cast<uint8_t>(channel), rest), channel});
      in_queued_at_.push_back(now);
      ++bounded_packets_;
    }
    if (held > kChannelBufferBytes && !host_reads(now)) drop_oldest(channel, held - kChannelBufferBytes);
  }
  in_backlog_max_ = std::max(in_backlog_max_, in_queue_.size());
}

void EmulatedDevice::trim_buffers(Clock::time_point now) {
  stamp_in_queue(now);
  for (size_t channel = 1; channel < buffered_.size(); ++channel) {
    if (buffered_[channel] > kChannelBufferBytes) {
      drop_oldest(static_cast<int>(channel), buffered_[channel] - kChannelBufferBytes);
    }
  }
}

bool EmulatedDevice::host_reads(Clock::time_point now) const {
  return !pending_in_.empty() || now - in_last_seen_ < kHostAway;
}

void EmulatedDevice::drop_oldest(int channel, size_t bytes) {
  buffered_[static_cast<size_t>(channel)] -= bytes;
  dropped_[static_cast<size_t>(channel)] += bytes;
  for (size_t i = 0; bytes > 0 && i < in_queue_.size();) {
    if (in_queue_[i].channel != channel) {
      ++i;
      continue;
    }
    Bytes& packet = in_queue_[i].bytes;
    const size_t count = packet[1];
    if (count <= bytes) {
      bytes -= count;
      in_queue_.erase(in_queue_.begin() + static_cast<std::ptrdiff_t>(i));
      in_queued_at_.erase(in_queued_at_.begin() + static_cast<std::ptrdiff_t>(i));
      --bounded_packets_;
      continue;
    }
    // Part of the packet goes: what stays moves to the front of its record.
    std::copy(packet.begin() + 2 + static_cast<std::ptrdiff_t>(bytes),
              packet.begin() + 2 + static_cast<std::ptrdiff_t>(count), packet.begin() + 2);
    std::fill(packet.begin() + 2 + static_cast<std::ptrdiff_t>(count - bytes),
              packet.begin() + 2 + static_cast<std::ptrdiff_t>(count), 0);
    packet[1] = static_cast<uint8_t>(count - bytes);
    bytes = 0;
  }
}

void EmulatedDevice::arm_timer(Clock::time_point when) {
  if (timer_armed_ && *timer_armed_ <= when) return;
  timer_armed_ = when;
  scheduler_.run_at(when, [weak = weak_from_this()] {
    if (auto self = weak.lock()) self->pump();
  });
}

int EmulatedDevice::out_packet_arrived(Bytes packet, Clock::time_point now) {
  if (fail_out_countdown_ > 0 && --fail_out_countdown_ == 0) return -fail_out_error_;
  out_packets_.push_back(packet);
  out_arrived_.notify_all();
  if (unplug_countdown_ > 0 && --unplug_countdown_ == 0) {
    disconnect_locked();
    // The testbed's side of an unplug takes the testbed's lock, which ranks above mutex_
    // (held here), so it runs later on the Scheduler thread.
    scheduler_.post([weak = weak_from_this(), request = request_removal_] {
      if (auto self = weak.lock()) request(self);
    });
    return -ENODEV;
  }
  std::deque<Bytes> replies;
  firmware_.receive(packet, replies);
  queue_from_firmware(replies, now);
  return 0;
}

void EmulatedDevice::disconnect_locked() {
  if (!connected_) return;
  connected_ = false;
  unplug_countdown_ = 0;
  for (auto* queue : {&pending_in_, &pending_out_}) {
    while (!queue->empty()) {
      Urb urb = std::move(queue->front());
      queue->pop_front();
      finish(std::move(urb), -ENODEV, 0);
    }
  }
  claimed_by_ = nullptr;
  for (auto& [client, state] : clients_) {
    if (state.blocked_reap_slot) {
      umockdev_ioctl_client_complete(state.client.get(), -1, ENODEV);
      state.blocked_reap_slot.reset();
    }
  }
  out_arrived_.notify_all();
  update_readiness();
}

void EmulatedDevice::update_readiness() {
  const bool ready = std::any_of(clients_.begin(), clients_.end(),
                                 [](const auto& entry) { return !entry.second.reapable.empty(); });
  fifo_.set_ready(ready);
}

void EmulatedDevice::pump() {
  std::lock_guard<std::mutex> lock(mutex_);
  timer_armed_.reset();
  pump_locked(Clock::now());
  update_readiness();
}

// ---- testbed and test side -----------------------------------------------------------

void EmulatedDevice::disconnect() {
  std::lock_guard<std::mutex> lock(mutex_);
  disconnect_locked();
}

void EmulatedDevice::node_removed() {
  std::lock_guard<std::mutex> lock(mutex_);
  node_removed_ = true;
  prune_closed_clients();
}

bool EmulatedDevice::connected() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return connected_;
}

std::vector<Bytes> EmulatedDevice::out_packets(bool clear) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<Bytes> out = out_packets_;
  if (clear) out_packets_.clear();
  return out;
}

bool EmulatedDevice::wait_out(size_t count, double timeout_seconds) {
  std::unique_lock<std::mutex> lock(mutex_);
  return out_arrived_.wait_for(lock, std::chrono::duration<double>(std::max(0.0, timeout_seconds)),
                               [&] { return out_packets_.size() >= count; });
}

void EmulatedDevice::queue_in(Bytes packet) {
  if (packet.size() > static_cast<size_t>(kMaxPacketSize)) {
    throw std::invalid_argument("an IN packet holds at most 64 bytes");
  }
  std::lock_guard<std::mutex> lock(mutex_);
  in_queue_.push_back(InPacket{std::move(packet), 0});
  pump_locked(Clock::now());
  update_readiness();
}

std::vector<InLogEntry> EmulatedDevice::in_log(bool clear) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<InLogEntry> out = in_log_;
  if (clear) in_log_.clear();
  return out;
}

std::vector<InTiming> EmulatedDevice::in_timing(bool clear) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<InTiming> out = in_timing_;
  if (clear) in_timing_.clear();
  return out;
}

void EmulatedDevice::stream_in(std::vector<int> channels, double interval_ms, int payload) {
  for (int channel : channels) {
    if (channel < 1 || channel > Firmware::kMaxDataChannel) {
      throw std::invalid_argument("data channels are 1 to 99");
    }
  }
  if (!channels.empty() && !(interval_ms > 0 && interval_ms <= 10000)) {
    throw std::invalid_argument("the interval is above 0 and at most 10000 ms");
  }
  if (payload < 1 || payload > static_cast<int>(Firmware::kMaxDataPerInPacket)) {
    throw std::invalid_argument("a streamed record holds 1 to 61 bytes");
  }
  std::lock_guard<std::mutex> lock(mutex_);
  if (channels.empty()) {
    stream_.reset();
    return;
  }
  const auto now = Clock::now();
  stamp_in_queue(now);
  Stream stream;
  stream.channels = std::move(channels);
  stream.interval = std::chrono::duration_cast<Clock::duration>(
      std::chrono::duration<double, std::milli>(interval_ms));
  stream.payload = payload;
  stream.next = now;
  stream_ = std::move(stream);
  pump_locked(now);
  update_readiness();
}

StreamStats EmulatedDevice::stream_stats(bool reset_max) {
  std::lock_guard<std::mutex> lock(mutex_);
  StreamStats stats{stream_produced_, in_queue_.size(), in_backlog_max_};
  if (reset_max) in_backlog_max_ = in_queue_.size();
  return stats;
}

void EmulatedDevice::fail_out_after(int count, int error) {
  if (count < 0) throw std::invalid_argument("the packet count is 0 or more");
  if (count > 0 && error <= 0) throw std::invalid_argument("the error is a positive errno");
  std::lock_guard<std::mutex> lock(mutex_);
  fail_out_countdown_ = count;
  fail_out_error_ = error;
}

void EmulatedDevice::fail_in_next(int error) {
  if (error < 0) throw std::invalid_argument("the error is a positive errno, or 0");
  std::lock_guard<std::mutex> lock(mutex_);
  fail_in_error_ = error;
  pump_locked(Clock::now());
  update_readiness();
}

std::map<int, size_t> EmulatedDevice::buffered() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::map<int, size_t> out;
  for (size_t channel = 1; channel < buffered_.size(); ++channel) {
    if (buffered_[channel] != 0) out[static_cast<int>(channel)] = buffered_[channel];
  }
  return out;
}

std::map<int, uint64_t> EmulatedDevice::dropped() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::map<int, uint64_t> out;
  for (size_t channel = 1; channel < dropped_.size(); ++channel) {
    if (dropped_[channel] != 0) out[static_cast<int>(channel)] = dropped_[channel];
  }
  return out;
}

size_t EmulatedDevice::pending_in() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return in_queue_.size();
}

void EmulatedDevice::set_fault(std::optional<FaultMode> master, std::optional<FaultMode> config) {
  if (master == FaultMode::kWrongRate) {
    throw std::invalid_argument("wrong_rate applies to the channel configuration only");
  }
  std::lock_guard<std::mutex> lock(mutex_);
  if (master) firmware_.set_master_fault(*master);
  if (config) firmware_.set_config_fault(*config);
}

void EmulatedDevice::set_loopback(bool on) {
  std::lock_guard<std::mutex> lock(mutex_);
  firmware_.set_loopback(on);
}

void EmulatedDevice::cross_lines(int a, int b) {
  std::lock_guard<std::mutex> lock(mutex_);
  firmware_.cross_lines(a, b);
}

void EmulatedDevice::set_pace_ms(double milliseconds) {
  if (!(milliseconds >= 0 && milliseconds <= 10000)) {
    throw std::invalid_argument("the pace is 0 to 10000 ms per packet");
  }
  std::lock_guard<std::mutex> lock(mutex_);
  pace_ms_ = milliseconds;
  pace_ = std::chrono::duration_cast<Clock::duration>(
      std::chrono::duration<double, std::milli>(milliseconds));
}

void EmulatedDevice::set_channel_count(int count) {
  if (count < 0 || count > Firmware::kMaxDataChannel) {
    throw std::invalid_argument("the channel count is 0 to 99");
  }
  std::lock_guard<std::mutex> lock(mutex_);
  firmware_.set_channel_count(count);
}

void EmulatedDevice::set_version(std::string version) {
  if (version.size() > Firmware::kMaxPayload) {
    throw std::invalid_argument("the version text fits one reply: at most 62 bytes");
  }
  std::lock_guard<std::mutex> lock(mutex_);
  firmware_.set_version(std::move(version));
}

void EmulatedDevice::unplug_after_out(int count) {
  if (count < 0) throw std::invalid_argument("the packet count is 0 or more");
  std::lock_guard<std::mutex> lock(mutex_);
  unplug_countdown_ = count;
}

ChannelState EmulatedDevice::channel_state(int channel) const {
  if (channel < 1 || channel > Firmware::kMaxControlChannel) {
    throw std::invalid_argument("channels are numbered 1 to 155");
  }
  std::lock_guard<std::mutex> lock(mutex_);
  return firmware_.channel_state(channel);
}

void EmulatedDevice::set_peer(int channel, std::unique_ptr<LinePeer> peer) {
  std::lock_guard<std::mutex> lock(mutex_);
  firmware_.set_peer(channel, std::move(peer));
  run_peers_locked(Clock::now());
}

std::optional<PeerSnapshot> EmulatedDevice::peer_state(int channel) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return firmware_.peer_snapshot(channel);
}

void EmulatedDevice::run_peers(Clock::time_point when) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (peer_timer_armed_ != when) return;
  peer_timer_armed_.reset();
  run_peers_locked(Clock::now());
}

void EmulatedDevice::run_peers_locked(Clock::time_point now) {
  if (!connected_) return;
  std::deque<Bytes> replies;
  const auto next = firmware_.run_peers(now, replies);
  if (!replies.empty()) {
    queue_from_firmware(replies, now);
    pump_locked(now);
    update_readiness();
  }
  if (!next || (peer_timer_armed_ && *peer_timer_armed_ <= *next)) return;
  peer_timer_armed_ = *next;
  scheduler_.run_at(*next, [weak = weak_from_this(), when = *next] {
    if (auto self = weak.lock()) self->run_peers(when);
  });
}

std::vector<std::string> EmulatedDevice::protocol_errors(bool clear) {
  std::lock_guard<std::mutex> lock(mutex_);
  return firmware_.take_protocol_errors(clear);
}

bool EmulatedDevice::kernel_driver_detached() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return options_.kernel_driver && !kernel_driver_attached_;
}

bool EmulatedDevice::claimed() {
  std::lock_guard<std::mutex> lock(mutex_);
  prune_closed_clients();
  return claimed_by_ != nullptr;
}

int EmulatedDevice::open_handles() {
  std::lock_guard<std::mutex> lock(mutex_);
  prune_closed_clients();
  return static_cast<int>(clients_.size());
}

EmulatedDevice::Settings EmulatedDevice::settings() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return Settings{firmware_.channel_count(), firmware_.version(),     firmware_.loopback(),
                  pace_ms_,                  firmware_.master_fault(), firmware_.config_fault()};
}

}  // namespace torvak_emu

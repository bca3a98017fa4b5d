#pragma once

#include <umockdev.h>

#include <array>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "client_connection.hpp"
#include "descriptors.hpp"
#include "device_options.hpp"
#include "firmware.hpp"
#include "gobject_ref.hpp"
#include "readiness_fifo.hpp"
#include "scheduler.hpp"

namespace torvak_emu {

struct InLogEntry {
  double time;  // CLOCK_MONOTONIC seconds when the URB completed
  int length;
};

// When one IN packet moved, CLOCK_MONOTONIC seconds. `offered` is the earliest moment the
// device could have sent it: it was queued and the endpoint's frame was free. A URB waiting
// then completes at once; a late one shows as completed - offered. `reaped` is when the
// client took the completed URB back (its reap ioctl).
struct InTiming {
  double offered;
  double completed;
  double reaped;
  int length;
};

// The device's own data source (stream_in) and how far the host lags behind it.
struct StreamStats {
  uint64_t produced;   // packets the source has put into the IN queue
  size_t backlog;      // packets queued for IN now
  size_t backlog_max;  // the most queued at once since the last reset
};

// One emulated Torvak device as usbfs presents it: the ioctls of its device node, its URBs,
// and the firmware behind its two endpoints.
//
// Threads: ioctls arrive on umockdev's worker thread; tests call the public methods from
// Python threads (with the GIL released); paced completions run on the Scheduler thread.
// Everything mutable is guarded by mutex_. Lock order: the testbed's lock, then mutex_,
// then the Scheduler's lock. mutex_ is never held while calling into the testbed, and no
// umockdev call made under it waits for the worker thread.
class EmulatedDevice : public std::enable_shared_from_this<EmulatedDevice> {
 public:
  // What the device holds for the host per data channel, as a small device's buffer does:
  // the bytes its lines have received and the host has not yet read. A device that cannot
  // send (the host reads nothing: no IN transfer waiting, none for kHostAway) drops the
  // oldest bytes past it, and counts them; so do a host's return after such a pause and
  // the release of the interface.
  // Data coming back through the line (the loopback, crossed lines) waits at the OUT
  // endpoint while the buffer is full, as a line slower than the bus would make it, but
  // for at most kLineWait, so the bus is never held up longer than that; a host that
  // reads but lags meanwhile (a busy machine) finds the buffer over its size rather than
  // data lost, which no device with a slower line would do to it. Raw packets (queue_in)
  // and the stream source are the test's own and not bounded.
  static constexpr size_t kChannelBufferBytes = 4096;
  static constexpr Clock::duration kLineWait = std::chrono::milliseconds(50);
  static constexpr Clock::duration kHostAway = std::chrono::seconds(1);

  // How an ioctl ends: the result and errno handed back to the client, or no answer yet.
  struct Reply {
    long result = 0;
    int error = 0;
    bool deferred = false;
  };

  // Called (on the Scheduler thread) when the device unplugs itself.
  using RemovalRequest = std::function<void(std::shared_ptr<EmulatedDevice>)>;

  // `ioctl_socket` is where umockdev listens for the node's clients.
  EmulatedDevice(DeviceOptions options, std::string devnode, std::string syspath,
                 std::string node_path, std::string ioctl_socket, Scheduler& scheduler,
                 RemovalRequest request_removal);
  ~EmulatedDevice();
  EmulatedDevice(const EmulatedDevice&) = delete;
  EmulatedDevice& operator=(const EmulatedDevice&) = delete;

  // The handler to attach to devnode(). The device must outlive every client of it.
  UMockdevIoctlBase* handler() const { return handler_.get(); }

  const DeviceOptions& options() const { return options_; }
  const std::string& devnode() const { return devnode_; }
  const std::string& syspath() const { return syspath_; }
  const std::string& node_path() const { return fifo_.path(); }

  // Surprise removal, device side: pending URBs fail with -ENODEV, later ioctls with
  // ENODEV. Idempotent. The testbed then removes the sysfs record and the node.
  void disconnect();
  // After the testbed has removed the node: no client can open it any more.
  void node_removed();
  bool connected() const;

  std::vector<Bytes> out_packets(bool clear);
  // Waits until at least `count` OUT packets are recorded; false on time-out.
  bool wait_out(size_t count, double timeout_seconds);
  void queue_in(Bytes packet);
  std::vector<InLogEntry> in_log(bool clear);
  std::vector<InTiming> in_timing(bool clear);
  size_t pending_in() const;
  // The device streams data on its own, like serial lines receiving at a steady rate: every
  // `interval_ms` one IN packet holding a single data record of `payload` bytes joins the IN
  // queue, for `channels` in turn. Each channel's bytes count up from 0 (mod 256), so the
  // host can check order and completeness. An empty `channels` stops the source.
  void stream_in(std::vector<int> channels, double interval_ms, int payload);
  StreamStats stream_stats(bool reset_max);
  // The bytes each channel's buffer holds for the host now, and those it has dropped
  // because it was full; channels with none are left out.
  std::map<int, size_t> buffered() const;
  std::map<int, uint64_t> dropped() const;

  void set_fault(std::optional<FaultMode> master, std::optional<FaultMode> config);
  void set_loopback(bool on);
  void cross_lines(int a, int b);
  void set_pace_ms(double milliseconds);
  void set_channel_count(int count);
  void set_version(std::string version);
  // Counting from this call, the n-th OUT packet is recorded and then the device unplugs
  // itself (the URB carrying it fails with -ENODEV). 0 cancels.
  void unplug_after_out(int count);
  // Counting from this call, the n-th OUT packet is refused: the device does not take it and
  // the URB carrying it fails with -error (EPIPE: a stall; EPROTO, EILSEQ: a bus error). The
  // device stays plugged. 0 cancels.
  void fail_out_after(int count, int error);
  // The next IN URB fails with -error at once, whether or not data is queued. 0 cancels.
  void fail_in_next(int error);

  ChannelState channel_state(int channel) const;
  // Puts a peer at the far end of a channel's line, or takes it away (null); see
  // Firmware::set_peer. A peer that sends on its own is run on the Scheduler thread.
  void set_peer(int channel, std::unique_ptr<LinePeer> peer);
  std::optional<PeerSnapshot> peer_state(int channel) const;
  std::vector<std::string> protocol_errors(bool clear);
  bool kernel_driver_detached() const;
  bool claimed();
  // Descriptors of the node that are open now (libusb opens one per device handle).
  int open_handles();

  struct Settings {
    int channel_count;
    std::string version;
    bool loopback;
    double pace_ms;
    FaultMode master_fault;
    FaultMode config_fault;
  };
  Settings settings() const;

 private:
  struct Urb {
    UMockdevIoctlClient* client = nullptr;  // ClientState keeps the reference
    GObjectRef<UMockdevIoctlData> urb;      // local copy of the client's struct usbdevfs_urb
    GObjectRef<UMockdevIoctlData> buffer;   // local copy of its buffer; null when empty
    uint64_t address = 0;                   // where the URB lives in the client (DISCARDURB)
    uint8_t type = 0;
    uint8_t endpoint = 0;
    int buffer_length = 0;
    Clock::time_point due{};        // OUT: when the device has taken its last packet
    Clock::time_point submitted{};  // when the host submitted it
    // The result. It is written into the local copies only when the URB is reaped: until
    // then umockdev may still be flushing those copies to the client on its worker thread.
    int status = 0;
    int actual_length = 0;
    Bytes in_data;
    size_t in_offset = 0;  // 8 for control URBs: the data stage follows the setup packet
    // IN packets from the queue: the first two fields of their InTiming, the third comes at reap.
    bool timed = false;
    double offered = 0;
    double completed = 0;
  };

  // One packet queued for the IN endpoint. `channel` is the data channel whose buffer
  // holds it (a single data record the firmware made), or 0 for anything not bounded.
  struct InPacket {
    Bytes bytes;
    int channel = 0;
  };

  struct ClientState {
    GObjectRef<UMockdevIoctlClient> client;
    ClientConnection connection;
    std::deque<Urb> reapable;
    GObjectRef<UMockdevIoctlData> blocked_reap_slot;  // a REAPURB waiting for a URB
  };

  static gboolean on_handle_ioctl(UMockdevIoctlBase* handler, UMockdevIoctlClient* client,
                                  gpointer self);
  static void on_client_connected(UMockdevIoctlBase* handler, UMockdevIoctlClient* client,
                                  gpointer self);

  // On umockdev's worker thread; each takes mutex_ itself.
  void handle_ioctl(UMockdevIoctlClient* client);
  Reply dispatch(UMockdevIoctlClient* client);
  Reply submit_urb(UMockdevIoctlClient* client, UMockdevIoctlData* arg);
  Reply reap_urb(UMockdevIoctlClient* client, UMockdevIoctlData* arg, bool block);
  Reply discard_urb(UMockdevIoctlClient* client, uint64_t address);
  Reply control_ioctl(UMockdevIoctlData* arg);

  // The following expect mutex_ to be held.
  ClientState& client_state(UMockdevIoctlClient* client);
  // Forgets the clients whose descriptors have all closed, with their URBs and their claim.
  // umockdev notices a closed descriptor (the stream ends) but tells nobody, and misses
  // one closed under an unanswered ioctl (see ClientConnection), so we look at both.
  void prune_closed_clients();
  int claim_for(UMockdevIoctlClient* client);  // 0 or an errno
  const char* bound_driver() const;            // what GETDRIVER names, or null
  void finish(Urb urb, int status, int actual_length);
  void deliver(ClientState& state, UMockdevIoctlData* slot);
  void pump_locked(Clock::time_point now);
  // Takes the OUT transfers that are due. True when the first of them waits for room in a
  // channel's buffer: it goes once the host has read enough, or kLineWait after it came.
  bool take_out_locked(Clock::time_point now);
  bool has_room_for(const Urb& urb) const;
  // Queues what the firmware sends: a channel's data joins its last packet while that is
  // the last one queued and has room, then the channel's buffer is kept to its size.
  void queue_from_firmware(std::deque<Bytes>& packets, Clock::time_point now);
  // Drops the oldest `bytes` of `channel`'s data queued for IN; in_queued_at_ is stamped.
  void drop_oldest(int channel, size_t bytes);
  // Whether the host reads IN: a transfer waits, or one did within kHostAway.
  bool host_reads(Clock::time_point now) const;
  // Brings every channel's buffer back to its size, dropping the oldest bytes: the host
  // has not been reading, or has let the device go.
  void trim_buffers(Clock::time_point now);
  void arm_timer(Clock::time_point when);
  void disconnect_locked();
  void update_readiness();
  // 0 when the device took the packet, else the URB's status: -ENODEV when the device
  // unplugged itself, or the refusal set by fail_out_after.
  int out_packet_arrived(Bytes packet, Clock::time_point now);
  // Gives the IN packets queued since the last call the time `now`; see in_queued_at_.
  void stamp_in_queue(Clock::time_point now);
  // Lets the stream source produce what is due by `now`.
  void produce_locked(Clock::time_point now);
  // Paced only: the first frame start at or after `when`.
  Clock::time_point frame_ceil(Clock::time_point when) const;
  // Which queued packet goes next, and takes its turn (in_turn_); one is queued.
  size_t next_in_index();
  // When the head IN transfer completes with the queued packet at `index`; both exist.
  Clock::time_point in_due(Clock::time_point now, size_t index) const;
  // Runs the peers that are due and arms the timer for the next one.
  void run_peers_locked(Clock::time_point now);

  void pump();
  // The peer timer armed for `when`; a timer that has since been replaced does nothing.
  void run_peers(Clock::time_point when);

  const DeviceOptions options_;
  const std::string devnode_;
  const std::string syspath_;
  const std::string ioctl_socket_;
  Scheduler& scheduler_;
  const RemovalRequest request_removal_;
  GObjectRef<UMockdevIoctlBase> handler_;

  mutable std::mutex mutex_;
  std::condition_variable out_arrived_;                   // signalled under mutex_
  ReadinessFifo fifo_;                                    // guarded by mutex_
  Firmware firmware_;                                     // guarded by mutex_
  bool connected_ = true;                                 // guarded by mutex_
  bool node_removed_ = false;                             // guarded by mutex_
  bool kernel_driver_attached_;                           // guarded by mutex_
  UMockdevIoctlClient* claimed_by_ = nullptr;             // guarded by mutex_
  std::map<UMockdevIoctlClient*, ClientState> clients_;   // guarded by mutex_
  // Clients gone while umockdev still counts them connected. Kept: umockdev complains
  // when a client it never closed is freed, the connection stays held so that it is not
  // taken for a later client's, and an ioctl of theirs still on its way finds them here.
  std::map<UMockdevIoctlClient*, ClientState> abandoned_; // guarded by mutex_
  std::deque<Urb> pending_in_;                            // guarded by mutex_
  std::deque<Urb> pending_out_;                           // guarded by mutex_
  std::deque<InPacket> in_queue_;                         // guarded by mutex_
  // Bytes of each data channel in in_queue_, and those dropped; index = channel number.
  std::array<size_t, Firmware::kMaxDataChannel + 1> buffered_{};    // guarded by mutex_
  std::array<uint64_t, Firmware::kMaxDataChannel + 1> dropped_{};   // guarded by mutex_
  size_t bounded_packets_ = 0;  // guarded by mutex_: entries of in_queue_ with a channel
  int in_turn_ = 0;             // guarded by mutex_: whose packet went last (0: unbounded)
  Clock::time_point in_last_seen_{};  // guarded by mutex_: when an IN transfer last waited
  std::vector<Bytes> out_packets_;                        // guarded by mutex_
  std::vector<InLogEntry> in_log_;                        // guarded by mutex_
  Clock::duration pace_{};                                // guarded by mutex_
  double pace_ms_ = 0;                                    // guarded by mutex_
  Clock::time_point next_in_slot_{};                      // guarded by mutex_
  Clock::time_point next_out_slot_{};                     // guarded by mutex_
  std::optional<Clock::time_point> timer_armed_;          // guarded by mutex_
  int unplug_countdown_ = 0;                              // guarded by mutex_
  int fail_out_countdown_ = 0;                            // guarded by mutex_
  int fail_out_error_ = 0;                                // guarded by mutex_
  int fail_in_error_ = 0;                                 // guarded by mutex_
  // When each entry of in_queue_ was queued, front first. Whoever pushes to in_queue_ calls
  // pump_locked next, which stamps the entries it has no time for yet with its own `now`.
  std::deque<Clock::time_point> in_queued_at_;            // guarded by mutex_
  Clock::time_point last_in_done_{};                      // guarded by mutex_
  std::vector<InTiming> in_timing_;                       // guarded by mutex_
  struct Stream {
    std::vector<int> channels;
    Clock::duration interval{};
    int payload = 0;
    Clock::time_point next{};  // when the next packet is due
    size_t turn = 0;
    std::array<uint8_t, Firmware::kMaxDataChannel + 1> counters{};
  };
  std::optional<Stream> stream_;                          // guarded by mutex_
  uint64_t stream_produced_ = 0;                          // guarded by mutex_
  size_t in_backlog_max_ = 0;                             // guarded by mutex_
  std::optional<Clock::time_point> peer_timer_armed_;     // guarded by mutex_
};

}  // namespace torvak_emu

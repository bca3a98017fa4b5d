// Python binding of the emulator. Every call that takes a native lock releases the GIL
// first; the emulator's own threads never touch Python.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "emulated_device.hpp"
#include "modbus_slave.hpp"
#include "testbed.hpp"
#include "xmodem_receiver.hpp"

namespace py = pybind11;
using torvak_emu::Bytes;
using torvak_emu::DeviceOptions;
using torvak_emu::EmulatedDevice;
using torvak_emu::FaultMode;
using torvak_emu::Testbed;
using torvak_emu::TransferKind;

namespace {

using Release = py::call_guard<py::gil_scoped_release>;

std::optional<FaultMode> fault_from_name(const std::optional<std::string>& name) {
  if (!name) return std::nullopt;
  if (*name == "ok") return FaultMode::kOk;
  if (*name == "silent") return FaultMode::kSilent;
  if (*name == "garbage") return FaultMode::kGarbage;
  if (*name == "wrong_rate") return FaultMode::kWrongRate;
  throw std::invalid_argument("unknown fault mode '" + *name +
                              "' (ok, silent, garbage or wrong_rate)");
}

const char* fault_name(FaultMode mode) {
  switch (mode) {
    case FaultMode::kSilent:
      return "silent";
    case FaultMode::kGarbage:
      return "garbage";
    case FaultMode::kWrongRate:
      return "wrong_rate";
    case FaultMode::kOk:
      break;
  }
  return "ok";
}

TransferKind transfer_from_name(const std::string& name) {
  if (name == "interrupt") return TransferKind::kInterrupt;
  if (name == "bulk") return TransferKind::kBulk;
  throw std::invalid_argument("unknown transfer type '" + name + "' (interrupt or bulk)");
}

py::bytes to_bytes(const Bytes& data) {
  return py::bytes(reinterpret_cast<const char*>(data.data()), data.size());
}

Bytes from_bytes(const py::bytes& data) {
  const std::string_view view = data;
  return Bytes(view.begin(), view.end());
}

uint16_t register_word(int value, const char* what) {
  if (value < 0 || value > 0xFFFF) {
    throw std::invalid_argument(std::string(what) + " " + std::to_string(value) +
                                " is outside 0 to 65535");
  }
  return static_cast<uint16_t>(value);
}

py::object peer_state(const EmulatedDevice& d, int channel) {
  std::optional<torvak_emu::PeerSnapshot> state;
  {
    py::gil_scoped_release release;
    state = d.peer_state(channel);
  }
  if (!state) return py::none();
  py::dict registers;
  for (const auto& [reg, value] : state->registers) registers[py::int_(reg)] = value;
  py::dict out;
  out["kind"] = state->kind;
  out["state"] = state->state;
  out["received"] = to_bytes(state->received);
  out["registers"] = registers;
  out["counters"] = state->counters;
  return out;
}

}  // namespace

PYBIND11_MODULE(_native, m) {
  m.doc() = "Native part of the Torvak USB device emulator (umockdev usbfs handler).";
  m.attr("CHANNEL_BUFFER_BYTES") = EmulatedDevice::kChannelBufferBytes;

  py::class_<EmulatedDevice, std::shared_ptr<EmulatedDevice>>(m, "Device")
      .def_property_readonly("serial", [](const EmulatedDevice& d) { return d.options().serial; })
      .def_property_readonly("bus", [](const EmulatedDevice& d) { return d.options().bus; })
      .def_property_readonly("address",
                             [](const EmulatedDevice& d) { return d.options().address; })
      .def_property_readonly("devnode", &EmulatedDevice::devnode)
      .def_property_readonly("syspath", &EmulatedDevice::syspath)
      .def_property_readonly("connected",
                             py::cpp_function(&EmulatedDevice::connected, Release()))
      .def_property_readonly("kernel_driver_detached",
                             py::cpp_function(&EmulatedDevice::kernel_driver_detached, Release()))
      .def_property_readonly("claimed", py::cpp_function(&EmulatedDevice::claimed, Release()))
      .def_property_readonly("open_handles",
                             py::cpp_function(&EmulatedDevice::open_handles, Release()))
      .def(
          "out_packets",
          [](EmulatedDevice& d, bool clear) {
            std::vector<Bytes> packets;
            {
              py::gil_scoped_release release;
              packets = d.out_packets(clear);
            }
            py::list out;
            for (const auto& p : packets) out.append(to_bytes(p));
            return out;
          },
          py::arg("clear") = false)
      .def("wait_out", &EmulatedDevice::wait_out, py::arg("count"), py::arg("timeout") = 2.0,
           Release())
      .def(
          "queue_in",
          [](EmulatedDevice& d, const py::bytes& packet) {
            Bytes data = from_bytes(packet);
            py::gil_scoped_release release;
            d.queue_in(std::move(data));
          },
          py::arg("packet"))
      .def(
          "in_log",
          [](EmulatedDevice& d, bool clear) {
            std::vector<torvak_emu::InLogEntry> log;
            {
              py::gil_scoped_release release;
              log = d.in_log(clear);
            }
            py::list out;
            for (const auto& entry : log) out.append(py::make_tuple(entry.time, entry.length));
            return out;
          },
          py::arg("clear") = false)
      .def(
          "in_timing",
          [](EmulatedDevice& d, bool clear) {
            std::vector<torvak_emu::InTiming> timing;
            {
              py::gil_scoped_release release;
              timing = d.in_timing(clear);
            }
            py::list out;
            for (const auto& t : timing) {
              out.append(py::make_tuple(t.offered, t.completed, t.reaped, t.length));
            }
            return out;
          },
          py::arg("clear") = false)
      .def("stream_in", &EmulatedDevice::stream_in, py::arg("channels"), py::arg("interval_ms"),
           py::arg("payload"), Release())
      .def(
          "stream_stats",
          [](EmulatedDevice& d, bool reset_max) {
            torvak_emu::StreamStats stats;
            {
              py::gil_scoped_release release;
              stats = d.stream_stats(reset_max);
            }
            py::dict out;
            out["produced"] = stats.produced;
            out["backlog"] = stats.backlog;
            out["backlog_max"] = stats.backlog_max;
            return out;
          },
          py::arg("reset_max") = false)
      .def("pending_in", &EmulatedDevice::pending_in, Release())
      .def("buffered", &EmulatedDevice::buffered, Release())
      .def("dropped", &EmulatedDevice::dropped, Release())
      .def(
          "set_fault",
          [](EmulatedDevice& d, std::optional<std::string> master,
             std::optional<std::string> config) {
            auto master_mode = fault_from_name(master);
            auto config_mode = fault_from_name(config);
            py::gil_scoped_release release;
            d.set_fault(master_mode, config_mode);
          },
          py::arg("master") = py::none(), py::arg("config") = py::none())
      .def("set_loopback", &EmulatedDevice::set_loopback, py::arg("on"), Release())
      .def("cross_lines", &EmulatedDevice::cross_lines, py::arg("a"), py::arg("b"), Release())
      .def("set_pace_ms", &EmulatedDevice::set_pace_ms, py::arg("milliseconds"), Release())
      .def("set_channel_count", &EmulatedDevice::set_channel_count, py::arg("count"), Release())
      .def("set_version", &EmulatedDevice::set_version, py::arg("version"), Release())
      .def("unplug_after_out", &EmulatedDevice::unplug_after_out, py::arg("count"), Release())
      .def("fail_out_after", &EmulatedDevice::fail_out_after, py::arg("count"), py::arg("error"),
           Release())
      .def("fail_in_next", &EmulatedDevice::fail_in_next, py::arg("error"), Release())
      .def(
          "channel_state",
          [](const EmulatedDevice& d, int channel) {
            torvak_emu::ChannelState state;
            {
              py::gil_scoped_release release;
              state = d.channel_state(channel);
            }
            py::dict out;
            out["open"] = state.open;
            out["baud"] = state.baud ? py::cast(*state.baud) : py::none();
            out["flushed"] = state.flushed;
            return out;
          },
          py::arg("channel"))
      .def(
          "set_xmodem_receiver",
          [](EmulatedDevice& d, int channel, bool crc, double start_interval_ms,
             const std::vector<int>& reject_blocks) {
            if (!(start_interval_ms > 0 && start_interval_ms <= 60000)) {
              throw std::invalid_argument("the start interval is above 0 and at most 60000 ms");
            }
            torvak_emu::XmodemReceiverOptions options;
            options.crc = crc;
            options.start_interval = std::chrono::duration_cast<torvak_emu::Clock::duration>(
                std::chrono::duration<double, std::milli>(start_interval_ms));
            options.reject_blocks.insert(reject_blocks.begin(), reject_blocks.end());
            py::gil_scoped_release release;
            d.set_peer(channel, std::make_unique<torvak_emu::XmodemReceiver>(
                                    std::move(options), torvak_emu::Clock::now()));
          },
          py::arg("channel"), py::arg("crc") = true, py::arg("start_interval_ms") = 100.0,
          py::arg("reject_blocks") = std::vector<int>{})
      .def(
          "set_modbus_slave",
          [](EmulatedDevice& d, int channel, int address, const std::map<int, int>& registers) {
            if (address < 1 || address > 247) {
              throw std::invalid_argument("a slave address is 1 to 247");
            }
            torvak_emu::ModbusSlaveOptions options;
            options.address = static_cast<uint8_t>(address);
            for (const auto& [reg, value] : registers) {
              options.registers[register_word(reg, "register")] = register_word(value, "value");
            }
            py::gil_scoped_release release;
            d.set_peer(channel, std::make_unique<torvak_emu::ModbusSlave>(std::move(options)));
          },
          py::arg("channel"), py::arg("address"), py::arg("registers"))
      .def(
          "clear_peer", [](EmulatedDevice& d, int channel) { d.set_peer(channel, nullptr); },
          py::arg("channel"), Release())
      .def("peer_state", &peer_state, py::arg("channel"))
      .def("protocol_errors", &EmulatedDevice::protocol_errors, py::arg("clear") = false,
           Release())
      .def("settings", [](const EmulatedDevice& d) {
        EmulatedDevice::Settings s = [&] {
          py::gil_scoped_release release;
          return d.settings();
        }();
        py::dict out;
        out["channel_count"] = s.channel_count;
        out["version"] = s.version;
        out["loopback"] = s.loopback;
        out["pace_ms"] = s.pace_ms;
        out["master_fault"] = fault_name(s.master_fault);
        out["config_fault"] = fault_name(s.config_fault);
        return out;
      });

  py::class_<Testbed, std::unique_ptr<Testbed, py::nodelete>>(m, "Testbed")
      .def_static("instance", &Testbed::instance, py::return_value_policy::reference, Release())
      .def_property_readonly("root_dir", &Testbed::root_dir)
      .def(
          "plug",
          [](Testbed& tb, std::string serial, int channels, std::string version,
             bool kernel_driver, const std::string& transfer, bool swap_endpoints,
             bool serial_string, int bus, std::optional<int> address) {
            DeviceOptions options;
            options.serial = std::move(serial);
            options.channels = channels;
            options.version = std::move(version);
            options.kernel_driver = kernel_driver;
            options.transfer = transfer_from_name(transfer);
            options.swap_endpoints = swap_endpoints;
            options.serial_string = serial_string;
            options.bus = bus;
            options.address = address.value_or(0);
            py::gil_scoped_release release;
            return tb.plug(std::move(options));
          },
          py::arg("serial") = "EMU0001", py::arg("channels") = 4,
          py::arg("version") = "Torvak-EMU 1.0", py::arg("kernel_driver") = false,
          py::arg("transfer") = "interrupt", py::arg("swap_endpoints") = false,
          py::arg("serial_string") = true, py::arg("bus") = 1, py::arg("address") = py::none())
      .def("unplug", &Testbed::unplug, py::arg("device"), Release())
      .def("devices", &Testbed::devices, Release())
      .def("close", &Testbed::close, Release())
      .def("shutdown", &Testbed::shutdown, Release());
}

// What a LibusbDevice reads of its descriptors: the active configuration and the serial
// number string.
#include "usb/libusb_device.hpp"

#include <memory>

#include "usb/libusb_error.hpp"
#include "usb/string_descriptor.hpp"

namespace zt::usb {
namespace {

// Asked for when a device lists no language in string descriptor 0.
constexpr uint16_t kUsEnglish = 0x0409;
// Largest string descriptor: bLength is one byte.
constexpr int kStringDescriptorCapacity = 255;

struct ConfigFree {
    void operator()(libusb_config_descriptor* c) const noexcept { libusb_free_config_descriptor(c); }
};
struct HandleClose {
    void operator()(libusb_device_handle* h) const noexcept { libusb_close(h); }
};

}  // namespace

Configuration LibusbDevice::active_configuration() { return read_configuration("get active configuration"); }

Configuration LibusbDevice::read_configuration(const std::string& operation) const {
    libusb_config_descriptor* raw = nullptr;
    const int rc = libusb_get_active_config_descriptor(device_, &raw);
    if (rc < 0) throw_libusb_error(operation, rc);
    const std::unique_ptr<libusb_config_descriptor, ConfigFree> owner(raw);

    Configuration configuration;
    configuration.value = raw->bConfigurationValue;
    for (int i = 0; i < raw->bNumInterfaces; ++i) {
        const libusb_interface& interface = raw->interface[i];
        if (interface.num_altsetting < 1) continue;
        const libusb_interface_descriptor& setting = interface.altsetting[0];
        Interface out;
        out.number = setting.bInterfaceNumber;
        for (int e = 0; e < setting.bNumEndpoints; ++e) {
            const libusb_endpoint_descriptor& ep = setting.endpoint[e];
            out.endpoints.push_back(Endpoint{ep.bEndpointAddress, ep.wMaxPacketSize, ep.bmAttributes});
        }
        configuration.interfaces.push_back(std::move(out));
    }
    return configuration;
}

std::optional<std::string> LibusbDevice::serial_number() {
    const std::string op = "serial number";
    libusb_device_handle* handle = nullptr;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        if (serial_known_) return serial_;
        if (!released_) handle = pin_locked(op);
    }
    std::optional<std::string> value;
    if (handle) {
        Pin pin(*this);
        value = read_serial(handle);
    } else {
        // Released before anyone asked: the handle object stays a valid description,
        // so read it over a handle of its own that lives only for this read.
        libusb_device_handle* temporary = nullptr;
        const int rc = libusb_open(device_, &temporary);
        if (rc < 0) throw_libusb_error(op, rc, "opening the device");
        const std::unique_ptr<libusb_device_handle, HandleClose> owner(temporary);
        value = read_serial(temporary);
    }
    std::lock_guard<std::mutex> guard(mutex_);
    if (!serial_known_) {
        serial_ = std::move(value);
        serial_known_ = true;
    }
    return serial_;
}

std::optional<std::string> LibusbDevice::read_serial(libusb_device_handle* handle) const {
    const std::string op = "serial number";
    uint8_t buffer[kStringDescriptorCapacity];
    int rc = libusb_get_string_descriptor(handle, 0, 0, buffer, sizeof buffer);
    if (rc < 0) throw_libusb_error(op, rc, "reading the language IDs");
    const uint16_t language = first_language_id(buffer, static_cast<size_t>(rc)).value_or(kUsEnglish);
    rc = libusb_get_string_descriptor(handle, descriptor_.iSerialNumber, language, buffer, sizeof buffer);
    if (rc < 0) throw_libusb_error(op, rc);
    std::optional<std::string> text = decode_string_descriptor(buffer, static_cast<size_t>(rc));
    if (!text) throw Error(0, op + ": the device's answer is not a string descriptor");
    return text;
}

}  // namespace zt::usb

// The registry's table of open devices: serial number -> device object, kept in the
// order the devices were filed, so that the wildcard serial number can hand out the
// earliest one that is still open.
//
// Locking: the table is not synchronised itself. Its owner keeps it beside the
// registry's device lock, which guards every access to it. Lock order: a device's
// channel lock may be held while the registry's device lock is taken (a device
// leaving the registry when its last channel closes), never the other way round, so
// nothing done under the device lock may wait for a channel lock.
#pragma once

#include <algorithm>
#include <cstddef>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace zt::registry {

// A serial number as the table compares it: the exact text as bytes, or nullopt for a
// device that reports none.
using SerialKey = std::optional<std::string>;

// `DeviceRef` is whatever keeps a device alive (an interpreter reference in the
// binding). A process has a handful of devices at most, so lookups are linear.
template <typename DeviceRef>
class DeviceTable {
public:
    bool empty() const noexcept { return entries_.empty(); }
    std::size_t size() const noexcept { return entries_.size(); }

    // The earliest filed device. Precondition: !empty().
    const DeviceRef& first() const { return entries_.front().second; }

    // The device filed under `key`, or nullptr. Valid until the table changes.
    const DeviceRef* find(const SerialKey& key) const {
        auto it = position(key);
        return it == entries_.end() ? nullptr : &it->second;
    }

    // Files `device` under `key`. A key already present keeps its place in the order
    // and takes the new device; the device it held is handed back, so the caller can
    // drop it after leaving its lock.
    std::optional<DeviceRef> file(SerialKey key, DeviceRef device) {
        auto it = position(key);
        if (it == entries_.end()) {
            entries_.emplace_back(std::move(key), std::move(device));
            return std::nullopt;
        }
        std::optional<DeviceRef> displaced(std::move(it->second));
        it->second = std::move(device);
        return displaced;
    }

    // Calls f(key, device) for every entry in filing order; f must not change the table.
    template <typename F>
    void for_each(F f) const {
        for (const Entry& e : entries_) f(e.first, e.second);
    }

    // Removes the entry under `key` if `holds(entry's device)` is true; returns the
    // removed device (for the caller to drop outside its lock) or nullopt. A device
    // that has been replaced under its serial number must not take its successor out
    // of the table when it closes late, hence the test of the held device.
    template <typename Holds>
    std::optional<DeviceRef> remove_if(const SerialKey& key, Holds holds) {
        auto it = position(key);
        if (it == entries_.end() || !holds(std::as_const(it->second))) return std::nullopt;
        std::optional<DeviceRef> removed(std::move(it->second));
        entries_.erase(it);
        return removed;
    }

private:
    using Entry = std::pair<SerialKey, DeviceRef>;

    typename std::vector<Entry>::const_iterator position(const SerialKey& key) const {
        return std::find_if(entries_.begin(), entries_.end(), [&](const Entry& e) { return e.first == key; });
    }
    typename std::vector<Entry>::iterator position(const SerialKey& key) {
        return std::find_if(entries_.begin(), entries_.end(), [&](const Entry& e) { return e.first == key; });
    }

    std::vector<Entry> entries_;  // filing order
};

}  // namespace zt::registry

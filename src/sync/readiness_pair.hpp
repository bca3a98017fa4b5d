// A readiness descriptor whose two poll states are set independently: readable and
// writable. It is one end of a local stream socket pair: the other end makes it readable
// by sending it a byte, and it is made unwritable by filling what it may send (its send
// buffer is kept small) and writable again once the other end has drained that.
#pragma once

namespace zt::sync {

class ReadinessPair {
public:
    ReadinessPair() = default;
    ~ReadinessPair();
    ReadinessPair(const ReadinessPair&) = delete;
    ReadinessPair& operator=(const ReadinessPair&) = delete;

    // Makes the pair: readable off, writable on. False (errno set) when the system refuses.
    bool open();
    // The descriptor given out to select, selectors and asyncio; -1 before open().
    int fd() const { return outer_; }

    // Each direction is driven by one owner under that owner's lock; the two directions
    // touch separate socket queues, so neither needs the other's lock. Non-blocking.
    void set_readable(bool readable);
    void set_writable(bool writable);

private:
    int outer_ = -1;  // fixed once open() has succeeded
    int inner_ = -1;  // fixed once open() has succeeded
};

}  // namespace zt::sync

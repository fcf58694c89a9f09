// Test seam: runs the command exchange over a scripted peer instead of the control socket.
#ifndef TARN_CONTROL_TRANSPORT_SEAM_H
#define TARN_CONTROL_TRANSPORT_SEAM_H

#include "control/transport.h"

namespace tarn::control {

class Channel;

// Puts transport in place of a channel's control socket (the default channel's unless one is
// named) for this object's lifetime. Like the rest of a channel's state it has no lock: use it
// on the thread that runs that channel's control functions.
class ScopedTransport {
  public:
    explicit ScopedTransport(Transport& transport);
    ScopedTransport(Channel& channel, Transport& transport);
    ~ScopedTransport();
    ScopedTransport(const ScopedTransport&) = delete;
    ScopedTransport& operator=(const ScopedTransport&) = delete;

  private:
    Channel& channel_;
    Transport* previous_;
};

}  // namespace tarn::control

#endif  // TARN_CONTROL_TRANSPORT_SEAM_H

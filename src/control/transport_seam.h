// Test seam: runs the command exchange over a scripted peer instead of the control socket.
#ifndef TARN_CONTROL_TRANSPORT_SEAM_H
#define TARN_CONTROL_TRANSPORT_SEAM_H

#include "control/transport.h"

namespace tarn::control {

// Puts transport in place of the control socket for this object's lifetime. Like the rest of
// the control state it has no lock: use it on the thread that runs the control functions.
class ScopedTransport {
  public:
    explicit ScopedTransport(Transport& transport);
    ~ScopedTransport();
    ScopedTransport(const ScopedTransport&) = delete;
    ScopedTransport& operator=(const ScopedTransport&) = delete;

  private:
    Transport* previous_;
};

}  // namespace tarn::control

#endif  // TARN_CONTROL_TRANSPORT_SEAM_H

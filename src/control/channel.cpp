#include "control/channel.h"

namespace tarn::control {

Channel::Channel() : sock(ownSock_), linked(ownLinked_), maxPkgLen(ownMaxPkgLen_) {}

Channel::Channel(int& sockRef, bool& linkedRef, uint32_t& maxPkgLenRef)
    : sock(sockRef), linked(linkedRef), maxPkgLen(maxPkgLenRef) {}

Channel& defaultChannel() {
    // Never destroyed: a KESO call during another static object's destruction still finds it.
    static Channel* const channel = new Channel(sock_ctrl, g_link_net, g_max_pkg_len);
    return *channel;
}

}  // namespace tarn::control

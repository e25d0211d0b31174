#include "quickshare/PrivateLink.h"

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <cstdlib>

namespace velmo::test {

namespace {

bool run(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()) == 0; }

}  // namespace

PrivateLink::PrivateLink() : name_("vq" + std::to_string(::getpid())) {
    const std::string c = ns('c'), p = ns('p');
    up_ = ::geteuid() == 0 && run("ip netns add " + c) && run("ip netns add " + p) &&
          run("ip link add " + name_ + "c netns " + c + " type veth peer name " + name_ + "p netns " + p) &&
          run("ip -n " + c + " addr add 10.213.0.1/24 dev " + name_ + "c") &&
          run("ip -n " + p + " addr add 10.213.0.2/24 dev " + name_ + "p") &&
          run("ip -n " + c + " link set " + name_ + "c up") && run("ip -n " + p + " link set " + name_ + "p up");
}

// The veth pair goes with its namespaces.
PrivateLink::~PrivateLink() {
    run("ip netns del " + ns('c'));
    run("ip netns del " + ns('p'));
}

void PrivateLink::takePhoneOff() { run("ip -n " + ns('p') + " link set " + name_ + "p down"); }

void PrivateLink::enter(char side) const {
    const int fd = ::open(("/run/netns/" + ns(side)).c_str(), O_RDONLY | O_CLOEXEC);
    const bool entered = fd >= 0 && ::setns(fd, CLONE_NEWNET) == 0;
    if (fd >= 0) ::close(fd);
    if (!entered) throw std::runtime_error("cannot enter " + ns(side));
}

}  // namespace velmo::test

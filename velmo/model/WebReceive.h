// The open web receive session: the link shown as a QR code, its receive session and its rows.
#pragma once
#include <set>
#include <string>

#include "platform/Uuid.h"
#include "velmo/model/QuickReceiveSession.h"

namespace velmo {

struct WebReceive {
    std::string url;  // http://<address>:<port>/?t=<token>
    QuickReceiveSession quickShareSession;
    std::set<Uuid> transferIDs;
};

}  // namespace velmo

#pragma once

// The tunnel's status as the page, the bridge and the serial ports see it. The values
// are what the page reads from the controller's "status" property (it compares with 3).
enum class VpnStatus : int {
    StopRequested = 0,  // stop() asked the worker to end; its end not yet reported
    Disconnected = 1,   // no tunnel; the start value
    Connecting = 2,     // connecting or reconnecting
    Connected = 3,
};

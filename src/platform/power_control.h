// Shutting down, restarting, hibernating and suspending the computer through systemd-logind.
// Callers take a PowerControl so that tests replace it: no test ever powers anything off.
#pragma once

#include "platform/os_launcher.h"

namespace merravine::platform {

enum class PowerAction { kPowerOff, kReboot, kHibernate, kSuspend };

class PowerControl {
  public:
    virtual ~PowerControl() = default;
    /// Requests `action`; whether the system carries it out is not reported.
    virtual void Request(PowerAction action) = 0;
};

/// The systemctl verb of `action`: "poweroff", "reboot", "hibernate" or "suspend".
const char* PowerVerb(PowerAction action);

/// The power control that runs `systemctl <verb>`.
PowerControl& SystemPowerControl();

}  // namespace merravine::platform

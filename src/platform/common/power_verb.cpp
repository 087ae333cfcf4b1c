// The word the log and the tests use for each power action, the same on every system.
#include "platform/power_control.h"

namespace merravine::platform {

const char* PowerVerb(PowerAction action) {
    switch (action) {
        case PowerAction::kPowerOff:
            return "poweroff";
        case PowerAction::kReboot:
            return "reboot";
        case PowerAction::kHibernate:
            return "hibernate";
        case PowerAction::kSuspend:
            return "suspend";
    }
    return "";
}

}  // namespace merravine::platform

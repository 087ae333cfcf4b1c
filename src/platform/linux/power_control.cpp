// systemctl-based power control; the request goes to logind, which applies its own policy.
#include "platform/power_control.h"

#include <string>

namespace merravine::platform {

namespace {

class SystemctlPowerControl final : public PowerControl {
  public:
    void Request(PowerAction action) override {
        const std::string verb = PowerVerb(action);
        if (!verb.empty()) SystemLauncher().Run({"systemctl", verb}, std::chrono::milliseconds(0));
    }
};

}  // namespace

PowerControl& SystemPowerControl() {
    static SystemctlPowerControl control;
    return control;
}

}  // namespace merravine::platform

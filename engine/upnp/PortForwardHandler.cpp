#include "engine/upnp/PortForwardHandler.h"

#include "engine/base/EngineLog.h"
#include "engine/base/EventSink.h"
#include "engine/upnp/PortForwardEvents.h"

namespace kf {

void PortForwardHandler::OnProgress(int32_t code, int32_t value) {
    if (code == port_forward::kDeviceFinished) {
        const std::string model = value >= 0 ? model_name_() : std::string();
        // A gateway that answered counts as found even when its description names no model: the
        // failure text must not blame a missing gateway for a refusal.
        device_found_ = value >= 0;
        EngineLogWrite(model.empty() && value < 0 ? "NAT device ^Not^ found.."
                                                  : "NAT Device found : Name : <" + model + ">",
                       LogChannel::kStartup);
    } else if (code == port_forward::kMappingFinished && value < 0) {
        SubmitEvent(port_forward::kFailedEvent,
                    device_found_ ? port_forward::kRefusedText : port_forward::kNoDeviceText);
    } else if (code == port_forward::kMappingFinished) {
        EngineLogWrite("uPnP成功", LogChannel::kStartup);
        SubmitEvent(port_forward::kMappedEvent, "");
    }
}

}  // namespace kf

#include "pmrnetconf.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <string>

namespace {
std::optional<std::string> dataVlanDevice = std::string("eth0");
std::optional<std::string> voiceVlanDevice = std::string("eth0");
const char voiceVlanName[] = "VOICE";

const std::optional<std::string> *deviceOf(const char *vlan)
{
    if (vlan == nullptr)
        return &dataVlanDevice;
    if (std::strcmp(vlan, voiceVlanName) == 0)
        return &voiceVlanDevice;
    return nullptr;
}
} // namespace

void pmrnetconf_standin::setDevices(const char *dataDevice, const char *voiceDevice)
{
    dataVlanDevice = dataDevice ? std::optional<std::string>(dataDevice) : std::nullopt;
    voiceVlanDevice = voiceDevice ? std::optional<std::string>(voiceDevice) : std::nullopt;
}

extern "C" int pmrnetconf_getdevice(const char *vlan, char *device, int size)
{
    const std::optional<std::string> *found = deviceOf(vlan);
    if (!found || !*found || !device || size < 0)
        return 0;
    const std::size_t length = std::min((*found)->size(), static_cast<std::size_t>(size));
    std::memcpy(device, (*found)->data(), length);
    device[length] = '\0';
    return 1;
}

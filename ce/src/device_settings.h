// The device's own settings ("<root>/.ce/device.conf", one key=value a line):
// clock speed, time zone bias, the inserted card. Written by nxdevice and the
// layer, read when a device's kernel state is first set up.
#pragma once

#include <string>

namespace ce::detail {

std::string settingsGet(const std::string& ceDir, const std::string& key);
bool settingsSet(const std::string& ceDir, const std::string& key, const std::string& value);
void settingsCreateDefault(const std::string& ceDir);

}  // namespace ce::detail

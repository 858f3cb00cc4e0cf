// Windows opens COM1 to COM9 by their bare names, but COM10 and above only through the device
// namespace, so every plain COM name gets the "\\.\" prefix.
#include <string>

#include "link/port_name.h"

namespace {

bool is_plain_com_name(const std::string& name) {
    if (name.size() < 4 || name.compare(0, 3, "COM") != 0) {
        return false;
    }
    for (std::size_t i = 3; i < name.size(); ++i) {
        if (name[i] < '0' || name[i] > '9') {
            return false;
        }
    }
    return true;
}

}  // namespace

std::string resolve_port_name(const std::string& name) {
    // Any other name (a device path such as "\\.\COM12", say) is the user's to choose.
    return is_plain_com_name(name) ? "\\\\.\\" + name : name;
}

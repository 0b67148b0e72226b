// The "Device" field of the serial form: the devices the machine lists, the one to pre-select,
// and what a typed answer means (a number picks a listed device, anything else is a path). The
// console offers the list by number and the GUI as an editable list; both go through this model.
#pragma once

#include <string>
#include <vector>

#include "transport/serial_devices.h"

namespace tarnwick {

class SerialDeviceModel {
  public:
    explicit SerialDeviceModel(std::vector<SerialDevice> devices = ListSerialDevices());

    const std::vector<SerialDevice>& Devices() const { return devices_; }
    // The entry whose path is current exactly, else the first; -1 when nothing is listed.
    int Preselected(const std::string& current) const;
    // The field's value before the user edits it: current, or the pre-selected device's path
    // when current is empty.
    std::string InitialValue(const std::string& current) const;
    // A listed device by its number (from 1), or the path as typed (blanks around it removed).
    std::string Resolve(const std::string& typed) const;
    // The list as lines "  1  name", for a text front end.
    std::string ListText() const;

  private:
    std::vector<SerialDevice> devices_;
};

}  // namespace tarnwick

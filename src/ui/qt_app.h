// The Qt front end as a program: start-up, the single-instance rule and shut-down.
#pragma once

#include <string>
#include <vector>

namespace tarnwick {

// Runs the desktop application until the main window closes; files are open-file requests. A
// second start for the same user and configuration folder hands its files to the running window,
// brings it to the front and ends. Returns the exit status.
int RunQtApplication(int argc, char** argv, const std::vector<std::string>& files);

// The local socket of the running instance, per user and configuration folder.
std::string InstanceName();

}  // namespace tarnwick
